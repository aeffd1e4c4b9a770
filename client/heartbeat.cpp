// The pipe heartbeat sender of a client process.
//
// RegisterSendHeartBeat() opens a pipe from the client's name to the server's
// heartbeat pipe and starts the thread "SendHeart", which sends one
// HeartBeatMessage every 3 seconds. A failed send is not retried on the same
// pipe: the next cycle opens a new one (the IPC library closes the old one
// through ClientPipeCallback), so a client keeps knocking until its server is
// back. UnregisterSendHeartBeat() stops the thread and closes the pipe.
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>

#include "client/heartbeat_internal.h"
#include "client/pipe_open.h"
#include "cmdline_config_center.h"
#include "common/name_rule.h"
#include "common/no_destructor.h"
#include "common/securec.h"
#include "common/sleep.h"
#include "heartbeat.h"
#include "log/log_internal.h"

namespace {

constexpr unsigned int kDefaultTimeoutTimes = 10;
constexpr time_t kSendPeriodSeconds = 3;
constexpr uint32_t kOpenTimeoutMs = 3000;
constexpr uint64_t kLateSendMs = 2000;
constexpr uint64_t kLateCycleMs = 10000;
constexpr long kCloseRetrySleepNs = 2000000;  // 2 ms
constexpr unsigned int kMaxCloseRetries = 1000;

// Exit-time teardown. A client that never calls UnregisterSendHeartBeat() still
// has "SendHeart" running when the process exits, and destroying a joinable
// std::thread would call std::terminate. Stopping and joining it here would
// hold up every exit by up to one full cycle (3 s sleep, a 3 s open and a
// send), so the holder detaches the thread instead and lets the process end it.
// Everything that thread can still touch is either trivially destructible
// (the flags and the handle) or allocated once and never destroyed (the two
// strings, and the watchdog's state), so a detached thread never meets a
// destroyed object of this library.
struct SendThreadHolder {
    std::thread thread;
    SendThreadHolder() = default;
    SendThreadHolder(const SendThreadHolder&) = delete;
    SendThreadHolder& operator=(const SendThreadHolder&) = delete;
    ~SendThreadHolder() {
        if (thread.joinable()) {
            thread.detach();
        }
    }
};
SendThreadHolder sendThreadHolder;

// The registration body runs once per process, and so does the
// unregistration body; a forked child counts as a new process (see
// ResetSenderInChild).
std::once_flag registerOnce;
std::once_flag unregisterOnce;

bool IsPeerAbsent(int ret) { return ret == -EPIPE || ret == -ETIMEDOUT; }

bool CountsAsClosed(int ret) { return ret >= 0 || ret == -ENOENT || ret == -EINVAL; }

}  // namespace

namespace {
hb::NoDestructor<std::string> appNameStorage;   // read by a detached "SendHeart" at exit
hb::NoDestructor<std::string> pipeNameStorage;
}  // namespace

std::string& heartAppName = *appNameStorage;
std::string& heartPipeName = *pipeNameStorage;
int heartPipeFd = 0;
std::thread& heartThread = sendThreadHolder.thread;
// Guards the writes of isSending (the send thread reads the atomic without it,
// so the flag itself carries no GUARDED_BY). A leaf: never held together with
// another lock of the library, and never across a join or a pipe call.
hb::Mutex heartMutex;
std::atomic<bool> isSending{true};
bool isConnected = true;

void ResetSenderInChild() NO_THREAD_SAFETY_ANALYSIS {
    // Only this thread exists in the child. A lock or a once flag that another
    // thread of the parent was inside at the fork would stay taken for good,
    // so all of them are made anew rather than released; the objects they
    // replace are left as they are (the thread object names a thread the child
    // does not have: it must be neither joined, detached nor destroyed).
    new (&heartMutex) hb::Mutex();
    new (&registerOnce) std::once_flag();
    new (&unregisterOnce) std::once_flag();
    new (&heartThread) std::thread();
    isSending.store(true);
    isConnected = true;
    heartPipeFd = 0;  // the parent's handle: never closed from here
    std::string().swap(heartAppName);
    std::string().swap(heartPipeName);
}

