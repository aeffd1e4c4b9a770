// libheartbeat: tells a supervising process whether its client processes are alive.
//
// Client side. A client process calls RegisterSendHeartBeat() once; a thread of
// the library ("SendHeart") then sends one 232-byte HeartBeatMessage every 3
// seconds to the server's heartbeat pipe, and opens a new pipe whenever a send
// fails. Threads of the client may register with the thread watchdog and must
// kick it within their period; a stalled thread marks the next heartbeat, and
// the server then treats the whole client as lost.
//
// Server side. The process manager calls RegisterCheckHeartBeat() for every
// client it watches, with one fault callback for the whole process. A check
// thread ("CheckHeart") evaluates every client every 3 seconds and calls the
// callback with isLost = 1 when a client has been silent for its timeoutTimes
// cycles (or its watchdog failed), and with isLost = 0 when it is back.
//
// Results: 0 for success, a negated errno value for failure (-22 invalid
// argument or unregistered client, -11 a thread could not be started); results
// of the IPC pipe library are passed up unchanged. Every failure is logged to
// syslog where it is found.
//
// Names: every operation that takes a name takes a pointer and a length, and
// accepts the name only when the pointer is non-null and strnlen(name, 100)
// equals the length. The name is then used as exactly its first `length` bytes
// and never read further: a name of 100 characters needs no terminating NUL,
// and a longer one passes with length 100 and is used as its first 100.
//
// All operations are safe to call from any thread.
#ifndef HEARTBEAT_H_
#define HEARTBEAT_H_

#include <stddef.h>
#include <stdint.h>

#include "heartbeat_export.h"
#include "heartbeat_message.h"

#ifndef __cplusplus
// C names the struct through this typedef, as C++ does by its tag.
typedef struct HeartBeatConfig HeartBeatConfig;
#endif

// Configuration of the pipe sender, owned by the caller. Only timeoutTimes is
// read: the number of silent 3-second check cycles after which the server
// declares this client lost. 0 stands for the default, 10.
struct HeartBeatConfig {
    uint32_t timeoutTimes;
};

// The server's fault callback: the client's name (NUL-terminated) and its
// length, the client's pid as last seen (0 when the report comes from a
// registration), and isLost: 1 = lost, 0 = recovered.
//
// It is always called with the checking side's registry lock held, on the
// check thread (or on the caller's thread for ReportHeartBeatLost and
// RegisterCheckHeartBeat). It must not call RegisterCheckHeartBeat,
// UnregisterCheckHeartBeat, DisableAllCheckHeartBeat, ReportHeartBeatLost or
// GetHeartBeatMessageFromClient, and should return quickly: heartbeats of all
// clients wait while it runs.
typedef void (*SendFaultCallback)(const char* clientName, size_t clientNameLen, int32_t pid,
                                  uint32_t isLost);

