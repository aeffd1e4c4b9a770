// The checking process's shared-memory listener: a table of listed channel
// pages, one per client, and the thread "ReceiveHeartMmap" that every 3
// seconds takes the new record of each page and hands it to the intake.
#include <sys/prctl.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "common/securec.h"
#include "heartbeat_mmap.h"
#include "log/log_internal.h"
#include "mmap/mmap_internal.h"

namespace VeHeartBeat {

MmapListenerState& MmapListener() {
    static MmapListenerState* state = new MmapListenerState();  // never destroyed, see the header
    return *state;
}

void VisitMmapChannels(MmapIntake intake) {
    MmapListenerState& s = MmapListener();
    // Held across the intake (which takes stateMutex): see the lock order at
    // mmapListenMutex.
    std::lock_guard<std::mutex> lock(s.mmapListenMutex);
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
        int ret = memcpy_s(&head, sizeof(head), page + kHeadOffset, sizeof(head));
        if (ret != 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Receive heart failed: copy heart beat message head, ret=%d.", ret);
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
        ret = memcpy_s(&record, sizeof(record), page + kRecordOffset, sizeof(record));
        if (ret != 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Receive heart failed: copy heart beat message struct, msgSize=%zu bytes, ret=%d.",
                   sizeof(record), ret);
            continue;
        }
        const uint32_t taken = kHeadTaken;
        ret = memcpy_s(page + kHeadOffset, sizeof(taken), &taken, sizeof(taken));
        if (ret != 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Receive heart failed: copy heart beat message head, ret=%d.", ret);
            continue;
        }
        // The record is handed on as read, unterminated name included: it is
        // a private copy, and the intake bounds the name by its field.
        const int fd = -1;  // a shared-memory record has no pipe handle
        intake(fd, record, HEART_CHANNEL_MMAP);
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
        SleepOneCycle();
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
    std::lock_guard<std::mutex> lock(s.mmapListenMutex);
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
    std::lock_guard<std::mutex> lock(s.mmapListenMutex);
    s.mmapChannelMap.erase(clientName);
}

}  // namespace VeHeartBeat
