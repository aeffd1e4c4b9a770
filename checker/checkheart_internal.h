// The checking side's state and its internal operations, for checkheart.cpp,
// its tests and its benchmarks. Nothing here is exported.
//
// A test drives the checking side without the check thread and without
// sleeping: it puts records into State().stateMap (or registers), feeds
// heartbeats through GetHeartBeatMessageFromClient or ServerPipeCallback, and
// calls RunCheckCycle() where the thread would run one 3-second cycle.
#ifndef CHECKER_CHECKHEART_INTERNAL_H_
#define CHECKER_CHECKHEART_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/Semaphore.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "heartbeat.h"
#include "heartbeat_message.h"
#include "lumo.h"
#include "lumo_peer.h"

// One registered client, as the checking side knows it.
//
// What the intake and the cycle touch for every heartbeat and every client
// comes first, so that a record costs as few cache lines as possible; the
// fields that only registration or the status snapshot read come last.
struct ClientMgrInfo {
    int32_t fd = 0;                     // receive pipe handle from LumoOpen; 0: none
    uint32_t gid = 0;                   // client's group, from registration
    int32_t pid = 0;                    // from its heartbeats; passed to the fault callback
    uint32_t heartCount = 0;            // accepted heartbeats (wraps)
    uint32_t nextOrder = 0;             // sequence number expected next
    uint32_t timeoutTimes = 0;          // silent cycles until lost, from the first heartbeat
    bool isFirstHeartReceived = false;  // the first heartbeat was accepted
    // The check thread's own state of this client, kept beside what it reads
    // so that a cycle is one walk over the records: no lookup, no allocation.
    bool lost = false;          // reported lost by a cycle and not reported back since
    uint32_t seenCount = 0;     // heartCount as the previous cycle saw it
    uint32_t silentCycles = 0;  // cycles in a row without a new heartbeat (waiting: cycles waited)
    uint32_t watchDogFailed = 0;  // flag of the latest accepted heartbeat
    // The process whose records this state was built from, as the IPC
    // library's peer credentials name it (a wrapper that sends for its child
    // owns the client, while pid is the child's). 0: none known.
    int32_t ownerPid = 0;
    uint64_t lastHeartbeatMs = 0;  // monotonic ms of the latest accepted heartbeat
    uint32_t channelType = HEART_CHANNEL_PIPE;  // the registry opens pipes only
    void* mmapHandle = nullptr;                 // no shared-memory channel here
    std::string mmapName;                       // stays empty
    uint64_t ownerStart = 0;  // ownerPid's start time in /proc/<pid>/stat, against pid reuse
    // For the status snapshot only; no decision reads them.
    uint32_t losses = 0;      // lost reports made (check cycles and ReportHeartBeatLost)
    uint32_t recoveries = 0;  // recovered reports made (check cycles and re-registration)
};

