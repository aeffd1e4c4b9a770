// heartbeat-send: sends heartbeats under a name, until stopped or for as long
// as a command runs.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "heartbeat.h"
#include "tools/cli_args.h"
#include "tools/process_util.h"

namespace {

// Runs the command until it ends and returns its status as a shell would.
// SIGINT and SIGTERM that reach this tool are passed on to the command, whose
// own reaction decides when this tool ends.
int RunCommand(const std::vector<std::string>& command) {
    int error = 0;
    const pid_t child = hbtools::Spawn(command, nullptr, true, &error);
    if (child < 0) {
        std::fprintf(stderr, "heartbeat-send: cannot run %s: %s\n", command[0].c_str(),
                     std::strerror(error));
        return error == ENOENT ? 127 : 126;
    }
    int forwarded = 0;
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(child, &status, WNOHANG);
        if (pid == child) {
            return hbtools::ShellStatus(status);
        }
        if (pid < 0 && errno != EINTR) {
            std::fprintf(stderr, "heartbeat-send: cannot wait for %s: %s\n", command[0].c_str(),
                         std::strerror(errno));
            return hbtools::kExitFailure;
        }
        const int stop = hbtools::StopSignal();
        if (stop != 0 && stop != forwarded) {
            kill(child, stop);
            forwarded = stop;
        }
        hbtools::WaitForWake();
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    hbtools::SendOptions options;
    const hbtools::ParseResult parsed = hbtools::ParseSendArgs(argc, argv, &options);
    const int finished = hbtools::FinishParse(parsed, "heartbeat-send", hbtools::SendUsage());
    if (finished >= 0) {
        return finished;
    }

    if (!hbtools::InitWake()) {
        std::fprintf(stderr, "heartbeat-send: cannot set up signal handling: %s\n",
                     std::strerror(errno));
        return hbtools::kExitFailure;
    }
    const HeartBeatConfig config = {options.timeoutTimes};
    const int rc = RegisterSendHeartBeat(options.name.c_str(), options.name.size(),
                                         options.server.c_str(), options.server.size(), &config);
    if (rc != 0) {
        std::fprintf(stderr, "heartbeat-send: cannot send heartbeats as %s to %s (error %d)\n",
                     options.name.c_str(), options.server.c_str(), rc);
        return hbtools::kExitFailure;
    }

    int status = hbtools::kExitOk;
    if (options.command.empty()) {
        while (hbtools::StopSignal() == 0) {
            hbtools::WaitForWake();
        }
    } else {
        status = RunCommand(options.command);
    }
    // Waits for the send thread to finish its cycle (up to about 3 seconds).
    UnregisterSendHeartBeat();
    return status;
}
