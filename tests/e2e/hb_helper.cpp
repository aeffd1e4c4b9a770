// The one helper program of the end-to-end tests, in three modes:
//   hb_helper server [--storm] [--delay MS] CLIENT...
//     registers the CLIENTs (its own name comes from PROC_NAME); commands on
//     stdin: usage, register NAME, unregister-all, quit.
//   hb_helper client NAME SERVER [--storm] [--dog PERIOD]
//     sends heartbeats (timeoutTimes 2); with --dog a worker thread watched
//     under "worker" kicks every 200 ms until "stall", again after "kick";
//     "mute" stops the heartbeats while the process runs on.
//   hb_helper hostile SOCKET NAME SECONDS PER_SECOND
//     connects to a listening socket file and sends records carrying NAME,
//     messages of odd sizes and garbage records, at the given rate.
// Each event is one line "<monotonic ms> <kind> <fields...>" written with one
// write(), so that lines of different threads never interleave:
//   ready rc=<rc> | beat <client> <pid> <order> <sendTime> <watchDogFailed>
//   report <client> <pid> <isLost> | usage <fds> <threads> <rss kB> <cpu ms>
//   done <command> rc=<rc> | signals <n> | registered <rc> <pid>
//   quit <rc> <signals> | sent <n> failed <n> | error <text>
// --storm sends SIGUSR1 to every thread once a millisecond, handled without
// SA_RESTART, so that every blocking call is interrupted again and again.
#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
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

void SleepMs(int64_t ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
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
    static std::string pending;
    size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n == 0 || (n < 0 && errno != EINTR)) {
            return false;
        }
        pending.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    *line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return true;
}

std::vector<pid_t> Entries(const char* directory) {
    std::vector<pid_t> found;
    DIR* dir = opendir(directory);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            found.push_back(static_cast<pid_t>(atoi(entry->d_name)));
        }
    }
    closedir(dir);
    return found;
}

std::atomic<unsigned long> signalsHandled{0};

// Runs until the process ends, through its unregistering and exit.
void StartStorm() {
    struct sigaction action{};
    action.sa_handler = [](int) { signalsHandled.fetch_add(1, std::memory_order_relaxed); };
    sigaction(SIGUSR1, &action, nullptr);
    for (pid_t tid : Entries("/proc/self/task")) {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGUSR1;
        event._sigev_un._tid = tid;
        timer_t timer;
        const itimerspec every{{0, 1000000}, {0, 1000000}};
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
            timer_settime(timer, 0, &every, nullptr);
        }
    }
}

int64_t faultDelayMs = 0;

void OnFault(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    SleepMs(faultDelayMs);
    Emit("report %.*s %d %u", static_cast<int>(length), name, pid, isLost);
}

int Register(const std::string& name) { return RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault); }

int Server(int argc, char** argv) {
    bool storm = false;
    int rc = 0;
    std::set<std::string> registered;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--storm") {
            storm = true;
        } else if (arg == "--delay") {
            faultDelayMs = atol(argv[++i]);
        } else {
            rc |= Register(arg);
            registered.insert(arg);
        }
    }
    if (storm) {
        StartStorm();
    }
    Emit("ready rc=%d", rc);
    for (std::string line; ReadLine(&line) && line != "quit"; Emit("done %s rc=%d", line.c_str(), rc)) {
        const std::string name = line.substr(line.find(' ') + 1);
        rc = 0;
        if (line == "usage") {
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages >> pages;  // the second figure: resident
            Emit("usage %zu %zu %ld %ld", Entries("/proc/self/fd").size() - 1, Entries("/proc/self/task").size(),
                 pages * sysconf(_SC_PAGESIZE) / 1024,
                 (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000);
        } else if (line.rfind("register ", 0) == 0 && (rc = Register(name)) == 0) {
            registered.insert(name);
        } else if (line == "unregister-all") {
            for (const std::string& client : registered) {
                rc |= UnregisterCheckHeartBeat(client.c_str(), client.size());
            }
            registered.clear();
        }
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
                for (; running; SleepMs(200)) {
                    if (kicking) {
                        KickingTheDog("worker", 6);
                    }
                }
                UnregisterThreadForDog("worker", 6);
            });
        }
    }
    HeartBeatConfig config{};
    config.timeoutTimes = 2;
    Emit("registered %d %d", RegisterSendHeartBeat(name.c_str(), name.size(), server.c_str(), server.size(), &config),
         static_cast<int>(getpid()));
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

int Connect(const char* path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? fd : -1;
}

int Hostile(const char* path, const char* name, int64_t ms, int64_t perSecond) {
    std::mt19937 rng(12345);
    // Made once and reused, so that the rate is set by the sending.
    std::vector<std::vector<unsigned char>> odd;
    for (size_t size : {0, 1, 231, 233, 65536, 65537, 70000}) {
        odd.emplace_back(size, 0xa5);
    }
    while (odd.size() < 64) {
        odd.emplace_back(odd.size() % 2 == 0 ? sizeof(HeartBeatMessage) : rng() % 70001);
        std::generate(odd.back().begin(), odd.back().end(), [&rng] { return static_cast<unsigned char>(rng()); });
    }
    HeartBeatMessage record{};
    strncpy(record.clientName, name, sizeof(record.clientName) - 1);
    record.pid = getpid();
    record.timeoutTimes = 2;
    int fd = Connect(path);
    long sent = 0;
    long failed = 0;
    const int64_t start = NowMs();
    for (int64_t i = 0; fd >= 0 && NowMs() < start + ms; ++i) {
        SleepMs(std::max<int64_t>(0, start + i * 1000 / perSecond - NowMs()));
        const void* data = &record;
        size_t size = sizeof(record);
        if (rng() % 3 == 0) {
            record.sendTime = static_cast<uint64_t>(NowMs());
            record.order++;
        } else {
            const auto& message = odd[rng() % odd.size()];
            data = message.data();
            size = message.size();
        }
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            close(fd);  // an empty message reads as the end of the connection: come back on a new one
            fd = Connect(path);
        }
        (n >= 0 ? sent : failed) += 1;
    }
    if (fd < 0) {
        Emit("error connect %s: %s", path, strerror(errno));
        return 1;
    }
    close(fd);
    Emit("sent %ld failed %ld", sent, failed);
    return 0;
}

}  // namespace

// Arrivals are seen by wrapping the receive callback that the library hands
// to LumoOpen: this definition takes the call and passes it on to the IPC
// library's. Only 232-byte records named as the pipe's client are traced.
extern "C" __attribute__((visibility("default"))) int LumoOpen(LumoOpenParam* param) {
    static const auto next = reinterpret_cast<int (*)(LumoOpenParam*)>(dlsym(RTLD_NEXT, "LumoOpen"));
    LumoOpenParam traced = *param;
    traced.callback = [peer = std::string(param->peerName), inner = param->callback](int handle, LumoRequest* request) {
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
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "server") {
        return Server(argc - 2, argv + 2);
    }
    if (mode == "client" && argc >= 4) {
        return Client(argv[2], argv[3], argc - 4, argv + 4);
    }
    if (mode == "hostile" && argc == 6) {
        return Hostile(argv[2], argv[3], atoll(argv[4]) * 1000, atoll(argv[5]));
    }
    Emit("error usage");
    return 2;
}