namespace checkheart {

constexpr uint32_t kHeartBeatMessageSize = sizeof(HeartBeatMessage);  // 232
constexpr uint32_t kReceiveOpenTimeoutMs = 30000;
constexpr uint32_t kReopenEveryCycles = 10;  // waiting clients: reopen at cycle 10, 20, ...
constexpr uint64_t kLateAfterMs = 2000;
constexpr std::chrono::milliseconds kCheckPeriod{3000};
constexpr const char* kPipeSuffix = "_heartbeat";
constexpr const char* kCloseReason = "Manage channel remove";

// A report that the current cycle makes in its report pass. The cycle appends
// them while it walks stateMap, so their order is stateMap's iteration order.
// The pointers stay valid while stateMutex is held (nothing inserts or erases
// records during a cycle).
struct CycleReport {
    const std::string* name;
    ClientMgrInfo* info;
    uint32_t isLost;  // 1 lost, 0 recovered
};

// All state of the checking side.
//
// Lock: stateMutex, a plain non-recursive mutex, guards the members marked
// with it and every field of every record in stateMap. checkInitOnce,
// SendFaultCb, isChecking and checkSemaphore synchronise themselves;
// checkProcName is written once under checkInitOnce, before any reader can
// reach it. stateMutex is taken by the registration operations, by the intake
// (on the IPC library's receive thread, and on the shared-memory listener,
// which already holds mmapListenMutex: order mmapListenMutex, then stateMutex;
// nothing here takes mmapListenMutex, whose owner is not a type this header
// can name in an ACQUIRED_AFTER) and by every check cycle. The token bucket of
// the intake's lines and the log mutex are taken under it.
// It stays held across LumoOpen when a receive pipe is (re)opened, up to the
// open's 30 s time-out: a record and its pipe handle must change together, or
// a heartbeat on the new pipe would be dropped as coming from another handle.
// The fault callback is called with it held so that a report and the state
// change it describes are one step for every other thread (no registration,
// unregistration or heartbeat slips between them); in exchange the callback
// must not call back into these operations.
// The semaphore's own mutex is never held together with stateMutex.
//
// The counters and the lost verdict of the check cycle live in the records
// (seenCount, silentCycles, lost): a client has them exactly while it is
// registered, which is what keeping them in maps keyed by name achieved.
struct CheckState {
    std::string checkProcName;                            // this server's name, fixed once
    std::atomic<SendFaultCallback> SendFaultCb{nullptr};  // set once, never cleared
    std::once_flag checkInitOnce;
    hb::Mutex stateMutex;
    std::unordered_map<std::string, ClientMgrInfo> stateMap GUARDED_BY(stateMutex);
    // Ever reported by ReportHeartBeatLost; only grows.
    std::set<std::string> exitClientSet GUARDED_BY(stateMutex);
    std::thread checkThread GUARDED_BY(stateMutex);  // the thread that owns the checking, if any
    std::atomic<bool> isChecking{true};
    Semaphore checkSemaphore;
    // The lostNow/recoverNow of one cycle, kept here so that their storage is
    // reused from cycle to cycle instead of being allocated every 3 seconds.
    std::vector<CycleReport> cycleReports GUARDED_BY(stateMutex);
    uint64_t cycleCount GUARDED_BY(stateMutex) = 0;  // check cycles run, for the status snapshot
    // In a forked child: the registry inherited from the parent, which the
    // child abandons but must not free (its lock may be held for good). Kept
    // here so that it stays reachable.
    CheckState* inherited = nullptr;
};

// The process-wide state. Created on first use and never destroyed: a check
// thread may still run (and a heartbeat may still arrive) while the process
// exits, and neither must find the state or its thread object destroyed (a
// joinable std::thread being destroyed would end the process).
CheckState& State();

// Opens the receiving end of `clientName`'s heartbeat pipe and stores the
// result in info.fd. 0 on success, -1 when no usable handle came back. The
// caller holds stateMutex.
int InitReceiveHeartBeat(const std::string& clientName, ClientMgrInfo& info);

// The receive callback handed to LumoOpen for every client pipe.
void ServerPipeCallback(int fd, LumoRequest* request);

// The intake of one record that arrived on pipe handle `fd` (-1 from the
// shared-memory listener). `peer`: the sending connection's credentials, or
// null when the IPC library cannot tell; then any sender is believed. With
// them, a record is taken only when its pid is the sender's (or the sender's
// direct child's) and, while the process that owns the client still runs,
// only from that process; the first record of a new owner re-takes
// timeoutTimes. True when the record counted. Takes stateMutex.
bool TakeRecord(int fd, const HeartBeatMessage& message, const LumoPeerCred* peer);

// One check cycle: evaluates every client, then reports. Takes stateMutex.
void RunCheckCycle();
// The same with stateMutex already held by the caller.
void RunCheckCycleLocked(CheckState& state) REQUIRES(state.stateMutex);

// The body of the thread "CheckHeart".
void CheckHeartBeatThreadFunction();

}  // namespace checkheart

#endif  // CHECKER_CHECKHEART_INTERNAL_H_
