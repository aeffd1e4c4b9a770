// The checking side: the registry of watched clients, the intake of their
// heartbeats, the check thread that declares them lost or recovered, and the
// registration operations of the server process.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "checker/checkheart_internal.h"
#include "cmdline_config_center.h"
#include "common/name_rule.h"
#include "common/no_destructor.h"
#include "common/pipe_open.h"
#include "common/result.h"
#include "common/securec.h"
#include "env_manager.h"
#include "heartbeat.h"
#include "heartbeat_message.h"
#include "log/log_internal.h"
#include "log/token_bucket.h"
#include "lumo.h"
#include "lumo_peer.h"

// Our IPC library tells the receiving side who sent a message; a platform pipe
// library that replaces it may not. Declared weak, so that the library loads
// against either and simply goes without the sender checks when they are null.
extern "C" {
LUMO_PEER_WEAK int LumoGetRequestPeer(const LumoRequest* request, LumoPeerCred* cred);
LUMO_PEER_WEAK void LumoMarkRequestAccepted(const LumoRequest* request);
}

namespace checkheart {

namespace {

constexpr size_t kClientNameField = sizeof(HeartBeatMessage::clientName);  // 200

// Lines about rejected input are provoked by whoever can reach a pipe, as
// often as they like. Each call site and pipe handle writes its first 10 lines
// as they come, then about one a second; the next line written after a pause
// says how many were left out. 4096 sites and handles in the table at most.
constexpr uint32_t kIntakeLogBurst = 10;
constexpr uint32_t kIntakeLogPeriodMs = 1000;
constexpr size_t kIntakeLogKeys = 4096;

hb::TokenBucketTable& IntakeLogLimit() {
    static hb::NoDestructor<hb::TokenBucketTable> table(kIntakeLogBurst, kIntakeLogPeriodMs,
                                                        kIntakeLogKeys);
    return *table;
}

uint64_t IntakeLogKey(int line, int handle) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(line)) << 32) |
           static_cast<uint32_t>(handle);
}

}  // namespace

#define INTAKE_LOG(handle, type, level, ...)                                                   \
    do {                                                                                       \
        const hb::TokenBucketTable::Verdict intakeVerdict = IntakeLogLimit().Take(             \
            IntakeLogKey(__LINE__, (handle)), VeKov::GetCurrentTime());                        \
        if (intakeVerdict.write) {                                                             \
            HB_LOG(type, level, __VA_ARGS__);                                                  \
            if (intakeVerdict.suppressed != 0) {                                               \
                HB_LOG(type, level, "%u more lines like the previous one were suppressed.\n", \
                       intakeVerdict.suppressed);                                              \
            }                                                                                  \
        }                                                                                      \
    } while (0)

namespace {

// What /proc/<pid>/stat says about a process: its state letter, its parent
// and its start time (clock ticks after boot), which tells a process from a
// later one that got the same pid. False when the process is gone or the
// file cannot be read or parsed.
struct ProcStat {
    char state;
    int32_t ppid;
    uint64_t startTime;
};

bool ReadProcStat(int32_t pid, ProcStat& out) {
    if (pid <= 0) {
        return false;
    }
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[1024];
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    // The command name in parentheses may itself hold ") ": the fields
    // follow the last ')'. Then: state ppid pgrp session tty_nr tpgid flags
    // minflt cminflt majflt cmajflt utime stime cutime cstime priority nice
    // num_threads itrealvalue starttime.
    const char* rest = strrchr(text, ')');
    unsigned long long start = 0;
    int ppid = 0;
    char state = 0;
    if (rest == nullptr ||
        sscanf(rest + 1, " %c %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
                         "%*s %llu",
               &state, &ppid, &start) != 3) {
        return false;
    }
    out = ProcStat{state, ppid, start};
    return true;
}

// True while the process that took over a client (`pid`, started at
// `startTime`, 0 when that could not be read) still runs. A zombie has ended;
// a process with another start time is a newer one under a reused pid.
bool OwnerStillRuns(int32_t pid, uint64_t startTime) {
    ProcStat stat{};
    if (ReadProcStat(pid, stat)) {
        return stat.state != 'Z' && stat.state != 'X' &&
               (startTime == 0 || stat.startTime == startTime);
    }
    // No /proc to ask: whether the pid exists is all there is.
    return kill(pid, 0) == 0 || errno == EPERM;
}

// The report pass of a cycle: the callback for every client that the
// evaluation found lost or recovered, in stateMap's order.
void ReportCycle(CheckState& state) REQUIRES(state.stateMutex) {
    SendFaultCallback callback = state.SendFaultCb.load();
    if (callback == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "SendFaultCb is NULL!\n");
        return;
    }
    for (const CycleReport& report : state.cycleReports) {
        const char* name = report.name->c_str();
        callback(name, report.name->size(), report.info->pid, report.isLost);
        ++(report.isLost != 0 ? report.info->losses : report.info->recoveries);
        if (report.isLost != 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Report client %s heartbeat lost!", name);
        } else {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "Report client %s heartbeat recovery!", name);
        }
    }
}

