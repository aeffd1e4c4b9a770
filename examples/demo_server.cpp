// demo_server: a process manager that supervises three client processes with
// libheartbeat, and plays two faults while it runs.
//
//   healthy   runs undisturbed and must never be reported;
//   crashing  is killed with SIGKILL; when the library reports it lost, the
//             server starts it again, and the library reports it recovered;
//   stalling  has a watched worker thread that stops kicking the watchdog for a
//             while: the library reports the client lost although its process
//             runs, and recovered once the thread kicks again.
//
// It prints one timeline line per event and a summary, and exits 0 only when
// exactly the expected losses and recoveries came. Clients are demo_client
// processes from the same directory; they reach this server through the IPC
// library's pipe directory, a private one here (LUMO_PIPE_DIR), which is
// removed at the end, also after Ctrl-C.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "env_manager.h"
#include "heartbeat.h"

extern char** environ;

namespace {

// The script of the demo, in seconds since start. The crashing client has sent
// two heartbeats (one every 3 s) when it is killed; a client that never sent
// one is not reported lost at all. The stall is long enough for the worker's
// watchdog period (2 cycles) to run out.
constexpr int kKillAt = 7;
constexpr int kStallAt = 6;
constexpr int kStallFor = 12;
constexpr double kQuietAfterLast = 4;  // more than one check cycle with no further event
constexpr double kDeadline = 40;

struct Client {
    std::string name;
    std::vector<std::string> args;  // arguments of demo_client
    int expected;                   // losses expected, and as many recoveries
    std::string plan;               // what the demo will do to it
    pid_t pid = 0;                  // 0 while no process runs
    bool lost = false;
    int32_t lostPid = 0;            // pid reported with the latest loss
    int losses = 0;
    int recoveries = 0;
};

struct Event {
    double time;
    std::string client;
    int32_t pid;
    bool lost;
};

struct timespec startTime;
volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signo) { stopSignal = signo; }

double Elapsed() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - startTime.tv_sec) +
           static_cast<double>(now.tv_nsec - startTime.tv_nsec) / 1e9;
}

// Events travel from the fault callback to the main thread through this queue.
// The library calls the callback on its check thread with its registry lock
// held, so the callback must not call back into the library and should be
// quick: it only queues. eventMutex is taken inside that lock and nothing is
// locked while it is held.
std::mutex eventMutex;
std::condition_variable eventReady;
std::deque<Event> events;

void OnFault(const char* clientName, size_t clientNameLen, int32_t pid, uint32_t isLost) {
    try {
        std::lock_guard<std::mutex> lock(eventMutex);
        events.push_back({Elapsed(), std::string(clientName, clientNameLen), pid, isLost != 0});
        eventReady.notify_one();
    } catch (...) {
        // Out of memory: the event is lost, but no exception may reach the
        // library's thread.
    }
}

void Print(double time, const char* event, const std::string& client, pid_t pid, const std::string& cause) {
    const std::string pidText = pid > 0 ? std::to_string(pid) : "-";
    std::printf("%6.2f  %-10s %-9s %-7s %s\n", time, event, client.c_str(), pidText.c_str(), cause.c_str());
    std::fflush(stdout);
}

// Starts demo_client for `client`, with PROC_NAME set to the client's name:
// the client sends its heartbeats under its process name.
bool Start(Client& client, const std::string& program) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), client.args.begin(), client.args.end());
    std::vector<std::string> env = {"PROC_NAME=" + client.name};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PROC_NAME=", 10) != 0) {
            env.emplace_back(*e);
        }
    }
    // Everything is prepared before fork: the library's threads run in this
    // process, so the child may only make async-signal-safe calls until exec.
    std::vector<char*> argp;
    std::vector<char*> envp;
    for (std::string& a : argv) argp.push_back(&a[0]);
    for (std::string& e : env) envp.push_back(&e[0]);
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Dies with the server, even when the server is killed hard.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    client.pid = pid > 0 ? pid : 0;
    return pid > 0;
}

// Reaps clients that ended and prints how.
void Reap(std::vector<Client>& clients) {
    for (Client& c : clients) {
        int status = 0;
        if (c.pid > 0 && waitpid(c.pid, &status, WNOHANG) == c.pid) {
            const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                        : "exit status " + std::to_string(WEXITSTATUS(status));
            Print(Elapsed(), "exited", c.name, c.pid, how);
            c.pid = 0;
        }
    }
}

void RemoveDirectory(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* entry = readdir(d)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                unlink((dir + "/" + entry->d_name).c_str());
            }
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

// Stops watching (no report comes after this), then stops the clients: SIGTERM,
// which they answer by unregistering, and SIGKILL for any still there after 8 s.
void Shutdown(std::vector<Client>& clients) {
    Print(Elapsed(), "shutdown", "-", 0, "stop watching, SIGTERM to the clients");
    for (const Client& c : clients) {
        UnregisterCheckHeartBeat(c.name.c_str(), c.name.size());  // also closes its pipe
    }
    DisableAllCheckHeartBeat();  // ends the check thread
    for (const Client& c : clients) {
        if (c.pid > 0) kill(c.pid, SIGTERM);
    }
    const double giveUp = Elapsed() + 8;
    for (;;) {
        Reap(clients);
        bool running = false;
        for (const Client& c : clients) running = running || c.pid > 0;
        if (!running) break;
        if (Elapsed() > giveUp) {
            for (const Client& c : clients) {
                if (c.pid > 0) kill(c.pid, SIGKILL);
            }
        }
        usleep(50 * 1000);
    }
}

}  // namespace

