// The checking process's shared-memory listener: a table of listed channel
// pages, one per client, and the thread "ReceiveHeartMmap" that every 3
// seconds takes the new record of each page and hands it to the intake.
#include <sys/prctl.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

#include "common/mutex.h"
#include "common/no_destructor.h"
#include "common/sleep.h"
#include "heartbeat_mmap.h"
#include "log/log_internal.h"
#include "mmap/mmap_internal.h"

namespace VeHeartBeat {

MmapListenerState& MmapListener() {
    static hb::NoDestructor<MmapListenerState> state;  // never destroyed, see the header
    return *state;
}

namespace {

// True while this thread runs a visit, and so holds mmapListenMutex: a fork
// from inside the intake (a fault callback that forks) finds it set in the
// child, whose only thread is then in the middle of that visit.
thread_local bool visiting = false;
// Counts the forks this process is a child of.
std::atomic<unsigned> childGeneration{0};

struct VisitingScope {
    VisitingScope() { visiting = true; }
    ~VisitingScope() { visiting = false; }
    VisitingScope(const VisitingScope&) = delete;
    VisitingScope& operator=(const VisitingScope&) = delete;
};

}  // namespace

void ResetMmapListenerInChild() NO_THREAD_SAFETY_ANALYSIS {
    MmapListenerState& s = MmapListener();
    childGeneration.fetch_add(1);
    // The child has one thread, this one. Forked inside a visit, it holds the
    // lock itself and the table is whole: the visit stops and empties it when
    // the intake returns. Otherwise a lock that another thread of the parent
    // held at the fork stays held for good, and the table it guarded may be
    // half changed: both are replaced, the old ones left as they are.
    if (visiting) {
        // left to the visit
    } else if (s.mmapListenMutex.TryLock()) {
        s.mmapChannelMap.clear();
        s.mmapListenMutex.Unlock();
    } else {
        new (&s.mmapListenMutex) hb::Mutex();
        new (&s.mmapChannelMap) std::unordered_map<std::string, uint64_t>();
    }
    // The parent's thread object names a thread the child does not have; it
    // is overwritten, never joined, detached or destroyed.
    new (&s.mmapListenThread) std::thread();
    s.isMmapListening.store(false);
}

namespace {

// A page whose file has been cut short (or that cannot be read at all) holds
// no record: skipped, and logged at most once per 600 seconds, since a
// neighbour can keep it broken for as long as it likes.
void LogBrokenChannel(const std::string& client, ssize_t got, size_t want, size_t offset) {
    HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR,
           "Receive heart failed: mmap channel of %s is broken, %zd of %zu bytes at offset %zu, errno=%d.",
           client.c_str(), got, want, offset, got < 0 ? errno : 0);
}

}  // namespace

void VisitMmapChannels(MmapIntake intake) {
    MmapListenerState& s = MmapListener();
    // Held across the intake (which takes stateMutex): see the lock order at
    // mmapListenMutex.
    hb::MutexLock lock(&s.mmapListenMutex);
    const VisitingScope scope;
    const unsigned generation = childGeneration.load();
    for (const auto& entry : s.mmapChannelMap) {
        unsigned char* page = reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(entry.second));
        if (page == nullptr) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Receive heart failed: mmap buf=null, client=%s.",
                   entry.first.c_str());
            continue;
        }
        // The sender's process writes the page without any lock; work on
        // private copies only, and exactly the bytes of the layout.
        uint32_t head = kHeadEmpty;
        ssize_t got = ReadChannel(page, kHeadOffset, &head, sizeof(head));
        if (got != static_cast<ssize_t>(sizeof(head))) {
            LogBrokenChannel(entry.first, got, sizeof(head), kHeadOffset);
            continue;
        }
        if (head == kHeadTaken) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Receive heart failed: client heart beat is not updated.");
            continue;
        }
        if (head != kHeadNew) {
            continue;  // nothing written yet, or a value no sender writes
        }
        HeartBeatMessage record;
        got = ReadChannel(page, kRecordOffset, &record, sizeof(record));
        if (got != static_cast<ssize_t>(sizeof(record))) {
            // Whatever part was there is not a record; the head stays 1.
            LogBrokenChannel(entry.first, got, sizeof(record), kRecordOffset);
            continue;
        }
        const uint32_t taken = kHeadTaken;
        got = WriteChannel(page, kHeadOffset, &taken, sizeof(taken));
        if (got != static_cast<ssize_t>(sizeof(taken))) {
            const int ret = got < 0 ? -errno : -EIO;
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Receive heart failed: copy heart beat message head, ret=%d.", ret);
            continue;
        }
        // The record is handed on as read, unterminated name included: it is
        // a private copy, and the intake bounds the name by its field.
        const int fd = -1;  // a shared-memory record has no pipe handle
        intake(fd, record, HEART_CHANNEL_MMAP);
        if (childGeneration.load() != generation) {
            break;  // this is a child forked inside the intake: the pages are the parent's
        }
    }
    if (childGeneration.load() != generation) {
        s.mmapChannelMap.clear();
    }
}

void ReceiveHeartBeatMmapThread() {
    if (prctl(PR_SET_NAME, "ReceiveHeartMmap") != 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING,
               "Receive heart: set HeartBeat thread name unfinished, errno=%d.\n", err);
    }
    MmapListenerState& s = MmapListener();
    while (s.isMmapListening.load()) {
        hb::SleepFully(kCycleSeconds, 0);
        if (ProcessExiting()) {
            return;
        }
        try {
            VisitMmapChannels();
        } catch (const std::system_error&) {
            // A lock that cannot be taken this visit may be taken at the
            // next; ending the thread here would end the process.
        }
    }
}

bool StartListeningHeartBeatMmapChannel(const std::string& clientName, void* channel) {
    MmapListenerState& s = MmapListener();
    // Load and store are separate steps: callers serialise their first starts.
    if (!s.isMmapListening.load()) {
        s.isMmapListening.store(true);
        WatchProcessExit();
        try {
            s.mmapListenThread = std::thread(ReceiveHeartBeatMmapThread);
            // Nothing stops or joins this thread: detached, it leaves no
            // joinable thread behind at exit (which a thread checker reports
            // as leaked).
            s.mmapListenThread.detach();
        } catch (const std::exception&) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Register receive heart failed: create listen heartbeat thread.\n");
            // No thread exists, so let the next start try again instead of
            // listing pages that nobody would ever read.
            s.isMmapListening.store(false);
            return false;
        }
    }
    hb::MutexLock lock(&s.mmapListenMutex);
    if (s.mmapChannelMap.count(clientName) != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Register receive heart failed: %s's heartbeat has been registered.\n",
               clientName.c_str());
        return false;
    }
    s.mmapChannelMap.emplace(clientName, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(channel)));
    return true;
}

void StopListenHeartBeatMmapChannel(const std::string& clientName) {
    MmapListenerState& s = MmapListener();
    hb::MutexLock lock(&s.mmapListenMutex);
    s.mmapChannelMap.erase(clientName);
}

}  // namespace VeHeartBeat
