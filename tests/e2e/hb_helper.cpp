// The one helper program of the end-to-end tests, with its pipe directory
// (LUMO_PIPE_DIR) and process name (PROC_NAME) first:
//   hb_helper DIR PROC_NAME server [--storm] CLIENT...
//     watches the CLIENTs; commands on stdin, each answered with "done":
//     "register NAME...", "unregister-all".
//   hb_helper DIR PROC_NAME client NAME SERVER [--storm]
//     sends heartbeats to SERVER (timeoutTimes 2).
// Either runs until "quit" or the end of stdin, and exits 0 unless --storm
// was asked for and barely interrupted it. Each event is one line, written
// with one write() so that lines of different threads never interleave:
//   <monotonic ms> ready rc=<rc> | beat <client> <pid> <order> <sendTime>
//   | report <client> <pid> <isLost> | done <command> rc=<rc>
// --storm sends SIGUSR1 to every thread once a millisecond, handled without
// SA_RESTART, so that every blocking call is interrupted again and again.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "heartbeat.h"
#include "heartbeat_message.h"
#include "lumo.h"

namespace {

__attribute__((format(printf, 1, 2))) void Emit(const char* format, ...) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[512];
    int used = snprintf(line, sizeof(line), "%lld ",
                        static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    used += vsnprintf(line + used, sizeof(line) - static_cast<size_t>(used) - 1, format, args);
    va_end(args);
    used = std::min(used, static_cast<int>(sizeof(line)) - 2);
    line[used++] = '\n';
    while (write(STDOUT_FILENO, line, static_cast<size_t>(used)) < 0 && errno == EINTR) {
    }
}

// The next line of stdin; false at its end or at "quit". Interrupted reads are resumed.
bool ReadLine(std::string* line) {
    line->clear();
    for (char c;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c == '\n') return *line != "quit";
        if (n == 1) *line += c;
        if (n == 0 || (n < 0 && errno != EINTR)) return false;
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
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) timer_settime(timer, 0, &every, nullptr);
    }
}

void OnFault(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    Emit("report %.*s %d %u", static_cast<int>(length), name, pid, isLost);
}

std::set<std::string> watched;

int Watch(const std::string& name) {
    watched.insert(name);
    return RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault);
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
                Emit("beat %s %d %u %llu", peer.c_str(), record.pid, record.order,
                     static_cast<unsigned long long>(record.sendTime));
            }
        }
        if (inner) inner(handle, request);
    };
    return next(&traced);
}

int main(int argc, char** argv) {
    const bool server = argc >= 4 && strcmp(argv[3], "server") == 0;
    if (!server && (argc < 6 || strcmp(argv[3], "client") != 0)) return 2;
    setenv("LUMO_PIPE_DIR", argv[1], 1);
    setenv("PROC_NAME", argv[2], 1);
    bool storm = false;
    int rc = 0;
    for (int i = server ? 4 : 6; i < argc; ++i) {
        storm = storm || strcmp(argv[i], "--storm") == 0;
        rc |= argv[i][0] != '-' ? Watch(argv[i]) : 0;
    }
    const HeartBeatConfig config{2};
    if (!server) RegisterSendHeartBeat(argv[4], strlen(argv[4]), argv[5], strlen(argv[5]), &config);
    if (storm) StartStorm();  // the check or send thread runs by now, so it is among the targets
    Emit("ready rc=%d", rc);
    for (std::string line; ReadLine(&line);) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        rc = 0;
        if (command == "unregister-all") {
            for (const std::string& name : watched) rc |= UnregisterCheckHeartBeat(name.c_str(), name.size());
            watched.clear();
        }
        for (std::string name; command == "register" && words >> name;) rc |= Watch(name);
        Emit("done %s rc=%d", command.c_str(), rc);
    }
    server ? DisableAllCheckHeartBeat() : UnregisterSendHeartBeat();
    // A storm that hardly came tested nothing.
    return storm && signalsHandled < 1000 ? 3 : 0;
}
