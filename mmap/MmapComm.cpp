// The channel file: a one-page file under /dev/shm/ that a checking process
// creates and a client opens, both mapping it whole and shared. The handle of
// a channel is the mapping's address; the descriptor is closed as soon as the
// mapping exists, so a channel costs one page and no descriptor.
#include "heartbeat_mmap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "log/log_internal.h"
#include "mmap/mmap_internal.h"

namespace VeHeartBeat {

namespace {

std::atomic<bool> processExiting{false};

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

void SleepOneCycle() {
    struct timespec request = {kCycleSeconds, 0};
    struct timespec remaining = {0, 0};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

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

void* InitHeartBeatMmapChannel(const std::string& path, const bool& create, const unsigned& gid) {
    int fd = -1;
    if (create) {
        // An existing file is reused with its bytes: the checking side may
        // recreate a channel that a running client still writes to. The
        // descriptor lives only until the mapping exists, so it carries no
        // flags beyond what the channel needs.
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_SYNC, 0660);
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
    } else {
        // The client only ever opens: the file belongs to the checking side.
        fd = open(path.c_str(), O_RDWR | O_SYNC);
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
    if (close(fd) != 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Init heart channel failed: close mmap file %s, errno=%d.\n",
               path.c_str(), err);
    }
    return addr;
}

void FiniHeartBeatMmapChannel(void* addr, const std::string& path) {
    if (addr == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Fini heart channel failed: mmap %s buf=null.\n", path.c_str());
        return;
    }
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
