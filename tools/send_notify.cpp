#include "tools/send_notify.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hbsend {
namespace {

// As large as a notification may be (the protocol's own receivers use the
// same bound); longer datagrams are dropped whole.
constexpr size_t kMaxDatagram = 4096;
// Datagrams read per Drain(): a flooding sender cannot hold the main loop.
constexpr int kMaxPerDrain = 64;
// Descriptors accepted with one datagram; the kernel discards the rest.
constexpr size_t kMaxFds = 16;
constexpr int kMaxTreeDepth = 64;

bool LineIs(const char* line, size_t length, const char* expected) {
    return length == std::strlen(expected) && std::memcmp(line, expected, length) == 0;
}

bool FillAddress(const std::string& address, sockaddr_un* addr, socklen_t* length) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (address.empty() || address.size() >= sizeof(addr->sun_path)) {
        return false;
    }
    std::memcpy(addr->sun_path, address.data(), address.size());
    if (address[0] == '@') {
        addr->sun_path[0] = '\0';  // abstract: the name is exactly these bytes
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    } else {
        *length = static_cast<socklen_t>(sizeof(sockaddr_un));
    }
    return true;
}

void CloseCarriedFds(const cmsghdr* header) {
    const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
        close(fd);
    }
}

}  // namespace

void ParseNotifyDatagram(const char* data, size_t size, NotifyEvents* events) {
    size_t start = 0;
    while (start < size) {
        const void* newline = std::memchr(data + start, '\n', size - start);
        const size_t end = newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) - data)
                                              : size;
        const char* line = data + start;
        const size_t length = end - start;
        if (LineIs(line, length, "READY=1")) {
            events->ready = true;
        } else if (LineIs(line, length, "WATCHDOG=1")) {
            events->ping = true;
        } else if (LineIs(line, length, "WATCHDOG=trigger")) {
            events->trigger = true;
        } else if (LineIs(line, length, "STOPPING=1")) {
            events->stopping = true;
        }
        start = end + 1;
    }
}

bool ParseProcStat(const std::string& text, ProcStat* stat) {
    const size_t close = text.rfind(')');
    if (close == std::string::npos || text.find('(') > close) {
        return false;
    }
    char state = 0;
    int ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid < 0) {
        return false;
    }
    stat->state = state;
    stat->ppid = ppid;
    return true;
}

bool ReadProcStat(pid_t pid, ProcStat* stat) {
    if (pid <= 0) {
        return false;
    }
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The name is at most 15 bytes and every field after it is a number, so
    // the last ')' of the first 512 bytes closes the name.
    char buffer[512];
    ssize_t got = 0;
    do {
        got = read(fd, buffer, sizeof(buffer) - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) {
        return false;
    }
    return ParseProcStat(std::string(buffer, static_cast<size_t>(got)), stat);
}

bool InProcessTree(pid_t pid, pid_t root) {
    for (int depth = 0; depth < kMaxTreeDepth && pid > 1; ++depth) {
        if (pid == root) {
            return true;
        }
        ProcStat stat;
        if (!ReadProcStat(pid, &stat)) {
            return false;
        }
        pid = stat.ppid;
    }
    return false;
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (!path_.empty()) {
        unlink(path_.c_str());
    }
    if (!dir_.empty()) {
        rmdir(dir_.c_str());
    }
}

int NotifySocket::Open() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    // The socket's path must fit in sun_path; a long $TMPDIR falls back to /tmp.
    if (base.size() > 60) {
        base = "/tmp";
    }
    std::string dir = base + "/heartbeat-send.XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {  // mode 0700: only this user reaches the socket
        return -errno;
    }
    dir_ = dir;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        return -errno;
    }
    const int on = 1;
    if (setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
        return -errno;
    }
    sockaddr_un addr{};
    socklen_t length = 0;
    const std::string path = dir_ + "/notify";
    if (!FillAddress(path, &addr, &length)) {
        return -ENAMETOOLONG;
    }
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        return -errno;
    }
    path_ = path;
    return 0;
}

NotifyEvents NotifySocket::Drain(pid_t root) {
    NotifyEvents events;
    std::vector<char> data(kMaxDatagram);
    for (int n = 0; n < kMaxPerDrain; ++n) {
        union {
            cmsghdr align;
            char bytes[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * kMaxFds)];
        } control;
        iovec iov{data.data(), data.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof(control.bytes);
        const ssize_t got = recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // EAGAIN: nothing more waits
        }
        bool haveCred = false;
        ucred cred{};
        for (cmsghdr* header = CMSG_FIRSTHDR(&msg); header != nullptr; header = CMSG_NXTHDR(&msg, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
                header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
                std::memcpy(&cred, CMSG_DATA(header), sizeof(cred));
                haveCred = true;
            }
        }
        // Judged before the descriptors are closed: closing them releases a
        // sender waiting on its barrier, which then exits, and a process
        // that is gone can no longer be traced to the tree.
        if (!haveCred || (msg.msg_flags & MSG_TRUNC) != 0 || !InProcessTree(cred.pid, root)) {
            if (events.foreign++ == 0) {
                events.foreignPid = haveCred ? cred.pid : 0;
            }
        } else {
            ParseNotifyDatagram(data.data(), static_cast<size_t>(got), &events);
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&msg); header != nullptr; header = CMSG_NXTHDR(&msg, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                CloseCarriedFds(header);
            }
        }
    }
    return events;
}

int SendWithDescriptor(int socketFd, const sockaddr_un& addr, socklen_t length, const std::string& text,
                       int descriptor) {
    iovec iov{const_cast<char*>(text.data()), text.size()};
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(int))];
    } control{};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_un*>(&addr);
    msg.msg_namelen = length;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    cmsghdr* header = CMSG_FIRSTHDR(&msg);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    return sendmsg(socketFd, &msg, MSG_NOSIGNAL) < 0 ? -errno : 0;
}

int SendNotify(const std::string& address, const std::string& message, int timeoutMs) {
    sockaddr_un addr{};
    socklen_t length = 0;
    if (!FillAddress(address, &addr, &length)) {
        return -EINVAL;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    int rc = 0;
    if (sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
               length) < 0) {
        rc = -errno;
    }
    // The barrier: a pipe's write end goes along with "BARRIER=1"; once the
    // receiver has read both datagrams and closed it, the read end hangs up.
    int barrier[2] = {-1, -1};
    if (rc == 0 && pipe2(barrier, O_CLOEXEC) != 0) {
        rc = -errno;
    }
    if (rc == 0) {
        rc = SendWithDescriptor(fd, addr, length, "BARRIER=1", barrier[1]);
        close(barrier[1]);
        if (rc == 0) {
            pollfd pfd{barrier[0], 0, 0};  // POLLHUP is reported without asking
            int ready = 0;
            do {
                ready = poll(&pfd, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            rc = ready > 0 ? 0 : -ETIMEDOUT;
        }
        close(barrier[0]);
    }
    close(fd);
    return rc;
}

}  // namespace hbsend
