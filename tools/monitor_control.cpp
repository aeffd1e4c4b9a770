#include "tools/monitor_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace hbtools {
namespace {

constexpr size_t kMaxRequest = 64;
constexpr int kPeerTimeoutMs = 1000;

std::string notifySocket;  // set once by InitNotify, before any thread runs

bool Address(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) {
        return false;
    }
    memcpy(address->sun_path, path.data(), path.size());
    return true;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for `events` on fd until the monotonic deadline; false on time-out.
bool WaitFor(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        const int64_t left = deadlineMs - NowMs();
        if (left <= 0) {
            return false;
        }
        struct pollfd pfd = {fd, events, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool WriteAll(int fd, const std::string& data, int64_t deadlineMs) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && (errno != EAGAIN || !WaitFor(fd, POLLOUT, deadlineMs))) {
            return false;
        }
    }
    return true;
}

int NewStreamSocket() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd < 0 ? -errno : fd;
}

}  // namespace

std::string ControlPath(const std::string& name) {
    const char* env = getenv("LUMO_PIPE_DIR");
    std::string dir = env != nullptr && env[0] != '\0' ? env : "/dev/shm/kov/lumo/";
    if (dir.back() != '/') {
        dir += '/';
    }
    const std::string path = dir + name + ".monitor";
    sockaddr_un address;
    if (name.empty() || name.find('/') != std::string::npos || !Address(path, &address)) {
        return std::string();
    }
    return path;
}

bool PeerAllowed(uid_t peerUid, gid_t peerGid, uid_t ownUid, gid_t socketGid) {
    return peerUid == 0 || peerUid == ownUid || peerGid == socketGid;
}

int ControlServer::Start(const std::string& path, Answer answer) {
    sockaddr_un address;
    if (!Address(path, &address)) {
        return -ENAMETOOLONG;
    }
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty() && mkdir(dir.c_str(), 0770) != 0 && errno != EEXIST) {
        return -errno;
    }
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return -EEXIST;
        }
        // Non-blocking: a listener with a full backlog answers EAGAIN at once
        // instead of holding us up, and is just as alive.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool live = probe >= 0 && (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
                                         errno == EAGAIN);
        if (probe >= 0) {
            close(probe);
        }
        if (live) {
            return -EADDRINUSE;
        }
        unlink(path.c_str());  // stale: left by a monitor that did not exit cleanly
    }
    const int fd = NewStreamSocket();
    if (fd < 0) {
        return fd;
    }
    struct stat bound;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || chmod(path.c_str(), 0660) != 0 ||
        lstat(path.c_str(), &bound) != 0 || listen(fd, 8) != 0) {
        const int error = -errno;
        close(fd);
        return error;
    }
    int stop[2];
    if (pipe2(stop, O_CLOEXEC) != 0) {
        const int error = -errno;
        close(fd);
        unlink(path.c_str());
        return error;
    }
    path_ = path;
    answer_ = std::move(answer);
    listenFd_ = fd;
    stopRead_ = stop[0];
    stopWrite_ = stop[1];
    dev_ = bound.st_dev;
    ino_ = bound.st_ino;
    socketGid_ = bound.st_gid;
    thread_ = std::thread([this] { Serve(); });
    return 0;
}

void ControlServer::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    const char byte = 0;
    while (write(stopWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    // Only our own file: another monitor may have replaced it as stale.
    struct stat now;
    if (lstat(path_.c_str(), &now) == 0 && now.st_dev == dev_ && now.st_ino == ino_) {
        unlink(path_.c_str());
    }
    for (int* fd : {&listenFd_, &stopRead_, &stopWrite_}) {
        close(*fd);
        *fd = -1;
    }
}

void ControlServer::Serve() {
    for (;;) {
        struct pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;  // EINTR
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Handle(fd);
            close(fd);
        }
    }
}

void ControlServer::Handle(int fd) {
    struct ucred peer = {};
    socklen_t size = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        !PeerAllowed(peer.uid, peer.gid, geteuid(), socketGid_)) {
        return;
    }
    const int64_t deadline = NowMs() + kPeerTimeoutMs;
    std::string request;
    while (request.find('\n') == std::string::npos) {
        char buffer[kMaxRequest];
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            request.append(buffer, static_cast<size_t>(n));
            if (request.size() > kMaxRequest) {
                return;
            }
        } else if (n == 0 || (errno != EINTR && (errno != EAGAIN || !WaitFor(fd, POLLIN, deadline)))) {
            return;
        }
    }
    request.resize(request.find('\n'));
    WriteAll(fd, answer_(request), NowMs() + kPeerTimeoutMs);
}

int QueryControl(const std::string& path, const std::string& request, std::string* answer, int timeoutMs) {
    sockaddr_un address;
    if (!Address(path, &address)) {
        return -ENAMETOOLONG;
    }
    const int fd = NewStreamSocket();
    if (fd < 0) {
        return fd;
    }
    int rc = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        // A full backlog answers EAGAIN on a non-blocking local connect.
        rc = errno == EAGAIN ? -ETIMEDOUT : -errno;
    } else if (!WriteAll(fd, request + "\n", NowMs() + timeoutMs)) {
        rc = -EPIPE;
    }
    answer->clear();
    while (rc == 0) {
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            answer->append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && (errno != EAGAIN || !WaitFor(fd, POLLIN, NowMs() + timeoutMs))) {
            rc = errno == EAGAIN ? -ETIMEDOUT : -errno;
        }
    }
    close(fd);
    return rc;
}

void InitNotify() {
    const char* socketPath = getenv("NOTIFY_SOCKET");
    if (socketPath != nullptr) {
        notifySocket = socketPath;
        unsetenv("NOTIFY_SOCKET");
    }
}

int Notify(const char* state) {
    if (notifySocket.empty()) {
        return 0;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (notifySocket.size() > sizeof(address.sun_path) ||
        (notifySocket[0] != '/' && notifySocket[0] != '@')) {
        return -EINVAL;
    }
    memcpy(address.sun_path, notifySocket.data(), notifySocket.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notifySocket.size());
    if (notifySocket[0] == '@') {
        address.sun_path[0] = '\0';  // abstract: the name is exactly the bytes after it
    } else if (notifySocket.size() == sizeof(address.sun_path)) {
        return -EINVAL;  // no room for the path's NUL
    } else {
        length += 1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    const ssize_t n = sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), length);
    const int rc = n < 0 ? -errno : 0;
    close(fd);
    return rc;
}

int WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp";
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
        return -errno;
    }
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -errno;
    }
    int rc = 0;
    for (size_t done = 0; rc == 0 && done < content.size();) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            rc = -errno;
        }
    }
    if (close(fd) != 0 && rc == 0) {
        rc = -errno;
    }
    if (rc == 0 && rename(temp.c_str(), path.c_str()) != 0) {
        rc = -errno;
    }
    if (rc != 0) {
        unlink(temp.c_str());
    }
    return rc;
}

}  // namespace hbtools