#ifdef __cplusplus
extern "C" {
#endif

// ---- Client: pipe heartbeat sender ---------------------------------------
//
// fork() without exec: the child starts with the client side of a new process.
// It sends nothing of its own until it calls RegisterSendHeartBeat(), which
// then opens the child's own pipe and starts the child's own "SendHeart"; its
// UnregisterSendHeartBeat() closes only what the child opened, never the
// parent's pipe. Its thread watchdog starts empty (the threads the parent
// registered are not in the child), and the shared-memory sender and listener
// start idle, without the parent's channels. The parent goes on unaffected.

// Opens a pipe from appName to serverName's heartbeat pipe (serverName +
// "_heartbeat") and starts the thread "SendHeart". Runs once per process:
// later calls that pass the argument checks return 0 and change nothing, also
// after UnregisterSendHeartBeat(). Returns 0 on success; -22 for an invalid
// name or a null config; the (non-positive) open result when the first open
// fails, in which case no thread is started and the process sends nothing;
// -11 when the thread cannot be started. Blocks for up to 3 seconds while the
// server's pipe is absent.
HEARTBEAT_API int RegisterSendHeartBeat(const char* appName, size_t appNameLen,
                                        const char* serverName, size_t serverNameLen,
                                        const HeartBeatConfig* config);

// Stops "SendHeart" (it finishes its current cycle, so this blocks up to about
// 3 seconds plus one send) and closes the pipe. Runs once per process: returns
// the close result on the first call (0, or a negative close result), 0 later.
HEARTBEAT_API int UnregisterSendHeartBeat(void);

// ---- Client: thread watchdog ---------------------------------------------

// Registers a thread under a name with a feeding period counted in heartbeat
// cycles (3 seconds each). 0 when registered or already registered (the stored
// period is kept); -22 for an invalid name or a period of 0.
HEARTBEAT_API int RegisterThreadForDog(const char* threadName, size_t nameLen,
                                       unsigned int period);

// Removes a thread from the watchdog. 0 whether or not it was registered; -22
// for an invalid name.
HEARTBEAT_API int UnregisterThreadForDog(const char* threadName, size_t nameLen);

// Refills the thread's counter to its period. 0 on success; -1 when the name is
// not registered; -22 for an invalid name.
HEARTBEAT_API int KickingTheDog(const char* threadName, size_t nameLen);

// ---- Server: checking ----------------------------------------------------
//
// The checking operations below use an accepted name as exactly its first
// `length` bytes and never read past them: a 100-byte name without a NUL at
// the very end of readable memory is fine.
//
// Who may speak for a client. When the IPC library tells the receiving side
// who sent a message (ours does, see lumo_peer.h; a platform library may not,
// and then every sender is believed as before), a record counts only if its
// pid is the sending process's own, or that of the sender's direct child (a
// wrapper such as heartbeat-send that runs the workload as its child), and,
// while the process that has been sending for the client still runs, only if
// it comes from that process. A restarted client (the earlier process gone)
// takes over at once, and its first record sets its timeoutTimes anew. So the
// pid handed to the fault callback is one the kernel vouches for.
//
// Lines about bad input (wrong size, no data, no name, another pipe, a sender
// that may not speak for the client; and records out of order or late, which
// still count) are limited per call site and pipe: the first 10 as they come,
// then about one a second; a line written after some were left out is
// followed by one saying how many.
//
// fork(): a child of a process that uses these operations starts with an
// empty checking side of its own. It watches nothing, its first registration
// fixes its own name and callback and starts its own check thread, and it
// never closes or uses the parent's pipes (UnregisterCheckHeartBeat of a
// client that the parent watches answers -22 in the child).

// Watches the client appName: opens the receiving end of its pipe (blocking for
// as long as the IPC library's open takes) and, with the first registration,
// starts the thread "CheckHeart". The first valid registration fixes this
// process's name for its pipes and the fault callback for the life of the
// process; callbacks passed later are ignored. gid is the client's group id,
// used for the pipe's group. Returns 0 (also when the client was already
// registered); -22 for an invalid name or a null callback; -1 when the pipe
// cannot be opened; -11 when the check thread cannot be started (the client
// stays registered). A client once reported through ReportHeartBeatLost is
// announced as recovered (pid 0) when it registers again.
HEARTBEAT_API int RegisterCheckHeartBeat(const char* appName, size_t appNameLen, unsigned int gid,
                                         SendFaultCallback callback);

// Stops watching appName and closes its pipe. Returns 0, -22 for an invalid or
// unregistered name, or a negative close result (-2 and -22 mean the pipe was
// already gone).
HEARTBEAT_API int UnregisterCheckHeartBeat(const char* appName, size_t appNameLen);

// Forgets every client and stops "CheckHeart" (at once if it is waiting for its
// next cycle). Call before the process exits or unloads the library. The next
// registration starts a new check thread. Always returns 0.
HEARTBEAT_API int DisableAllCheckHeartBeat(void);

// Reports the registered client clientName as lost at once, through the fault
// callback with its last pid (for a host that has seen the process die). The
// client stays registered. 0 when reported; -22 for an invalid or unregistered
// name or when no callback was set.
HEARTBEAT_API int ReportHeartBeatLost(const char* clientName, size_t clientNameLen);

#ifdef __cplusplus
}  // extern "C"

// C++ only: these take references or return bool, with C++ linkage.

// Closes a pipe handle of the IPC library, retrying every 2 ms while it reports
// busy (-16), at most 1000 times. `who` names the caller in the log lines.
// Returns the last close result; 0, -2 and -22 all mean the pipe is closed.
HEARTBEAT_API int CloseSendHeartBeatPipe(const int& pipeHandle, const char* who);

// One tick of the thread watchdog: takes one from the counter of every
// registered thread it passes and returns false at the first thread whose
// period has run out. True when no thread is registered. Each heartbeat cycle
// of a sender calls it once.
HEARTBEAT_API bool CheckWatchDog();

// The intake of the checking side: folds one received record into the state of
// its client. `fd` is the pipe handle the record came with (-1 from the
// shared-memory listener), `channel` where it came from. Records of unknown
// clients, or from another handle than the client's pipe, are dropped. It
// cannot know who sent a record, so the sender checks above do not apply.
HEARTBEAT_API void GetHeartBeatMessageFromClient(const int& fd, const HeartBeatMessage& message,
                                                 HeartChannelType channel);

#endif  // __cplusplus

#endif  // HEARTBEAT_H_
