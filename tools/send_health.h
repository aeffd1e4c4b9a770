// Whether heartbeat-send's command earns this cycle's heartbeat.
#ifndef TOOLS_SEND_HEALTH_H_
#define TOOLS_SEND_HEALTH_H_

#include <cstdint>
#include <string>

namespace hbsend {

enum class Verdict {
    kHealthy,
    kGone,          // no such process (it ended and is not reaped yet)
    kStopped,       // stopped or traced: it cannot be making progress
    kNotReady,      // --notify: no READY=1 yet
    kStopping,      // --notify: STOPPING=1 came; stopping is not a failure
    kPingLate,      // --notify: no WATCHDOG=1 within the ping time-out
    kCheckFailed,   // --check exited with a status other than 0
    kCheckTimedOut  // --check did not finish within its time limit
};

// What is known about the command at the start of a cycle.
struct HealthInputs {
    bool exists = false;
    char state = '?';  // from /proc/<pid>/stat
    bool notify = false;
    bool ready = false;
    bool stopping = false;
    uint64_t lastPingMs = 0;  // READY=1 counts as the first ping
    uint64_t pingTimeoutMs = 0;
    uint64_t nowMs = 0;
};

// The process state and the notifications; --check is judged by the caller
// once this says kHealthy.
Verdict Evaluate(const HealthInputs& inputs);

// Whether a change to `verdict` deserves a line on stderr: waiting for
// READY=1, an announced stop and an end about to be reaped are not faults.
bool IsFault(Verdict verdict);

// Why no heartbeat went out, for the stderr line.
std::string Describe(Verdict verdict, const HealthInputs& inputs, int checkStatus);

}  // namespace hbsend

#endif  // TOOLS_SEND_HEALTH_H_