// Evaluation of one client in a cycle; exactly one of three cases applies.
// Reports are queued in the order of the walk and made after it.
void EvaluateClient(CheckState& state, const std::string& name, ClientMgrInfo& info)
    REQUIRES(state.stateMutex) {
    if (!info.isFirstHeartReceived && info.channelType == HEART_CHANNEL_PIPE) {
        // Waiting for the first heartbeat: never reported, however long it
        // takes, but the pipe is opened anew every 10 cycles in case the
        // client connected to an end that the IPC library has since dropped.
        ++info.silentCycles;
        if (info.silentCycles % kReopenEveryCycles == 0 && InitReceiveHeartBeat(name, info) < 0) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Reconnect heart beat channel failed: %s to %s.\n",
                   name.c_str(), state.checkProcName.c_str());
        }
        return;
    }

    if (info.heartCount == info.seenCount) {
        // Nothing new since the last cycle. The count stops at timeoutTimes,
        // so a client lost by time-out is reported once; timeoutTimes 0 never
        // times out.
        if (info.silentCycles != info.timeoutTimes) {
            ++info.silentCycles;
            if (info.silentCycles == info.timeoutTimes) {
                HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Client %s report HeartBeat timeout.\n",
                       name.c_str());
                state.cycleReports.push_back({&name, &info, 1});
                info.lost = true;
            }
        }
        return;
    }

    // New heartbeat(s) since the last cycle.
    info.seenCount = info.heartCount;
    if (info.watchDogFailed != 0) {
        if (!info.lost) {
            state.cycleReports.push_back({&name, &info, 1});
            info.lost = true;
        }
    } else if (info.lost) {
        info.lost = false;
        state.cycleReports.push_back({&name, &info, 0});
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Client %s recovery heart beat.\n", name.c_str());
    }
    info.silentCycles = 0;
}

// True while the calling thread is the check thread that the registry holds.
// DisableAllCheckHeartBeat takes the thread object out of the registry before
// it posts, so a thread that has been disabled finds itself replaced even if
// a registration has meanwhile set isChecking again and started a successor.
bool IsCurrentCheckThread(CheckState& state) REQUIRES(state.stateMutex) {
    return state.checkThread.get_id() == std::this_thread::get_id();
}

}  // namespace

namespace {

// The registry in use. Replaced only in the child of a fork(), see below.
std::atomic<CheckState*>& CurrentState() {
    static std::atomic<CheckState*> current{new CheckState()};  // never destroyed
    return current;
}

// A child forked without exec starts with a checking side of its own, empty:
// the inherited registry names the parent's pipe handles, and closing them
// here would take the parent's sockets out of the IPC library's shared epoll
// set, so the parent would stop hearing clients that still send. The old
// registry is left as it is (its lock may have been held by a thread that did
// not survive the fork) and never freed. Runs in the single-threaded child.
void FreshStateInChild() {
    auto* fresh = new CheckState();
    fresh->inherited = CurrentState().exchange(fresh, std::memory_order_acq_rel);
}

// Registered while the library loads, like the log's handler: never from a
// path that holds one of the library's locks.
[[maybe_unused]] const int forkHandlerRegistered = pthread_atfork(nullptr, nullptr, FreshStateInChild);

}  // namespace

CheckState& State() {
    return *CurrentState().load(std::memory_order_acquire);
}

