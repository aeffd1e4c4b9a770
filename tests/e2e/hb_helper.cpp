// The one helper program of the end-to-end tests, with its pipe directory
// (LUMO_PIPE_DIR) and the server's name first:
//   hb_helper DIR SERVER server [--storm] CLIENT...
//     watches the CLIENTs; each line on stdin names the clients to watch
//     instead (the others are unregistered), answered with "done".
//   hb_helper DIR SERVER client NAME [--storm]
//     sends heartbeats to SERVER as NAME (timeoutTimes 2).
// Either runs until the end of stdin, and exits 0 unless --storm was asked
// for and barely interrupted it. Each event is one line, written with one
// write() so that lines of different threads never interleave:
//   <monotonic ms> ready rc=<rc> | beat <client> <pid> <order> <sendTime>
//   | report <client> <isLost> <pid> | done rc=<rc>
// --storm sends SIGUSR1 to every thread once a millisecond, handled without
// SA_RESTART, so that every blocking call is interrupted again and again.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "heartbeat.h"
#include "heartbeat_message.h"
#include "lumo.h"

namespace {

void Emit(const std::string& event) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string line =
        std::to_string(now.tv_sec * 1000LL + now.tv_nsec / 1000000) + " " + event + "\n";
    while (write(STDOUT_FILENO, line.data(), line.size()) < 0 && errno == EINTR) continue;
}

// The next line of stdin; false at its end. Interrupted reads are resumed.
bool ReadLine(std::string* line) {
    line->clear();
    for (char c;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c == '\n') return true;
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
        timer_t id;
        const itimerspec every{{0, 1000000}, {0, 1000000}};
        if (timer_create(CLOCK_MONOTONIC, &event, &id) == 0) timer_settime(id, 0, &every, nullptr);
    }
}

void OnFault(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    Emit("report " + std::string(name, length) + " " + std::to_string(isLost) + " " +
         std::to_string(pid));
}

std::vector<std::string> watched;

// Watches the clients named in `line` instead of those watched so far.
int Watch(const std::string& line) {
    int rc = 0;
    for (const auto& name : watched) rc |= UnregisterCheckHeartBeat(name.c_str(), name.size());
    watched.clear();
    std::istringstream names(line);
    for (std::string name; names >> name; watched.push_back(name))
        rc |= RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault);
    return rc;
}

}  // namespace

// Arrivals are seen by wrapping the receive callback that the library hands
// to LumoOpen: this definition takes the call and passes it on to the IPC
// library's. Only heartbeat records are traced, as beats of the pipe's client.
extern "C" __attribute__((visibility("default"))) int LumoOpen(LumoOpenParam* param) {
    static const auto next =
        reinterpret_cast<int (*)(LumoOpenParam*)>(dlsym(RTLD_NEXT, "LumoOpen"));
    LumoOpenParam traced = *param;
    traced.callback = [peer = std::string(param->peerName), inner = param->callback](
                          int handle, LumoRequest* request) {
        HeartBeatMessage record;
        if (request != nullptr && request->data != nullptr && request->size == sizeof(record)) {
            memcpy(&record, request->data, sizeof(record));
            Emit("beat " + peer + " " + std::to_string(record.pid) + " " +
                 std::to_string(record.order) + " " + std::to_string(record.sendTime));
        }
        if (inner) inner(handle, request);
    };
    return next(&traced);
}

int main(int argc, char** argv) {
    const bool server = argc >= 4 && strcmp(argv[3], "server") == 0;
    if (!server && (argc < 5 || strcmp(argv[3], "client") != 0)) return 2;
    setenv("LUMO_PIPE_DIR", argv[1], 1);
    setenv("PROC_NAME", server ? argv[2] : argv[4], 1);
    bool storm = false;
    std::string line;  // the clients to watch, first from the command line, then from stdin
    for (int i = server ? 4 : 5; i < argc; ++i) {
        storm = storm || strcmp(argv[i], "--storm") == 0;
        line += argv[i][0] != '-' ? std::string(argv[i]) + " " : "";
    }
    const int rc = Watch(line);
    const HeartBeatConfig config{2};
    if (!server) RegisterSendHeartBeat(argv[4], strlen(argv[4]), argv[2], strlen(argv[2]), &config);
    if (storm) StartStorm();  // the check or send thread runs by now, so it is among the targets
    Emit("ready rc=" + std::to_string(rc));
    while (ReadLine(&line)) Emit("done rc=" + std::to_string(Watch(line)));
    server ? DisableAllCheckHeartBeat() : UnregisterSendHeartBeat();
    // A storm that hardly came tested nothing.
    return storm && signalsHandled < 1000 ? 3 : 0;
}
