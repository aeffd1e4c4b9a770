// demo_client: a client process as a product writes one.
//
//   demo_client [--stall-after SECONDS --stall-for SECONDS]
//
// Its name is its process name, which whoever started it put in PROC_NAME (the
// process manager does, and so does demo_server). It sends heartbeats to the
// process manager (PROCMGR) and runs one worker thread that is watched by the
// thread watchdog. With --stall-after A --stall-for B the worker stops kicking
// the watchdog A seconds after start, for B seconds, as a hung thread would:
// the process keeps sending heartbeats, but they say that it is unhealthy.
// SIGINT or SIGTERM stops it cleanly.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "env_manager.h"
#include "heartbeat.h"

namespace {

// Heartbeat cycles are 3 seconds. The server declares this client lost after
// this many silent cycles, and the worker must kick at least once every
// kWatchdogPeriod cycles.
constexpr uint32_t kTimeoutTimes = 2;
constexpr unsigned int kWatchdogPeriod = 2;
constexpr char kWorker[] = "worker";

volatile sig_atomic_t stopRequested = 0;
void OnStop(int) { stopRequested = 1; }

double Now() {
    struct timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SleepMs(long ms) {
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
        // Interrupted by a signal: sleep the rest.
    }
}

// The watched thread: does its work in short steps and kicks the watchdog
// after each one. During the stall window it does not kick.
void Worker(const std::atomic<bool>* running, double stallFrom, double stallUntil) {
    while (running->load()) {
        const double now = Now();
        if (now < stallFrom || now >= stallUntil) {
            KickingTheDog(kWorker, std::strlen(kWorker));
        }
        SleepMs(500);  // one step of "work"
    }
}

int Usage() {
    std::fprintf(stderr, "usage: demo_client [--stall-after SECONDS --stall-for SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    double stallAfter = -1;
    double stallFor = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--stall-after") == 0) {
            stallAfter = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--stall-for") == 0) {
            stallFor = std::atof(argv[i + 1]);
        } else {
            return Usage();
        }
    }
    if (argc % 2 == 0) {
        return Usage();
    }

    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The heartbeat name is the process name; the server registered it under
    // the same name.
    const std::string name = EnvManager::ProcName();
    if (name.empty()) {
        std::fprintf(stderr, "demo_client: set PROC_NAME to the client's name\n");
        return 2;
    }

    // Register the worker before the first heartbeat goes out, so that every
    // heartbeat covers it. It starts with a full period.
    if (RegisterThreadForDog(kWorker, std::strlen(kWorker), kWatchdogPeriod) != 0) {
        std::fprintf(stderr, "demo_client %s: cannot register the worker with the watchdog\n", name.c_str());
        return 1;
    }
    const double start = Now();
    const double stallFrom = stallAfter >= 0 ? start + stallAfter : 0;
    const double stallUntil = stallAfter >= 0 ? stallFrom + stallFor : 0;
    std::atomic<bool> running{true};
    std::thread worker(Worker, &running, stallFrom, stallUntil);

    // Opens the pipe to PROCMGR's heartbeat pipe and starts the send thread;
    // the server must already be watching this name, else this fails.
    const HeartBeatConfig config = {kTimeoutTimes};
    const int rc = RegisterSendHeartBeat(name.c_str(), name.size(), PROCMGR, std::strlen(PROCMGR), &config);
    if (rc != 0) {
        std::fprintf(stderr, "demo_client %s: RegisterSendHeartBeat failed (%d)\n", name.c_str(), rc);
    }

    while (rc == 0 && stopRequested == 0) {
        SleepMs(100);
    }

    running = false;
    worker.join();
    UnregisterThreadForDog(kWorker, std::strlen(kWorker));
    UnregisterSendHeartBeat();  // finishes the current send cycle: up to ~3 s
    return rc == 0 ? 0 : 1;
}