int InitReceiveHeartBeat(const std::string& clientName, ClientMgrInfo& info) {
    CheckState& state = State();
    const std::string procName = state.checkProcName;
    const std::string selfName = procName + kPipeSuffix;

    LumoOpenParam param = hb::HeartBeatOpenParam(
        selfName.c_str(), clientName.c_str(), kReceiveOpenTimeoutMs, true,
        VeKov::GetChannelGidForLink(info.gid, static_cast<unsigned int>(getgid())), ServerPipeCallback);
    const int ret = hb::OpenPipe(&param, [&selfName, &clientName] {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "%s open pipe to %s again.\n", selfName.c_str(),
               clientName.c_str());
    });
    if (ret < 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "%s open pipe to %s failed, ret=%d.\n", selfName.c_str(),
               clientName.c_str(), ret);
    } else {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "%s open pipe to %s successful, fd=%d.\n",
               selfName.c_str(), clientName.c_str(), ret);
    }
    info.fd = ret;
    if (ret <= 0) {
        // No caller can use a handle of 0, whatever the library says.
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Init receive heartbeat failed: open lumo channel, %s to %s, ret=%d.\n",
               clientName.c_str(), procName.c_str(), ret);
        return hb::kResultChannelNotOpened;
    }
    return 0;
}

void ServerPipeCallback(int fd, LumoRequest* request) {
    if (request == nullptr) {
        return;  // a disconnect notice; the receiving end stays open
    }
    if (request->data == nullptr) {
        INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_ERR, "Heart failed: data=null, fd=%d.\n", fd);
        return;
    }
    if (request->size != kHeartBeatMessageSize) {
        INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Heart failed: size=%u bytes, valid=%u bytes, fd=%d.\n", request->size,
                   kHeartBeatMessageSize, fd);
        return;
    }
    LumoPeerCred cred{};
    const LumoPeerCred* peer = nullptr;
    if (LumoGetRequestPeer != nullptr && LumoGetRequestPeer(request, &cred) == 0) {
        peer = &cred;
    }
    // The payload buffer belongs to the IPC library and need not be aligned
    // for the record's 64-bit field; read a misaligned one through a copy.
    bool accepted = false;
    if (reinterpret_cast<uintptr_t>(request->data) % alignof(HeartBeatMessage) != 0) {
        HeartBeatMessage copy;
        if (memcpy_s(&copy, sizeof(copy), request->data, sizeof(copy)) != 0) {
            return;
        }
        accepted = TakeRecord(fd, copy, peer);
    } else {
        accepted = TakeRecord(fd, *static_cast<const HeartBeatMessage*>(request->data), peer);
    }
    // After stateMutex is released: the IPC library's own lock may be taken.
    if (accepted && LumoMarkRequestAccepted != nullptr) {
        LumoMarkRequestAccepted(request);
    }
}

bool TakeRecord(int fd, const HeartBeatMessage& message, const LumoPeerCred* peer) {
    if (message.clientName[0] == '\0') {
        INTAKE_LOG(fd, KOV_LOG_KOV, LOG_ERR, "Heart failed: client's PROC_NAME is not available.\n");
        return false;
    }
    // A name without a terminator inside its field is cut at the field's end
    // (200 characters); nothing past the field is read. Such a name matches
    // only a client registered under exactly those 200 characters.
    // The key's buffer is kept per thread so that long names cost no
    // allocation after the first heartbeat on a thread.
    thread_local std::string name;
    name.assign(message.clientName, strnlen(message.clientName, kClientNameField));

    // A record that claims another pid than its sender's is believed only for
    // the sender's direct child. Finding that out reads /proc, so it is done
    // before stateMutex is taken: a neighbour's records with made-up pids
    // then cost the receive thread alone, not every user of the registry.
    bool fromSendersChild = false;
    if (peer != nullptr && message.pid != peer->pid) {
        ProcStat child{};
        fromSendersChild = ReadProcStat(message.pid, child) && child.ppid == peer->pid;
    }

    CheckState& state = State();
    hb::MutexLock lock(&state.stateMutex);
    auto found = state.stateMap.find(name);
    if (found == state.stateMap.end()) {
        return false;  // unregistered or forgotten client: dropped without a word
    }
    ClientMgrInfo& info = found->second;
    if (info.fd != fd) {
        INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_ERR, "Pipe to %s fd %d is different from msg fd %d\n",
                   name.c_str(), info.fd, fd);
        return false;
    }
    bool newOwner = false;
    if (peer != nullptr) {
        // The kernel's word on who sent this decides whose it may be. The
        // usual record comes from the process that already owns the client
        // and carries the pid it carried before: two comparisons, no system
        // call.
        const bool fromOwner = info.ownerPid == peer->pid && info.ownerPid != 0;
        if (message.pid != peer->pid && !(fromOwner && message.pid == info.pid)) {
            // A wrapper that sends for the workload it started: a parent can
            // signal its child anyway, so vouching for it grants nothing.
            if (!fromSendersChild) {
                INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_ERR,
                           "Heart failed: %s record claims pid %d, sent by pid %d.\n",
                           name.c_str(), message.pid, peer->pid);
                return false;
            }
        }
        if (!fromOwner) {
            if (info.ownerPid != 0 && OwnerStillRuns(info.ownerPid, info.ownerStart)) {
                INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_ERR,
                           "Heart failed: %s is sent by pid %d, not by its running pid %d.\n",
                           name.c_str(), peer->pid, info.ownerPid);
                return false;
            }
            ProcStat owner{};
            newOwner = info.ownerPid != 0;
            info.ownerPid = peer->pid;
            info.ownerStart = ReadProcStat(peer->pid, owner) ? owner.startTime : 0;
        }
    }
    if (!info.isFirstHeartReceived) {
        info.pid = message.pid;
        info.timeoutTimes = message.timeoutTimes;
        info.nextOrder = message.order;
        info.isFirstHeartReceived = true;
    } else if (newOwner) {
        // A restarted client: its own setting, not its predecessor's.
        info.timeoutTimes = message.timeoutTimes;
    }
    if (message.pid != info.pid) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Client %s pid has changed from %d to %d\n",
               name.c_str(), info.pid, message.pid);
        info.pid = message.pid;
    }
    ++info.heartCount;
    if (message.order != info.nextOrder) {
        INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_WARNING,
                   "Heart Msg is unordered, current order=%u, received order=%u.\n",
                   info.nextOrder, message.order);
    }
    const uint64_t now = VeKov::GetCurrentTime();
    if (message.sendTime > now || now - message.sendTime > kLateAfterMs) {
        INTAKE_LOG(fd, KOV_LOG_HEARTBEAT, LOG_WARNING, "Heart msg receive late, cost time=%lu ms.\n",
                   static_cast<unsigned long>(now - message.sendTime));
    }
    info.nextOrder = message.order + 1;
    info.watchDogFailed = message.watchDogFailed;
    info.lastHeartbeatMs = now;
    return true;
}

