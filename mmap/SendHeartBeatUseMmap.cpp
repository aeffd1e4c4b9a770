// The client's shared-memory sender: opens the channel file that the checking
// side created and runs the thread "SendHeartMmap", which every 3 seconds
// ticks the thread watchdog, fills one heartbeat record and writes it into the
// page, record first and head word second.
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

#include "common/no_destructor.h"
#include "common/result.h"
#include "common/sleep.h"
#include "common/securec.h"
#include "heartbeat_mmap.h"
#include "log/log_internal.h"
#include "mmap/mmap_internal.h"

namespace VeHeartBeat {

MmapSenderState& MmapSender() {
    static hb::NoDestructor<MmapSenderState> state;  // never destroyed, see the header
    return *state;
}

void ResetMmapSenderInChild() {
    MmapSenderState& s = MmapSender();
    // The page and its file stay the parent's: the child drops its copies of
    // both without writing, unlinking or closing anything the parent uses (its
    // copy of the descriptor is its own to close).
    if (s.mmapChannelAddr != nullptr) {
        ForgetChannelFile(s.mmapChannelAddr);
        (void)munmap(s.mmapChannelAddr, kChannelSize);
        s.mmapChannelAddr = nullptr;
    }
    std::string().swap(s.mmapClientName);
    std::string().swap(s.mmapServerName);
    std::string().swap(s.mmapChannelPath);
    // Names a thread the child does not have: overwritten, never joined.
    new (&s.mmapSendThread) std::thread();
    s.isMmapSending.store(false);
}

void SendHeartBeatMmapCycle(HeartBeatMessage& message, uint64_t& previousTime,
                            const MmapSendHooks& hooks) {
    MmapSenderState& s = MmapSender();
    message.watchDogFailed = hooks.checkWatchDog() ? 0 : 1;
    message.sendTime = hooks.currentTime();
    message.pid = getpid();
    message.timeoutTimes = s.mmapTimeoutTimes;
    if (strcpy_s(message.clientName, sizeof(message.clientName), s.mmapClientName.c_str()) != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Send heart failed: copy %s.\n", s.mmapClientName.c_str());
        message.clientName[0] = '\0';
        return;
    }
    if (s.mmapChannelAddr == nullptr) {
        const bool create = false;
        const unsigned gid = getgid();
        s.mmapChannelAddr = InitHeartBeatMmapChannel(s.mmapChannelPath, create, gid);
        if (s.mmapChannelAddr == nullptr) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Send heart failed: pipe reset failed.\n");
            return;
        }
    }

    // The reader trusts the record once it sees the head at 1, so the head
    // is written only after the whole record is in place. Through the file,
    // not the mapping: a file cut short by anyone is written (and so grown)
    // where the mapping would raise SIGBUS.
    void* page = s.mmapChannelAddr;
    ssize_t put = WriteChannel(page, kRecordOffset, &message, sizeof(HeartBeatMessage));
    int ret = put == static_cast<ssize_t>(sizeof(HeartBeatMessage)) ? 0 : (put < 0 ? -errno : -EIO);
    if (ret != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Send heart failed: copy heart beat message struct, msgSize=%zu bytes, ret=%d.",
               sizeof(HeartBeatMessage), ret);
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Send heart failed: send message to server unfinished.\n");
    } else {
        const uint32_t head = kHeadNew;
        put = WriteChannel(page, kHeadOffset, &head, sizeof(head));
        ret = put == static_cast<ssize_t>(sizeof(head)) ? 0 : (put < 0 ? -errno : -EIO);
        if (ret != 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Send heart failed: copy heart beat message head, heartMessageType=%u, ret=%d.", head,
                   ret);
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Send heart failed: send message to server unfinished.\n");
        } else {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Send heart: send message to server success.\n");
        }
    }

    // Measured between written cycles only, so skipped cycles show up as one
    // long gap at the next write.
    if (previousTime != 0 && message.sendTime - previousTime > kThreadLateMs) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Send heart failed: thread late, cost time=%lu ms.\n",
               static_cast<unsigned long>(message.sendTime - previousTime));
    }
    previousTime = message.sendTime;
    ++message.order;
}

void SendHeartBeatMmapThread() {
    if (prctl(PR_SET_NAME, "SendHeartMmap") != 0) {
        const int err = errno;
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "Send heart: set HeartBeat thread name unfinished, errno=%d.\n",
               err);
    }
    // Lives on this thread's stack for the thread's whole life; sendTime,
    // order and watchDogFailed start at 0, and the bytes that no field
    // covers stay 0.
    HeartBeatMessage message{};
    uint64_t previousTime = 0;
    MmapSenderState& s = MmapSender();
    // The flag is tested after a full cycle: a stop that arrives during the
    // sleep lets this cycle write its record before the thread ends.
    while (s.isMmapSending.load()) {
        hb::SleepFully(kCycleSeconds, 0);
        if (ProcessExiting()) {
            return;
        }
        SendHeartBeatMmapCycle(message, previousTime);
    }
}

bool StartSendHeartBeatMmapThread() {
    MmapSenderState& s = MmapSender();
    s.isMmapSending.store(true);
    WatchProcessExit();
    try {
        s.mmapSendThread = std::thread(SendHeartBeatMmapThread);
    } catch (const std::exception&) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Register send heart failed: create heart beat thread, %s to %s.\n",
               s.mmapClientName.c_str(), s.mmapServerName.c_str());
        return false;
    }
    return true;
}

int InitSendHeartBeatWithMmap(const std::string& clientName, const std::string& serverName,
                              unsigned timeoutTimes) {
    MmapSenderState& s = MmapSender();
    // One sender per process. A second start while a channel is open (with
    // or without a running thread) is refused before any state changes: the
    // running thread reads the names and the address, and stopping it here
    // would delete the very file the new start wants to open.
    if (s.mmapSendThread.joinable() || s.mmapChannelAddr != nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Register send heart failed: %s already sends heart beat to %s.\n",
               s.mmapClientName.c_str(), s.mmapServerName.c_str());
        return -EBUSY;
    }
    s.mmapClientName = clientName;
    s.mmapServerName = serverName;
    s.mmapChannelPath = "/dev/shm/" + clientName + "__to__" + serverName + "_mmap_heartbeat";
    const bool create = false;
    const unsigned gid = getgid();
    s.mmapChannelAddr = InitHeartBeatMmapChannel(s.mmapChannelPath, create, gid);
    s.mmapTimeoutTimes = timeoutTimes;
    if (s.mmapChannelAddr == nullptr) {
        return hb::kResultChannelNotOpened;
    }
    if (!StartSendHeartBeatMmapThread() && !StartSendHeartBeatMmapThread()) {
        return -EAGAIN;
    }
    return 0;
}

int UnregisterSendHeartBeatWithMmap() {
    MmapSenderState& s = MmapSender();
    s.isMmapSending.store(false);
    if (s.mmapSendThread.joinable()) {
        try {
            s.mmapSendThread.join();
        } catch (const std::system_error&) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Unregister send heart failed: join thread failed.\n");
            // Let the thread go rather than leave a joinable object behind
            // that a later start would overwrite (std::terminate).
            s.mmapSendThread.detach();
        }
    }
    FiniHeartBeatMmapChannel(s.mmapChannelAddr, s.mmapChannelPath);
    // The page is gone: a second stop must not unmap whatever lives at that
    // address now, and a new start must find the sender idle.
    s.mmapChannelAddr = nullptr;
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Unregister send heart beat to server.");
    return 0;
}

}  // namespace VeHeartBeat
