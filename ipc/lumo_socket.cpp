#include "lumo_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/sleep.h"

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
    hb::SleepFully(static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L);
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

// Most symlinks followed on the way to one pipe directory (the kernel's own
// limit for a path).
constexpr int kMaxLinks = 40;

// A directory on the way to a socket file is trusted when nobody but root and
// this process's user can replace its entries: owned by one of them, and not
// writable by others unless the sticky bit keeps them off our entries.
int CheckDirectory(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return -ELOOP;
    }
    if (!S_ISDIR(st.st_mode)) {
        return -ENOTDIR;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        return -EPERM;
    }
    if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return -EPERM;
    }
    return 0;
}

// Consumes `fd` (an O_PATH descriptor or a negated errno): returns it when it
// is a trusted directory, else closes it and returns why not.
int Checked(int fd) {
    if (fd < 0) {
        return fd;
    }
    struct stat st{};
    const int rc = fstat(fd, &st) == 0 ? CheckDirectory(st) : -errno;
    if (rc < 0) {
        close(fd);
        return rc;
    }
    return fd;
}

// The directory a walk starts from ("/" or "."), checked like the others.
int OpenStart(const char* start) {
    const int fd = open(start, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return Checked(fd >= 0 ? fd : -errno);
}

// Gives a directory this library created its mode whatever the umask, and
// the pipe's group so that the peers it is made for can reach their files.
void SetDirectoryAccess(int parent, const std::string& name, uint32_t gid) {
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        (void)fchmod(fd, 0770);
        if (gid != 0 && gid != UINT32_MAX) {
            (void)fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid));
        }
        close(fd);
    }
}

// Opens (O_PATH, never following a link) the entry `name` of the directory
// `fd`, creating it as a directory first when it is missing and `create`;
// `*created` then says it is one this library made (or a racing opener did).
int OpenEntry(int fd, const std::string& name, bool create, uint32_t gid, bool* created) {
    *created = false;
    int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
        *created = true;
        // Made 0700 and opened up only once it is ours, whatever the umask.
        if (mkdirat(fd, name.c_str(), 0700) == 0) {
            SetDirectoryAccess(fd, name, gid);
            next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        } else if (errno == EEXIST) {  // made by someone else meanwhile: checked by the caller
            next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
    }
    return next >= 0 ? next : -errno;
}

