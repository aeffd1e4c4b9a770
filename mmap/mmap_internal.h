// Internals of the shared-memory heartbeat channel: the page layout, the
// process-wide state of the sender and the listener, and the single cycle of
// each thread as a function of its own, so that tests drive cycles directly
// instead of sleeping through 3-second periods. Not exported.
#ifndef MMAP_MMAP_INTERNAL_H_
#define MMAP_MMAP_INTERNAL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "heartbeat.h"
#include "heartbeat_message.h"

namespace VeHeartBeat {

// ---- Page layout ---------------------------------------------------------
// Two processes share this page and agree only on these numbers.
constexpr size_t kChannelSize = 4096;
constexpr size_t kHeadOffset = 0;    // uint32 heartMessageType
constexpr size_t kRecordOffset = 4;  // one HeartBeatMessage, byte for byte
constexpr uint32_t kHeadEmpty = 0;   // nothing written yet (zero fill)
constexpr uint32_t kHeadNew = 1;     // a record waits, written by the sender
constexpr uint32_t kHeadTaken = 2;   // taken, written by the listener

static_assert(kRecordOffset == kHeadOffset + sizeof(uint32_t), "the record follows the head word");
static_assert(sizeof(HeartBeatMessage) == 232, "the page carries the 232-byte record");
static_assert(kRecordOffset + sizeof(HeartBeatMessage) == 236, "spare bytes start at 236");
static_assert(kRecordOffset + sizeof(HeartBeatMessage) <= kChannelSize, "the record fits the page");

// Period of both threads, and the gap between two written send cycles above
// which the sender reports itself late.
constexpr long kCycleSeconds = 3;
constexpr uint64_t kThreadLateMs = 10000;

// ---- Channel file --------------------------------------------------------

// Closes `fd`, which did not become a mapping, and deletes `path`; an absent
// file is not reported. `fd` is -1 afterwards.
void CloseMmapChannel(const std::string& path, int& fd);

// One 3-second nanosleep that goes on with the remaining time after EINTR;
// any other failure ends it early.
void SleepOneCycle();

// Exit of the process while a thread of this area still runs: the threads'
// own state is never destroyed, but what a cycle calls into (watchdog,
// checking side, log) may already be. WatchProcessExit(), called before a
// thread is created, arranges that ProcessExiting() turns true when exit()
// starts destroying the statics constructed before that call; a thread
// that wakes from its sleep then ends without running another cycle.
void WatchProcessExit();
bool ProcessExiting();

// ---- Sender --------------------------------------------------------------

// One sender per process. Allocated on first use and never destroyed: a send
// thread still running at exit keeps valid state to the end of the process,
// and the never-destroyed std::thread cannot call std::terminate.
struct MmapSenderState {
    std::atomic<bool> isMmapSending{false};  // the send loop runs while true
    // Written by InitSendHeartBeatWithMmap before the thread starts, read by
    // the thread afterwards; mmapChannelAddr is also written by the thread
    // when it reopens the channel. No lock: start, stop and the thread are
    // ordered by thread creation and join.
    std::string mmapClientName;
    std::string mmapServerName;
    std::string mmapChannelPath;
    void* mmapChannelAddr = nullptr;
    uint32_t mmapTimeoutTimes = 0;
    std::thread mmapSendThread;
};
MmapSenderState& MmapSender();

bool StartSendHeartBeatMmapThread();
void SendHeartBeatMmapThread();

// Where a send cycle gets its watchdog verdict and its time; tests replace
// them to drive lateness and watchdog failures.
struct MmapSendHooks {
    bool (*checkWatchDog)() = CheckWatchDog;
    uint64_t (*currentTime)() = VeKov::GetCurrentTime;
};

// One send cycle after the sleep: fills `message` and writes it into the
// channel, record first and head second. `message.order` and `previousTime`
// advance only when the cycle reached the write; a cycle whose name does not
// fit or whose channel cannot be reopened changes neither.
void SendHeartBeatMmapCycle(HeartBeatMessage& message, uint64_t& previousTime,
                            const MmapSendHooks& hooks = MmapSendHooks());

// ---- Listener ------------------------------------------------------------

// One listener per process, allocated on first use and never destroyed, for
// the same reason as the sender's state: the listen thread is never stopped.
struct MmapListenerState {
    std::atomic<bool> isMmapListening{false};  // set by the first start
    // Guards mmapChannelMap and every access of the listen thread to a listed
    // page. The thread holds it for a whole visit, the hand-over to
    // GetHeartBeatMessageFromClient included, so that once
    // StopListenHeartBeatMmapChannel returns the page is no longer touched.
    // Lock order: mmapListenMutex before the checking side's stateMutex;
    // nothing takes them the other way round.
    std::mutex mmapListenMutex;
    std::unordered_map<std::string, uint64_t> mmapChannelMap;  // name -> page address
    std::thread mmapListenThread;
};
MmapListenerState& MmapListener();

void ReceiveHeartBeatMmapThread();

using MmapIntake = void (*)(const int& fd, const HeartBeatMessage& message,
                            HeartChannelType channel);

// One visit of every listed page under mmapListenMutex: a new record (head 1)
// is copied out, the head set to 2 and the copy handed to `intake` with
// handle -1 and HEART_CHANNEL_MMAP.
void VisitMmapChannels(MmapIntake intake = GetHeartBeatMessageFromClient);

}  // namespace VeHeartBeat

#endif  // MMAP_MMAP_INTERNAL_H_
