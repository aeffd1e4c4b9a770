// The one helper program of the end-to-end tests, with its pipe directory
// (LUMO_PIPE_DIR) and process name (PROC_NAME) first, in two modes:
//   hb_helper DIR PROC_NAME server [--storm] [--delay MS] CLIENT...
//     registers the CLIENTs; commands on stdin: register NAME,
//     unregister-all, quit.
//   hb_helper DIR PROC_NAME client NAME SERVER [--storm] [--dog PERIOD]
//     sends heartbeats (timeoutTimes 2); with --dog a worker thread watched
//     under "worker" kicks every 200 ms until "stall", again after "kick";
//     "mute" stops the heartbeats while the process runs on.
// Each event is one line "<monotonic ms> <kind> <fields...>" written with one
// write(), so that lines of different threads never interleave:
//   ready rc=<rc> | beat <client> <pid> <order> <sendTime> <watchDogFailed>
//   report <client> <pid> <isLost> | done <command> rc=<rc>
//   signals <n> | quit <rc> <signals>
// --storm sends SIGUSR1 to every thread once a millisecond, handled without
// SA_RESTART, so that every blocking call is interrupted again and again.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "heartbeat.h"
#include "heartbeat_message.h"
#include "lumo.h"

namespace {

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

__attribute__((format(printf, 1, 2))) void Emit(const char* format, ...) {
    char line[512];
    int used = snprintf(line, sizeof(line), "%lld ", static_cast<long long>(NowMs()));
    va_list args;
    va_start(args, format);
    used += vsnprintf(line + used, sizeof(line) - static_cast<size_t>(used) - 1, format, args);
    va_end(args);
    line[used++] = '\n';
    while (write(STDOUT_FILENO, line, static_cast<size_t>(used)) < 0 && errno == EINTR) {
    }
}

// The next line of stdin; false at its end. Interrupted reads are resumed.
bool ReadLine(std::string* line) {
    line->clear();
    for (char c;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c == '\n') {
            return true;
        }
        if (n == 1) {
            *line += c;
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

std::atomic<unsigned long> signalsHandled{0};

// Runs until the process ends, through its unregistering and exit.
void StartStorm() {
    struct sigaction action {};
    action.sa_handler = [](int) { signalsHandled.fetch_add(1, std::memory_order_relaxed); };
    sigaction(SIGUSR1, &action, nullptr);
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGUSR1;
        event._sigev_un._tid = std::stoi(task.path().filename());
        timer_t timer;
        const itimerspec every{{0, 1000000}, {0, 1000000}};
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
            timer_settime(timer, 0, &every, nullptr);
        }
    }
}

std::chrono::milliseconds faultDelay{0};

void OnFault(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    // Stamped on entry, so that the delay of one report does not hide when the
    // check thread made it.
    Emit("report %.*s %d %u", static_cast<int>(length), name, pid, isLost);
    std::this_thread::sleep_for(faultDelay);  // resumed after each signal
}

int Server(int argc, char** argv) {
    bool storm = false;
    std::set<std::string> names;
    for (int i = 0; i < argc; ++i) {
        storm = storm || strcmp(argv[i], "--storm") == 0;
        if (strcmp(argv[i], "--delay") == 0) {
            faultDelay = std::chrono::milliseconds(atol(argv[++i]));
        } else if (argv[i][0] != '-') {
            names.insert(argv[i]);
        }
    }
    int rc = 0;
    for (const std::string& name : names) {
        rc |= RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault);
    }
    if (storm) {
        StartStorm();
    }
    Emit("ready rc=%d", rc);
    for (std::string line; ReadLine(&line) && line != "quit";) {
        const std::string name = line.substr(line.find(' ') + 1);
        rc = 0;
        if (line.rfind("register ", 0) == 0 &&
            (rc = RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault)) == 0) {
            names.insert(name);
        } else if (line == "unregister-all") {
            for (const std::string& client : names) {
                rc |= UnregisterCheckHeartBeat(client.c_str(), client.size());
            }
            names.clear();
        }
        Emit("done %s rc=%d", line.c_str(), rc);
    }
    DisableAllCheckHeartBeat();
    Emit("signals %lu", signalsHandled.load());
    return 0;
}

int Client(const std::string& name, const std::string& server, int argc, char** argv) {
    static std::atomic<bool> kicking{true};
    static std::atomic<bool> running{true};
    bool storm = false;
    std::thread worker;
    for (int i = 0; i < argc; ++i) {
        storm = storm || strcmp(argv[i], "--storm") == 0;
        if (strcmp(argv[i], "--dog") == 0) {
            worker = std::thread([period = static_cast<unsigned>(atoi(argv[++i]))] {
                RegisterThreadForDog("worker", 6, period);
                for (; running; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
                    if (kicking) {
                        KickingTheDog("worker", 6);
                    }
                }
                UnregisterThreadForDog("worker", 6);
            });
        }
    }
    const HeartBeatConfig config{2};
    RegisterSendHeartBeat(name.c_str(), name.size(), server.c_str(), server.size(), &config);
    if (storm) {
        StartStorm();  // the send thread runs by now, so it is among the targets
    }
    for (std::string line; ReadLine(&line) && line != "quit";) {
        kicking = line == "kick" || (kicking && line != "stall");
        if (line == "mute") {
            UnregisterSendHeartBeat();
        }
    }
    running = false;
    if (worker.joinable()) {
        worker.join();
    }
    Emit("quit %d %lu", UnregisterSendHeartBeat(), signalsHandled.load());
    return 0;
}

}  // namespace

// Arrivals are seen by wrapping the receive callback that the library hands
// to LumoOpen: this definition takes the call and passes it on to the IPC
// library's. Only 232-byte records named as the pipe's client are traced.
extern "C" __attribute__((visibility("default"))) int LumoOpen(LumoOpenParam* param) {
    static const auto next =
        reinterpret_cast<int (*)(LumoOpenParam*)>(dlsym(RTLD_NEXT, "LumoOpen"));
    LumoOpenParam traced = *param;
    traced.callback = [peer = std::string(param->peerName), inner = param->callback](
                          int handle, LumoRequest* request) {
        HeartBeatMessage record;
        if (request != nullptr && request->data != nullptr && request->size == sizeof(record)) {
            memcpy(&record, request->data, sizeof(record));
            if (strncmp(record.clientName, peer.c_str(), sizeof(record.clientName)) == 0) {
                Emit("beat %s %d %u %llu %u", peer.c_str(), record.pid, record.order,
                     static_cast<unsigned long long>(record.sendTime), record.watchDogFailed);
            }
        }
        if (inner) {
            inner(handle, request);
        }
    };
    return next(&traced);
}

int main(int argc, char** argv) {
    const std::string mode = argc >= 4 ? argv[3] : "";
    if (mode == "server" || (mode == "client" && argc >= 6)) {
        setenv("LUMO_PIPE_DIR", argv[1], 1);
        setenv("PROC_NAME", argv[2], 1);
        return mode == "server" ? Server(argc - 4, argv + 4)
                                : Client(argv[4], argv[5], argc - 6, argv + 6);
    }
    Emit("error usage");
    return 2;
}
