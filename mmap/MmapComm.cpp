// The channel file: a one-page file under /dev/shm/ that a checking process
// creates and a client opens, both mapping it whole and shared. The handle of
// a channel is the mapping's address. The file's descriptor stays open beside
// the mapping (close-on-exec), and the library moves the page's bytes through
// it (see ReadChannel), so a channel costs one page and one descriptor.
#include "heartbeat_mmap.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "common/mutex.h"
#include "common/no_destructor.h"
#include "common/thread_annotations.h"
#include "log/log_internal.h"
#include "mmap/mmap_internal.h"

namespace VeHeartBeat {

namespace {

std::atomic<bool> processExiting{false};

// The descriptors of the pages this process mapped, by page address.
struct ChannelFiles {
    // A leaf: held for one lookup and at most one pread/pwrite of a few
    // hundred bytes, never while logging or taking another lock. Held across
    // the transfer so that no close (and reuse of the number) can slip in
    // between the lookup and the use of a descriptor.
    hb::Mutex mutex;
    std::unordered_map<uintptr_t, int> fds GUARDED_BY(mutex);
};

ChannelFiles& Files() {
    static hb::NoDestructor<ChannelFiles> files;  // a listener may read at exit
    return *files;
}

uintptr_t KeyOf(const void* page) { return reinterpret_cast<uintptr_t>(page); }

// fork() must not copy the table with its lock held by a thread that the child
// does not have: the lock is taken around the fork, and the child, single
// threaded, then puts the sender and the listener of this area back to idle.
void LockFilesBeforeFork() NO_THREAD_SAFETY_ANALYSIS { Files().mutex.Lock(); }
void UnlockFilesInParent() NO_THREAD_SAFETY_ANALYSIS { Files().mutex.Unlock(); }
void UnlockFilesInChild() NO_THREAD_SAFETY_ANALYSIS {
    Files().mutex.Unlock();
    ResetMmapSenderInChild();
    ResetMmapListenerInChild();
}
// Registered while the library loads, not at the first channel: the child of
// any later fork must find the handlers in place.
[[maybe_unused]] const int forkHandlersRegistered =
    pthread_atfork(LockFilesBeforeFork, UnlockFilesInParent, UnlockFilesInChild);

// The refusal of a file that a neighbour could have planted at the path: the
// creating side takes only a regular file that this process's user owns (an
// existing file is reused, so whoever owns it could keep writing it), the
// opening side only a regular file. Logs the refusal; true when `fd` will do.
bool IsOwnChannelFile(int fd, const std::string& path, bool create) {
    struct stat st = {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Init heart channel failed: open mmap file %s, errno=%d.\n",
               path.c_str(), err);
        return false;
    }
    if (S_ISREG(st.st_mode) && (!create || st.st_uid == geteuid())) {
        return true;
    }
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
           "Init heart channel failed: refuse mmap file %s, mode=0%o, uid=%u.\n", path.c_str(),
           static_cast<unsigned>(st.st_mode), static_cast<unsigned>(st.st_uid));
    return false;
}

void KeepChannelFile(const void* page, int fd) {
    ChannelFiles& files = Files();
    hb::MutexLock lock(&files.mutex);
    auto kept = files.fds.emplace(KeyOf(page), fd);
    if (!kept.second) {
        // A page of this address was unmapped without FiniHeartBeatMmapChannel:
        // its descriptor is stale.
        (void)close(kept.first->second);
        kept.first->second = fd;
    }
}

// Constructed by the first WatchProcessExit(); exit() runs its destructor
// before those of every static constructed earlier.
struct ExitWatch {
    ExitWatch() = default;
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;
    ~ExitWatch() { processExiting.store(true); }
};

}  // namespace

void WatchProcessExit() { static ExitWatch watch; }

bool ProcessExiting() { return processExiting.load(); }

void CloseMmapChannel(const std::string& path, int& fd) {
    if (close(fd) != 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Close mmap channel: close %s, fd=%d, errno=%d.\n",
               path.c_str(), fd, err);
    }
    // Either side may delete the file first; the second deletion finds
    // nothing, which is not worth a line.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Close mmap channel: delete %s, fd=%d, errno=%d.\n",
               path.c_str(), fd, err);
    }
    fd = -1;
}

