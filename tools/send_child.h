// Starting heartbeat-send's children: the command it watches and the --check
// command.
//
// Each child runs in a process group of its own, so that a signal for it
// (forwarded, or a time-out's SIGKILL) reaches everything it started and
// nothing else, and asks the kernel for a signal when this tool dies
// (PR_SET_PDEATHSIG), so that not even SIGKILL of the tool leaves it behind.
// The tool may have threads (the pipe library's) when it forks, so the child
// does nothing but async-signal-safe system calls before exec: everything
// that allocates is prepared before fork.
#ifndef TOOLS_SEND_CHILD_H_
#define TOOLS_SEND_CHILD_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace hbsend {

struct ChildLaunch {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH unless it holds a '/'
    std::vector<std::string> env;   // the whole environment
    // When set, the child's entry "WATCHDOG_PID=" gets its own pid: the
    // protocol names the process that must ping, known only after fork.
    bool setWatchdogPid = false;
    int deathSignal = 0;  // sent to the child when this tool dies
};

// Starts the child. Returns its pid (also its process group), or -1 with the
// errno of the failed fork or exec in *error; a command that cannot be
// executed is reaped before this returns.
pid_t StartChild(const ChildLaunch& launch, int* error);

// This process's environment without the entries named in `drop`, followed
// by `add` ("NAME=VALUE" each).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& drop,
                                          const std::vector<std::string>& add);

}  // namespace hbsend

#endif  // TOOLS_SEND_CHILD_H_
