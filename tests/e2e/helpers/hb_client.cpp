// A client process for the end-to-end tests: registers to send heartbeats to
// a server and prints
//   registered <rc> <pid>     after RegisterSendHeartBeat
//   quit <rc> signals=<n>     after UnregisterSendHeartBeat, before exiting 0
// Options: --name N --server S [--timeout-times T] [--dog PERIOD] [--storm].
// With --dog a worker thread registers with the watchdog under "worker" and
// kicks it every 200 ms; the commands "stall" and "kick" on stdin stop and
// resume the kicking. "quit" or the end of input ends the process.
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "heartbeat.h"
#include "helper_util.h"

namespace {

std::atomic<bool> kicking{true};
std::atomic<bool> running{true};

void Worker(unsigned int period) {
    static const char kName[] = "worker";
    RegisterThreadForDog(kName, strlen(kName), period);
    while (running.load()) {
        if (kicking.load()) {
            KickingTheDog(kName, strlen(kName));
        }
        timespec pause{0, 200 * 1000 * 1000};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    UnregisterThreadForDog(kName, strlen(kName));
}

}  // namespace

int main(int argc, char** argv) {
    std::string name;
    std::string server;
    HeartBeatConfig config{};
    unsigned int dogPeriod = 0;
    bool storm = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--name" && hasValue) {
            name = argv[++i];
        } else if (arg == "--server" && hasValue) {
            server = argv[++i];
        } else if (arg == "--timeout-times" && hasValue) {
            config.timeoutTimes = static_cast<uint32_t>(atoi(argv[++i]));
        } else if (arg == "--dog" && hasValue) {
            dogPeriod = static_cast<unsigned int>(atoi(argv[++i]));
        } else if (arg == "--storm") {
            storm = true;
        }
    }
    std::thread worker;
    if (dogPeriod > 0) {
        worker = std::thread(Worker, dogPeriod);
    }
    const int rc = RegisterSendHeartBeat(name.c_str(), name.size(), server.c_str(), server.size(), &config);
    helper::Emit("registered", " %d %d", rc, static_cast<int>(getpid()));
    if (storm) {
        // Once the send thread has named itself, so that it is among the targets.
        for (int tries = 0; tries < 200 && helper::ThreadsNamed("SendHeart").empty(); ++tries) {
            usleep(5000);
        }
        helper::StartSignalStorm();
    }

    std::string command;
    while (helper::ReadCommand(&command) && command != "quit") {
        if (command == "stall") {
            kicking = false;
        } else if (command == "kick") {
            kicking = true;
        }
    }
    helper::StopSignalStorm();
    running = false;
    if (worker.joinable()) {
        worker.join();
    }
    const int closed = UnregisterSendHeartBeat();
    helper::Emit("quit", " %d signals=%llu", closed,
                 static_cast<unsigned long long>(helper::SignalsHandled()));
    return 0;
}