void RunCheckCycle() {
    CheckState& state = State();
    hb::MutexLock lock(&state.stateMutex);
    RunCheckCycleLocked(state);
}

void RunCheckCycleLocked(CheckState& state) {
    ++state.cycleCount;
    state.cycleReports.clear();
    for (auto& entry : state.stateMap) {
        EvaluateClient(state, entry.first, entry.second);
    }
    ReportCycle(state);
    state.cycleReports.clear();
}

void CheckHeartBeatThreadFunction() {
    (void)prctl(PR_SET_NAME, "CheckHeart");  // an unnamed thread works as well
    CheckState& state = State();
    while (state.isChecking.load()) {
        if (state.checkSemaphore.TimedWait(kCheckPeriod)) {
            // Posts come from DisableAllCheckHeartBeat, which has taken this
            // thread out of the registry by then. A post that finds this thread
            // still in place is not meant for it: it was left over by a disable
            // that found no thread waiting (or raced the registration that
            // started this one). It is used up and the thread goes on.
            hb::MutexLock lock(&state.stateMutex);
            if (!IsCurrentCheckThread(state)) {
                break;
            }
            continue;
        }
        hb::MutexLock lock(&state.stateMutex);
        if (!IsCurrentCheckThread(state)) {
            break;
        }
        RunCheckCycleLocked(state);
    }
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "Check HeartBeat thread end.\n");
}

}  // namespace checkheart

using checkheart::CheckState;
using checkheart::State;

void GetHeartBeatMessageFromClient(const int& fd, const HeartBeatMessage& message,
                                   HeartChannelType channel) {
    // The pipe handle check decides for every channel. Who sent a record is
    // known only on the pipe path (ServerPipeCallback).
    (void)channel;
    (void)checkheart::TakeRecord(fd, message, nullptr);
}

extern "C" int ReportHeartBeatLost(const char* clientName, size_t clientNameLen) {
    if (!hb::IsValidName(clientName, clientNameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "ClientName is invalid.\n");
        return -EINVAL;
    }
    CheckState& state = State();
    const std::string name = hb::NameOf(clientName, clientNameLen);
    hb::MutexLock lock(&state.stateMutex);
    auto found = state.stateMap.find(name);
    if (found == state.stateMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Client name %s is unregister!\n", name.c_str());
        return -EINVAL;
    }
    SendFaultCallback callback = state.SendFaultCb.load();
    if (callback == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "SendFaultCb is NULL!\n");
        return -EINVAL;
    }
    state.exitClientSet.insert(name);
    callback(name.c_str(), name.size(), found->second.pid, 1);
    ++found->second.losses;
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Client %s abnormal exit, report heartbeat lost!",
           name.c_str());
    return 0;
}