int main() {
    clock_gettime(CLOCK_MONOTONIC, &startTime);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // demo_client lies beside this program.
    std::string self(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", &self[0], self.size() - 1);
    self.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const std::string program = self.substr(0, self.rfind('/') + 1) + "demo_client";
    if (n <= 0 || access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "demo_server: cannot find %s\n", program.c_str());
        return 2;
    }

    // A private pipe directory for this run; the clients inherit it.
    char dirTemplate[] = "/tmp/hbdemo.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        std::perror("demo_server: mkdtemp");
        return 2;
    }
    const std::string pipeDir = dirTemplate;
    setenv("LUMO_PIPE_DIR", pipeDir.c_str(), 1);

    // This process is the process manager: clients send to PROCMGR, and the
    // library names this process's heartbeat pipe after its process name.
    EnvManager::SetProcName(PROCMGR);

    const std::string stallFor = std::to_string(kStallFor);
    std::vector<Client> clients = {
        {"healthy", {}, 0, "left alone"},
        {"crashing", {}, 1, "to be killed at " + std::to_string(kKillAt) + " s"},
        {"stalling", {"--stall-after", std::to_string(kStallAt), "--stall-for", stallFor}, 1,
         "its worker stalls at " + std::to_string(kStallAt) + " s for " + stallFor + " s"},
    };

    std::printf("libheartbeat demo: %s supervises %zu clients (heartbeat every 3 s, lost after 2 silent "
                "check cycles)\npipe directory: %s\n\n", PROCMGR, clients.size(), pipeDir.c_str());
    std::printf("%6s  %-10s %-9s %-7s %s\n", "time", "event", "client", "pid", "cause");

    // Watch every client before it starts: a client's registration fails when
    // the server's pipe is not there yet.
    bool ok = true;
    for (Client& c : clients) {
        const int rc = RegisterCheckHeartBeat(c.name.c_str(), c.name.size(), getgid(), OnFault);
        Print(Elapsed(), rc == 0 ? "watching" : "error", c.name, 0,
              rc == 0 ? "RegisterCheckHeartBeat" : "RegisterCheckHeartBeat failed: " + std::to_string(rc));
        ok = ok && rc == 0;
    }
    for (Client& c : clients) {
        if (ok && !Start(c, program)) {
            Print(Elapsed(), "error", c.name, 0, std::string("fork failed: ") + std::strerror(errno));
            ok = false;
        }
        if (ok) Print(Elapsed(), "started", c.name, c.pid, c.plan);
    }

    Client& crashing = clients[1];
    Client& stalling = clients[2];
    bool killed = false;
    bool stallShown = false;
    double lastEvent = 0;
    while (ok && stopSignal == 0) {
        std::deque<Event> taken;
        {
            std::unique_lock<std::mutex> lock(eventMutex);
            eventReady.wait_for(lock, std::chrono::milliseconds(100), [] { return !events.empty(); });
            taken.swap(events);
        }
        Reap(clients);
        const double now = Elapsed();

        // What the demo does to its clients.
        if (!killed && now >= kKillAt && crashing.pid > 0) {
            kill(crashing.pid, SIGKILL);
            Print(now, "killed", crashing.name, crashing.pid, "SIGKILL sent by the demo");
            killed = true;
        }
        if (!stallShown && now >= kStallAt) {
            Print(now, "stall", stalling.name, stalling.pid,
                  "its worker thread stops kicking the watchdog for " + stallFor + " s");
            stallShown = true;
        }

        // What the library reported. The cause is inferred from what this
        // server sees: a lost client whose process is gone died; one whose
        // process still runs sent heartbeats that said its watchdog failed.
        for (const Event& e : taken) {
            for (Client& c : clients) {
                if (c.name != e.client) continue;
                std::string cause;
                if (e.lost) {
                    cause = c.pid == 0 ? "killed: its process is gone"
                                       : "watchdog: its process runs, a watched thread stalled";
                    c.lostPid = e.pid;
                } else {
                    cause = e.pid != c.lostPid ? "its new process sends heartbeats"
                                               : "its watched thread kicks again";
                }
                c.lost = e.lost;
                (e.lost ? c.losses : c.recoveries)++;
                Print(e.time, e.lost ? "lost" : "recovered", c.name, e.pid, cause);
                lastEvent = now;
            }
        }

        // The process manager's policy: a lost client whose process is gone is
        // started again. One that is lost but runs is left to recover.
        for (Client& c : clients) {
            if (c.lost && c.pid == 0) {
                ok = Start(c, program);
                Print(Elapsed(), ok ? "restarted" : "error", c.name, c.pid, ok ? "after its loss" : "fork failed");
            }
        }

        bool allCame = true;
        for (const Client& c : clients) {
            allCame = allCame && c.losses >= c.expected && c.recoveries >= c.expected;
        }
        if ((allCame && now - lastEvent >= kQuietAfterLast) || now >= kDeadline) break;
    }

    Shutdown(clients);
    RemoveDirectory(pipeDir);

    if (stopSignal != 0) {
        std::printf("\ninterrupted: clients stopped, pipe directory removed\n");
        return 128 + stopSignal;
    }
    std::printf("\n%-9s %5s %10s %9s\n", "client", "lost", "recovered", "expected");
    bool pass = ok;
    for (const Client& c : clients) {
        const bool good = c.losses == c.expected && c.recoveries == c.expected;
        std::printf("%-9s %5d %10d %7d/%d  %s\n", c.name.c_str(), c.losses, c.recoveries, c.expected, c.expected,
                    good ? "ok" : "UNEXPECTED");
        pass = pass && good;
    }
    std::printf("%s after %.1f s\n", pass ? "PASS: every expected event came, and nothing else"
                                          : "FAIL: events differ from the expected ones",
                Elapsed());
    return pass ? 0 : 1;
}
