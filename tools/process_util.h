// The main loop's plumbing shared by the tools: signals, a wake-up pipe and
// child processes.
//
// Signals are caught by handlers rather than blocked and waited for: the
// library and the IPC library start threads of their own (possibly before
// main), and a blocked mask would have to be in place in every one of them.
// A handler may run on any thread; it only sets a flag and writes one byte to
// the wake-up pipe, which the main thread polls.
#ifndef TOOLS_PROCESS_UTIL_H_
#define TOOLS_PROCESS_UTIL_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace hbtools {

// Creates the wake-up pipe and installs the handlers of SIGINT, SIGTERM and
// SIGCHLD. false (with errno set) when either fails.
bool InitWake();

// Wakes the main thread. Async-signal-safe and callable from any thread; never
// blocks (a full pipe already means a wake-up is pending).
void Wake() noexcept;

// Blocks until Wake() was called or a handled signal arrived since the last
// return, then empties the pipe.
void WaitForWake();

// The signal (SIGINT or SIGTERM) that asked the tool to stop, 0 while none did.
int StopSignal();

// As WaitForWake(), but returns after at most timeoutMs (negative: no limit).
void WaitForWake(int timeoutMs);

// Installs the handler of SIGHUP (after InitWake); false with errno set on
// failure. TakeHangup() tells whether one came since its last call.
bool CatchHangup();
bool TakeHangup();

// Starts argv[0] with the arguments argv and, when env is non-null, that
// environment (else the tool's own). With searchPath the program is looked up
// in PATH like a shell does. The child starts with the default disposition of
// the signals handled here; with ownGroup it leads a new process group (whose
// id is its pid), so that it can be killed with all it started. Returns the
// child's pid, or -1 with the cause in *error.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>* env, bool searchPath,
            int* error, bool ownGroup = false);

// The shell's view of a wait status: the exit code, or 128 + the signal that
// ended the process.
int ShellStatus(int waitStatus);

}  // namespace hbtools

#endif  // TOOLS_PROCESS_UTIL_H_