extern "C" int RegisterCheckHeartBeat(const char* appName, size_t appNameLen, unsigned int gid,
                                      SendFaultCallback callback) {
    if (VeKov::CmdlineConfigCenter::GetInstance(true)->IsFpga()) {
        return 0;
    }
    if (!hb::IsValidName(appName, appNameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Register appName is invalid\n");
        return -EINVAL;
    }
    const std::string name = hb::NameOf(appName, appNameLen);
    if (callback == nullptr) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Callback function for register client %s is invalid\n",
               name.c_str());
        return -EINVAL;
    }
    CheckState& state = State();
    std::call_once(state.checkInitOnce, [&state, callback] {
        const char* procName = EnvManager::ProcName();
        if (procName != nullptr && procName[0] != '\0') {
            state.checkProcName = procName;
        } else {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Get invalid proc name for heartbeat pipe!");
        }
        state.SendFaultCb.store(callback);
    });

    hb::MutexLock lock(&state.stateMutex);
    if (state.stateMap.find(name) != state.stateMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "client:%s has been registered\n", name.c_str());
        return 0;
    }
    ClientMgrInfo info;
    info.gid = gid;
    info.channelType = HEART_CHANNEL_PIPE;
    const int opened = checkheart::InitReceiveHeartBeat(name, info);
    if (opened < 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Register receive heart beat failed: connect receive channel, %s to %s.\n",
               name.c_str(), state.checkProcName.c_str());
        return opened;
    }
    SendFaultCallback faultCallback = state.SendFaultCb.load();
    if (faultCallback != nullptr && state.exitClientSet.count(name) != 0) {
        // A client once reported as exited is announced as back.
        faultCallback(name.c_str(), name.size(), 0, 0);
        info.recoveries = 1;
    }
    state.stateMap.emplace(name, std::move(info));

    if (!state.checkThread.joinable()) {
        // A post of an earlier disable that no thread consumed is left in the
        // semaphore; the new thread uses it up and goes on (see
        // CheckHeartBeatThreadFunction). It is not reset here: the semaphore's
        // mutex is never taken with stateMutex held.
        state.isChecking.store(true);
        try {
            state.checkThread = std::thread(checkheart::CheckHeartBeatThreadFunction);
        } catch (const std::exception& e) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
                   "Create CheckHeartBeatThreadFunction thread failed, exception %s.\n", e.what());
            return -EAGAIN;
        }
    }
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Register check %s heart beat.", name.c_str());
    return 0;
}

extern "C" int UnregisterCheckHeartBeat(const char* appName, size_t appNameLen) {
    if (!hb::IsValidName(appName, appNameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Unregister check appName is invalid.\n");
        return -EINVAL;
    }
    CheckState& state = State();
    const std::string name = hb::NameOf(appName, appNameLen);
    int fd = 0;
    {
        hb::MutexLock lock(&state.stateMutex);
        auto found = state.stateMap.find(name);
        if (found == state.stateMap.end()) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_WARNING, "Can't find %s in stateMap.\n", name.c_str());
            return -EINVAL;
        }
        fd = found->second.fd;
        state.stateMap.erase(found);
    }
    // Closing may wait for the pipe's callback to finish (busy retries), and
    // that callback takes stateMutex: so the lock is released first.
    const int ret = CloseSendHeartBeatPipe(fd, checkheart::kCloseReason);
    if (ret < 0 && ret != -ENOENT && ret != -EINVAL) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Unregister heart beat failed, appName is %s.\n",
               name.c_str());
    }
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Unregister check %s heart beat.", name.c_str());
    return ret;
}

extern "C" int DisableAllCheckHeartBeat(void) {
    CheckState& state = State();
    state.isChecking.store(false);
    std::thread stopping;
    {
        hb::MutexLock lock(&state.stateMutex);
        state.stateMap.clear();
        // Taken out under the lock: a registration running after this point
        // finds no thread and starts a new one, and the old thread, finding
        // itself replaced, ends at its next wake-up.
        stopping = std::move(state.checkThread);
    }
    state.checkSemaphore.Post();
    if (stopping.joinable()) {
        // No lock is held: the thread may need stateMutex to finish its cycle.
        try {
            stopping.join();
        } catch (const std::system_error&) {
            HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Join check heart thread failed.\n");
            stopping.detach();  // destroying it joinable would end the process
        }
    }
    HB_LOG(KOV_LOG_HEARTBEAT, LOG_NOTICE, "Unregister all client check heart beat.");
    return 0;
}