// Pushes the components of `path` onto `todo` so that its first one is on top.
void PushComponents(const std::string& path, std::vector<std::string>* todo) {
    const size_t below = todo->size();
    for (size_t begin = 0; begin < path.size();) {
        size_t end = path.find('/', begin);
        end = end == std::string::npos ? path.size() : end;
        if (end > begin) {
            todo->push_back(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    std::reverse(todo->begin() + static_cast<std::ptrdiff_t>(below), todo->end());
}

// Opens (O_PATH) the directory `dir`, walking it one component at a time and
// checking each directory as it goes; missing ones are created when `create`.
// A symlink is followed only where the installation put it: an ancestor that
// exists, owned by root or this process's effective user (only they can have
// made it; a link's own mode means nothing), and the target's components are
// then walked and checked the same way. The pipe directory itself, and every
// directory this library creates, must not be a link. Returns the descriptor
// or a negated errno: -ELOOP for any other link (or too many), -EPERM for a
// directory others could change.
int OpenSafeDirectory(const std::string& dir, bool create, uint32_t gid) {
    std::vector<std::string> todo;  // the pipe directory at the bottom
    PushComponents(dir, &todo);
    int fd = OpenStart(dir[0] == '/' ? "/" : ".");
    for (int links = 0; fd >= 0 && !todo.empty();) {
        const std::string name = std::move(todo.back());
        todo.pop_back();
        bool created = false;
        const int next = OpenEntry(fd, name, create, gid, &created);
        struct stat st{};
        if (next >= 0 && fstat(next, &st) == 0 && S_ISLNK(st.st_mode) && !created && !todo.empty() &&
            (st.st_uid == 0 || st.st_uid == geteuid())) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(next, "", target, sizeof(target));
            close(next);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof(target) || ++links > kMaxLinks) {
                close(fd);
                return n < 0 ? -errno : -ELOOP;
            }
            PushComponents(std::string(target, static_cast<size_t>(n)), &todo);
            if (target[0] == '/') {
                close(fd);
                fd = OpenStart("/");
            }
            continue;
        }
        close(fd);
        fd = Checked(next);
    }
    return fd;
}

// Splits a socket file path into its directory and its name.
void Split(const std::string& path, std::string* dir, std::string* name) {
    const size_t slash = path.rfind('/');
    *dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Mode 0660 and group `gid` for the socket file `name` in the checked
// directory `dirfd`, changed through a descriptor of the file itself so that
// a symlink put in its place is never followed. With a non-empty `id` the file
// must still be the one bound then; otherwise `id` is filled.
int SetSocketAccess(int dirfd, const std::string& name, uint32_t gid, FileId* id) {
    int fd = openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    struct stat st{};
    int rc = fstat(fd, &st) != 0 ? -errno : 0;
    if (rc == 0 && !S_ISSOCK(st.st_mode)) {
        rc = S_ISLNK(st.st_mode) ? -ELOOP : -EPERM;
    }
    if (rc == 0 && id->ino != 0 && (st.st_dev != id->dev || st.st_ino != id->ino)) {
        rc = -ESTALE;
    }
    if (rc == 0) {
        id->dev = st.st_dev;
        id->ino = st.st_ino;
        // An O_PATH descriptor takes no fchmod; its /proc link reaches the
        // same inode, never a path that could have been swapped meanwhile.
        char link[40];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        rc = chmod(link, 0660) == 0 ? 0 : -errno;
        (void)fchownat(fd, "", static_cast<uid_t>(-1), static_cast<gid_t>(gid), AT_EMPTY_PATH);
    }
    close(fd);
    return rc;
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

int SetFileAccess(const std::string& path, uint32_t gid, FileId id) {
    std::string dir;
    std::string name;
    Split(path, &dir, &name);
    const int dirfd = OpenSafeDirectory(dir, false, gid);
    if (dirfd < 0) {
        return dirfd;
    }
    const int rc = SetSocketAccess(dirfd, name, gid, &id);
    close(dirfd);
    return rc;
}

void UnlinkIfOurs(const std::string& path, const FileId& id) {
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino) {
        unlink(path.c_str());
    }
}

int ListenAt(const std::string& path, uint32_t gid, FileId* id) {
    std::string dir;
    std::string name;
    Split(path, &dir, &name);
    const int dirfd = OpenSafeDirectory(dir, true, gid);
    if (dirfd < 0) {
        return dirfd;
    }
    const sockaddr_un addr = Address(path);
    int fd = NewSocket();
    // A file left by a process that died is replaced; one on which a live
    // process listens is not ours to take. Two rounds cover a file that
    // disappears or reappears while we look. Binding by path is safe here:
    // nobody but root and this user can change the directories on the way.
    for (int round = 0; fd >= 0; ++round) {
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
            break;
        }
        int err = errno;
        int probe = err == EADDRINUSE && round < 2 ? Probe(addr) : 0;
        if (err != EADDRINUSE || round == 2 || probe == 0) {
            close(fd);
            fd = -err;
        } else if (probe == ECONNREFUSED) {
            (void)unlinkat(dirfd, name.c_str(), 0);
        }
    }
    *id = FileId{};
    int rc = fd < 0 ? fd : SetSocketAccess(dirfd, name, gid, id);
    if (rc == 0 && listen(fd, SOMAXCONN) != 0) {
        rc = -errno;
    }
    close(dirfd);
    if (rc < 0 && fd >= 0) {
        UnlinkIfOurs(path, *id);
        close(fd);
        return rc;
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