namespace {
// Registered while the library loads, so that every later fork finds it.
[[maybe_unused]] const int forkHandlerRegistered = pthread_atfork(nullptr, nullptr, ResetSenderInChild);
}  // namespace

void ClientPipeCallback(int pipeHandle, const LumoRequest* request) {
    if (request != nullptr) {
        return;  // the server sends nothing the client would act on
    }
    int ret = LumoClosePipe(pipeHandle);
    if (ret == -EBUSY) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Client close pipe failed, close again.");
        ret = LumoClosePipe(pipeHandle);
    }
    if (ret != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Client close pipe failed, ret=%d.", ret);
    }
}

int OpenHeartBeatPipe() {
    const int ret = client_internal::OpenClientPipe(
        heartAppName.c_str(), heartPipeName.c_str(), kOpenTimeoutMs, ClientPipeCallback,
        [](const char* peerName) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "Open Pipe to %s again.\n", peerName);
        });
    if (IsPeerAbsent(ret)) {
        // Expected every cycle while the server is away: rate-limited.
        HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, "Open Pipe to %s failed, ret=%d.\n",
               heartPipeName.c_str(), ret);
    } else if (ret < 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Open Pipe to %s failed, ret=%d.\n",
               heartPipeName.c_str(), ret);
    } else {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Open Pipe to %s success, fd=%d.\n",
               heartPipeName.c_str(), ret);
        heartPipeFd = ret;
    }
    return ret;
}

void SendOneHeartBeat(HeartBeatMessage& record, int& pipeHandle, uint64_t& previousSendTime,
                      unsigned int timeoutTimes) {
    record.watchDogFailed = CheckWatchDog() ? 0 : 1;
    record.sendTime = VeKov::GetCurrentTime();
    record.pid = getpid();
    record.timeoutTimes = timeoutTimes;
    if (strcpy_s(record.clientName, sizeof(record.clientName), heartAppName.c_str()) != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "fail to copy clientName %s\n", heartAppName.c_str());
        record.clientName[0] = '\0';  // the server rejects a nameless record; send it anyway
    }

    // The result shown when the cycle fails: the send result when a send was
    // made, otherwise the (non-positive) handle, i.e. this cycle's open result.
    int ret = pipeHandle;
    if (!isConnected) {
        // The old pipe is left to the library, which asks ClientPipeCallback
        // to close it.
        pipeHandle = OpenHeartBeatPipe();
        ret = pipeHandle;
    }
    bool sent = false;
    if (pipeHandle > 0) {
        LumoRequest request{};
        request.data = &record;
        request.size = static_cast<uint32_t>(sizeof(record));
        ret = LumoSendRequest(pipeHandle, &request);
        if (IsPeerAbsent(ret)) {
            HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, "LumoSendRequest to server failed, ret=%d.",
                   ret);
        } else if (ret < 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "LumoSendRequest to server failed, ret=%d.", ret);
        }
        sent = ret >= 0;
    }
    isConnected = sent;

    uint64_t now = VeKov::GetCurrentTime();
    if (isConnected) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Send HeartBeat to Server success.\n");
    } else {
        HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, "Send HeartBeat to Server unfinished, ret=%d.\n",
               ret);
    }
    if (now != 0 && now - record.sendTime > kLateSendMs) {
        HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_WARNING, "Lumo send msg late, cost time=%lu ms.\n",
               static_cast<unsigned long>(now - record.sendTime));
    }
    if (previousSendTime != 0 && record.sendTime - previousSendTime > kLateCycleMs) {
        HB_LOG(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_WARNING,
               "Send heart thread late, cost time=%lu ms.\n",
               static_cast<unsigned long>(record.sendTime - previousSendTime));
    }
    // Every cycle counts, sent or not, so the server sees the gap.
    ++record.order;
    previousSendTime = record.sendTime;
}