ssize_t ReadChannel(const void* page, size_t offset, void* out, size_t size) {
    ChannelFiles& files = Files();
    hb::MutexLock lock(&files.mutex);
    const auto kept = files.fds.find(KeyOf(page));
    if (kept != files.fds.end()) {
        return pread(kept->second, out, size, static_cast<off_t>(offset));
    }
    // Memory the caller listed itself: its own to keep whole.
    memcpy(out, static_cast<const unsigned char*>(page) + offset, size);
    return static_cast<ssize_t>(size);
}

ssize_t WriteChannel(void* page, size_t offset, const void* in, size_t size) {
    ChannelFiles& files = Files();
    hb::MutexLock lock(&files.mutex);
    const auto kept = files.fds.find(KeyOf(page));
    if (kept != files.fds.end()) {
        return pwrite(kept->second, in, size, static_cast<off_t>(offset));
    }
    memcpy(static_cast<unsigned char*>(page) + offset, in, size);
    return static_cast<ssize_t>(size);
}

void ForgetChannelFile(const void* page) {
    int fd = -1;
    {
        ChannelFiles& files = Files();
        hb::MutexLock lock(&files.mutex);
        const auto kept = files.fds.find(KeyOf(page));
        if (kept == files.fds.end()) {
            return;
        }
        fd = kept->second;
        files.fds.erase(kept);
    }
    (void)close(fd);
}

void* InitHeartBeatMmapChannel(const std::string& path, const bool& create, const unsigned& gid) {
    // Never through a link planted at the path, and never into a program the
    // host executes.
    const int flags = O_RDWR | O_SYNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = -1;
    if (create) {
        // An existing file is reused with its bytes: the checking side may
        // recreate a channel that a running client still writes to. But only
        // a file of our own: it is checked before anything changes it.
        fd = open(path.c_str(), flags | O_CREAT, 0660);
        if (fd >= 0 && !IsOwnChannelFile(fd, path, create)) {
            (void)close(fd);
            return nullptr;
        }
        if (fd >= 0 && ftruncate(fd, static_cast<off_t>(kChannelSize)) != 0) {
            const int err = errno;
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Open mmap channel failed: ftruncate %s to %zu bytes, fd=%d, errno=%d.\n",
                   path.c_str(), kChannelSize, fd, err);
            CloseMmapChannel(path, fd);
        }
        if (fd >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0) {
            const int err = errno;
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Open mmap channel failed: change %s to %u, fd=%d, errno=%d.\n", path.c_str(),
                   gid, fd, err);
            CloseMmapChannel(path, fd);
        }
        // Set, not requested: the umask of the host must not take the group's
        // write access away (after the chown, which may clear mode bits).
        if (fd >= 0 && fchmod(fd, 0660) != 0) {
            const int err = errno;
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Open mmap channel failed: chmod %s to 0660, fd=%d, errno=%d.\n", path.c_str(), fd,
                   err);
            CloseMmapChannel(path, fd);
        }
    } else {
        // The client only ever opens: the file belongs to the checking side.
        fd = open(path.c_str(), flags);
        if (fd >= 0 && !IsOwnChannelFile(fd, path, create)) {
            (void)close(fd);
            return nullptr;
        }
    }
    if (fd < 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Init heart channel failed: open mmap file %s, errno=%d.\n",
               path.c_str(), err);
        return nullptr;
    }

    // MAP_POPULATE faults the page in now rather than in the first cycle.
    void* addr = mmap(nullptr, kChannelSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (addr == MAP_FAILED) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Init heart channel failed: mmap %s, fd=%d, errno=%d.\n",
               path.c_str(), fd, err);
        // A name that cannot be mapped is useless to both sides: remove it,
        // whichever side found out.
        CloseMmapChannel(path, fd);
        return nullptr;
    }
    KeepChannelFile(addr, fd);
    return addr;
}

void FiniHeartBeatMmapChannel(void* addr, const std::string& path) {
    if (addr == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Fini heart channel failed: mmap %s buf=null.\n", path.c_str());
        return;
    }
    ForgetChannelFile(addr);
    if (munmap(addr, kChannelSize) == -1) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Fini heart channel: munmap %s, errno=%d.\n", path.c_str(), err);
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Fini heart channel: unlink %s, errno=%d.\n", path.c_str(), err);
    }
}

}  // namespace VeHeartBeat
