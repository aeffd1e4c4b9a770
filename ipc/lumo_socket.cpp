#include "lumo_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumo {
namespace {

constexpr const char* kDefaultDir = "/dev/shm/kov/lumo/";
constexpr size_t kMaxPath = sizeof(sockaddr_un::sun_path) - 1;
constexpr int64_t kConnectRetryMs = 10;

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int64_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// FNV-1a over "self\0peer" from `basis`, finished with the splitmix64 mixer so
// that every input bit reaches every output bit. Two bases give 128 bits.
uint64_t PairHash(const char* self, const char* peer, uint64_t basis) {
    uint64_t h = basis;
    auto add = [&h](const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ULL;
        }
    };
    add(self, strlen(self) + 1);
    add(peer, strlen(peer));
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), std::min(path.size(), kMaxPath));  // checked by ListenerPath
    return addr;
}

int Connect(int fd, const sockaddr_un& addr) {
    return connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
}

int NewSocket() {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd >= 0 ? fd : -errno;
}

// mkdir -p of every directory on the way to `path`'s last '/'.
int MakeDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) {
            return -errno;
        }
    }
    return 0;
}

// 0 when someone accepts connections at `addr` (or its queue is full), else
// the connect error: ECONNREFUSED for a stale file, ENOENT when it is gone.
int Probe(const sockaddr_un& addr) {
    int fd = NewSocket();
    if (fd < 0) {
        return -fd;
    }
    int err = Connect(fd, addr);
    close(fd);
    return err == EAGAIN ? 0 : err;
}

}  // namespace

int ListenerPath(const char* listenerSelf, const char* listenerPeer, std::string* path) {
    const char* env = getenv("LUMO_PIPE_DIR");
    std::string dir = (env != nullptr && env[0] != '\0') ? env : kDefaultDir;
    if (dir.back() != '/') {
        dir += '/';
    }
    if (strpbrk(listenerSelf, "/@") == nullptr && strpbrk(listenerPeer, "/@") == nullptr) {
        *path = dir + listenerSelf + '@' + listenerPeer;
        if (path->size() <= kMaxPath) {
            return 0;
        }
    }
    char name[40];
    snprintf(name, sizeof(name), "#%016llx%016llx",
             static_cast<unsigned long long>(PairHash(listenerSelf, listenerPeer, 14695981039346656037ULL)),
             static_cast<unsigned long long>(PairHash(listenerSelf, listenerPeer, 0x9e3779b97f4a7c15ULL)));
    *path = dir + name;
    return path->size() <= kMaxPath ? 0 : -ENAMETOOLONG;
}

void SetFileAccess(const std::string& path, uint32_t gid) {
    // The mode given to bind() is cut by the umask; the file's mode is set here.
    (void)chmod(path.c_str(), 0660);
    (void)chown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(gid));
}

void UnlinkIfOurs(const std::string& path, const FileId& id) {
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino) {
        unlink(path.c_str());
    }
}

int ListenAt(const std::string& path, uint32_t gid, FileId* id) {
    int rc = MakeDirs(path);
    if (rc < 0) {
        return rc;
    }
    const sockaddr_un addr = Address(path);
    int fd = NewSocket();
    if (fd < 0) {
        return fd;
    }
    // A file left by a process that died is replaced; one on which a live
    // process listens is not ours to take. Two rounds cover a file that
    // disappears or reappears while we look.
    for (int round = 0;; ++round) {
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
            break;
        }
        int err = errno;
        int probe = err == EADDRINUSE && round < 2 ? Probe(addr) : 0;
        if (err != EADDRINUSE || round == 2 || probe == 0) {
            close(fd);
            return -err;
        }
        if (probe == ECONNREFUSED) {
            unlink(path.c_str());
        }
    }
    SetFileAccess(path, gid);
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) {
        id->dev = st.st_dev;
        id->ino = st.st_ino;
    }
    if (listen(fd, SOMAXCONN) != 0) {
        int err = errno;
        UnlinkIfOurs(path, *id);
        close(fd);
        return -err;
    }
    return fd;
}

int ConnectTo(const std::string& path, uint32_t timeoutMs) {
    const sockaddr_un addr = Address(path);
    int fd = NewSocket();
    if (fd < 0) {
        return fd;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    int err = 0;
    for (;;) {
        err = Connect(fd, addr);
        if (err == 0) {
            return fd;
        }
        // Not there yet, stale, or its queue is full: the listener may still
        // come (a restarting server), so keep trying until the deadline.
        if (err != ENOENT && err != ECONNREFUSED && err != EAGAIN && err != EINTR) {
            break;
        }
        int64_t left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        SleepMs(std::min(left, kConnectRetryMs));
    }
    close(fd);
    if (err == ECONNREFUSED) {
        return -EPIPE;
    }
    return (err == ENOENT || err == EAGAIN || err == EINTR) ? -ETIMEDOUT : -err;
}

int SendBounded(int fd, const void* data, uint32_t size) {
    int64_t deadline = 0;
    for (;;) {
        // A SEQPACKET send is all or nothing; MSG_NOSIGNAL keeps a vanished
        // peer from raising SIGPIPE in the host.
        if (send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            return 0;
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNREFUSED) {
            return -EPIPE;
        }
        if (err != EAGAIN) {
            return -err;
        }
        // The peer's queue is full: wait for room, but not past the bound.
        int64_t now = NowMs();
        if (deadline == 0) {
            deadline = now + kSendTimeoutMs;
        }
        if (now >= deadline) {
            return -ETIMEDOUT;
        }
        pollfd pfd{fd, POLLOUT, 0};
        (void)poll(&pfd, 1, static_cast<int>(deadline - now));
    }
}

}  // namespace lumo