void SendHeartBeatThread(unsigned int timeoutTimes, int pipeHandle) {
    int ret = prctl(PR_SET_NAME, "SendHeart", 0UL, 0UL, 0UL);
    if (ret != 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING,
               "Set HeartBeat thread name unfinished, ret=%d, errno=%d.\n", ret, errno);
    }
    HeartBeatMessage record;
    std::memset(&record, 0, sizeof(record));
    uint64_t previousSendTime = 0;
    if (!isSending.load()) {
        return;
    }
    do {
        hb::SleepFully(kSendPeriodSeconds, 0);
        SendOneHeartBeat(record, pipeHandle, previousSendTime, timeoutTimes);
    } while (isSending.load());
}

bool StartSendHeartBeatThread(const char* name, unsigned int timeoutTimes, int pipeHandle) {
    {
        hb::MutexLock lock(&heartMutex);
        isSending.store(true);
    }
    if (heartThread.joinable()) {
        return true;
    }
    try {
        heartThread = std::thread(SendHeartBeatThread, timeoutTimes, pipeHandle);
    } catch (const std::exception&) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Create heart beat thread failed, client: %s\n", name);
        return false;
    }
    return true;
}

extern "C" int RegisterSendHeartBeat(const char* appName, size_t appNameLen, const char* serverName,
                                     size_t serverNameLen, const HeartBeatConfig* config) {
    if (VeKov::CmdlineConfigCenter::GetInstance(true)->IsFpga()) {
        return 0;  // FPGA boards run without heartbeats
    }
    if (!hb::IsValidName(appName, appNameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "App name is invalid.\n");
        return -EINVAL;
    }
    if (!hb::IsValidName(serverName, serverNameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Server name is invalid.\n");
        return -EINVAL;
    }
    if (config == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Heartbeat config is invalid.\n");
        return -EINVAL;
    }
    unsigned int timeoutTimes = config->timeoutTimes != 0 ? config->timeoutTimes : kDefaultTimeoutTimes;

    int result = 0;
    std::call_once(registerOnce, [&]() {
        heartAppName = hb::NameOf(appName, appNameLen);
        heartPipeName = hb::NameOf(serverName, serverNameLen) + "_heartbeat";
        int handle = OpenHeartBeatPipe();
        if (handle <= 0) {
            result = handle;
            return;
        }
        if (!StartSendHeartBeatThread(heartAppName.c_str(), timeoutTimes, handle) &&
            !StartSendHeartBeatThread(heartAppName.c_str(), timeoutTimes, handle)) {
            result = -EAGAIN;
        }
    });
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Register send heart beat to server.");
    return result;
}

extern "C" int UnregisterSendHeartBeat(void) {
    int result = 0;
    std::call_once(unregisterOnce, [&]() {
        {
            hb::MutexLock lock(&heartMutex);
            isSending.store(false);
        }
        // The thread finishes the cycle it is in, so this waits up to one
        // sleep, one open and one send.
        if (heartThread.joinable()) {
            try {
                heartThread.join();
            } catch (const std::exception&) {
                HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Join thread failed.\n");
            }
        }
        result = CloseSendHeartBeatPipe(heartPipeFd, "Manage channel remove");
        if (!CountsAsClosed(result)) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Unregister heart beat failed: appName: %s\n",
                   heartAppName.c_str());
        }
    });
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Unregister send heart beat to server.");
    return result;
}

int CloseSendHeartBeatPipe(const int& pipeHandle, const char* who) {
    // -16 means the pipe's callback is running on the library's thread; the
    // handle is read again for every try, since the caller's variable is the
    // one that counts.
    int ret = LumoClosePipe(pipeHandle);
    unsigned int retries = 0;
    while (ret == -EBUSY && retries < kMaxCloseRetries) {
        hb::SleepFully(0, kCloseRetrySleepNs);
        ++retries;
        ret = LumoClosePipe(pipeHandle);
    }
    const char* caller = who != nullptr ? who : "(null)";
    if (!CountsAsClosed(ret)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "%s failed: close pipe, fd=%d ret=%d retried=%u times.\n",
               caller, pipeHandle, ret, retries);
    } else if (retries > 5) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "%s: close pipe retried, retryTimes=%u times.\n",
               caller, retries);
    }
    return ret;
}
