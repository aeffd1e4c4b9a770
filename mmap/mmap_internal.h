// Internals of the shared-memory heartbeat channel: the page layout, the
// process-wide state of the sender and the listener, and the single cycle of
// each thread as a function of its own, so that tests drive cycles directly
// instead of sleeping through 3-second periods. Not exported.
#ifndef MMAP_MMAP_INTERNAL_H_
#define MMAP_MMAP_INTERNAL_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/mutex.h"
#include "common/thread_annotations.h"
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

// Every other process that can write the file can also cut it short, and a
// mapped page whose file is shorter than the page raises SIGBUS in whoever
// touches it. So the library never touches a page it mapped itself: it keeps
// the file's descriptor (close-on-exec) beside the mapping and reads and writes
// the page's bytes with pread/pwrite, which answer a short count where the
// mapping would kill. The mapping stays the channel's handle, as callers know it.
//
// ReadChannel/WriteChannel move `size` bytes at `offset` of the channel whose
// handle is `page`, through its descriptor when the library mapped it, or in
// place when the caller listed memory of its own. They return the number of
// bytes moved (less than `size` when the file is shorter, as after a
// truncation), or -1 with errno set.
ssize_t ReadChannel(const void* page, size_t offset, void* out, size_t size);
ssize_t WriteChannel(void* page, size_t offset, const void* in, size_t size);

// Drops and closes the descriptor kept for `page`, if there is one. Called
// before the page is unmapped, so that a new mapping at the same address never
// meets the old file.
void ForgetChannelFile(const void* page);

// Closes `fd`, which did not become a mapping, and deletes `path`; an absent
// file is not reported. `fd` is -1 afterwards.
void CloseMmapChannel(const std::string& path, int& fd);

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

// In the child of a fork(), which has no "SendHeartMmap": forgets the parent's
// channel (the child never writes it, deletes it or closes its descriptor) and
// leaves the sender idle, so that the child may start a sender of its own.
void ResetMmapSenderInChild();

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
    // Lock order: mmapListenMutex before the checking side's stateMutex (which
    // the intake takes); nothing takes them the other way round. The channel
    // files' own lock (MmapComm) is taken under it, and is a leaf.
    hb::Mutex mmapListenMutex;
    // name -> page address
    std::unordered_map<std::string, uint64_t> mmapChannelMap GUARDED_BY(mmapListenMutex);
    std::thread mmapListenThread;
};
MmapListenerState& MmapListener();

// In the child of a fork(), which has no "ReceiveHeartMmap": empties the table
// (the parent's pages are the parent's to read) and marks the listener as
// never started, so that the child's first start creates its own thread.
void ResetMmapListenerInChild();

void ReceiveHeartBeatMmapThread();

using MmapIntake = void (*)(const int& fd, const HeartBeatMessage& message,
                            HeartChannelType channel);

// One visit of every listed page under mmapListenMutex: a new record (head 1)
// is copied out, the head set to 2 and the copy handed to `intake` with
// handle -1 and HEART_CHANNEL_MMAP.
// A page that cannot be read whole (its file was cut short) is skipped and
// logged through the rate-limited log.
void VisitMmapChannels(MmapIntake intake = GetHeartBeatMessageFromClient);

}  // namespace VeHeartBeat

#endif  // MMAP_MMAP_INTERNAL_H_
