// heartbeat-monitor: watches clients' heartbeats and reports loss and recovery.
//
// The library calls the fault callback on its check thread with its registry
// lock held, so the callback only queues the event and wakes the main thread;
// printing and running hook commands happen on the main thread, where a slow
// hook delays nothing but the next hook.
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "env_manager.h"
#include "heartbeat.h"
#include "tools/cli_args.h"
#include "tools/monitor_events.h"
#include "tools/process_util.h"

extern char** environ;

namespace {

using hbtools::EventKind;
using hbtools::MonitorEvent;

// Events from the callback to the main thread. Allocated once and never
// destroyed: the check thread may still report while the process exits.
struct EventQueue {
    // Guards events. Taken by the callback inside the library's registry lock
    // and by the main thread alone; nothing else is locked while it is held.
    std::mutex mutex;
    std::deque<MonitorEvent> events;
};

EventQueue& Queue() {
    static EventQueue* queue = new EventQueue;
    return *queue;
}

void OnFault(const char* clientName, size_t clientNameLen, int32_t pid, uint32_t isLost) noexcept {
    try {
        MonitorEvent event;
        event.kind = isLost != 0 ? EventKind::kLost : EventKind::kRecovered;
        if (clientName != nullptr) {
            event.client.assign(clientName, strnlen(clientName, clientNameLen));
        }
        event.pid = pid;
        clock_gettime(CLOCK_REALTIME, &event.time);
        {
            std::lock_guard<std::mutex> lock(Queue().mutex);
            Queue().events.push_back(std::move(event));
        }
        hbtools::Wake();
    } catch (...) {
        // Out of memory: this event is lost, but no exception may reach the
        // library's check thread.
    }
}

std::deque<MonitorEvent> TakeEvents() {
    std::deque<MonitorEvent> taken;
    std::lock_guard<std::mutex> lock(Queue().mutex);
    taken.swap(Queue().events);
    return taken;
}

void PrintEvent(const MonitorEvent& event, bool json) {
    std::printf("%s\n", hbtools::FormatEvent(event, json).c_str());
    std::fflush(stdout);
}

// Hook commands run one at a time, in the order of their events.
class HookRunner {
public:
    explicit HookRunner(const hbtools::MonitorOptions& options) : options_(options) {}

    void Add(const MonitorEvent& event) {
        if (!CommandFor(event.kind).empty()) {
            pending_.push_back(event);
        }
    }

    // Reaps a finished hook and starts the next one.
    void Poll() {
        int status = 0;
        while (running_ > 0) {
            const pid_t pid = waitpid(running_, &status, WNOHANG);
            if (pid == 0 || (pid < 0 && errno == EINTR)) {
                break;
            }
            if (pid == running_ && hbtools::ShellStatus(status) != 0) {
                std::fprintf(stderr, "heartbeat-monitor: %s command for %s exited with status %d\n",
                             runningKind_ == EventKind::kLost ? "--on-lost" : "--on-recovered",
                             runningClient_.c_str(), hbtools::ShellStatus(status));
            }
            running_ = 0;
        }
        while (running_ == 0 && !pending_.empty()) {
            Start(pending_.front());
            pending_.pop_front();
        }
    }

private:
    const std::string& CommandFor(EventKind kind) const {
        return kind == EventKind::kLost ? options_.onLost : options_.onRecovered;
    }

    void Start(const MonitorEvent& event) {
        const std::vector<std::string> argv = {"/bin/sh", "-c", CommandFor(event.kind)};
        const std::vector<std::string> env = hbtools::HookEnvironment(event, environ);
        std::fflush(stdout);
        int error = 0;
        const pid_t pid = hbtools::Spawn(argv, &env, false, &error);
        if (pid < 0) {
            std::fprintf(stderr, "heartbeat-monitor: cannot start the command for %s: %s\n",
                         event.client.c_str(), std::strerror(error));
            return;
        }
        running_ = pid;
        runningKind_ = event.kind;
        runningClient_ = event.client;
    }

    const hbtools::MonitorOptions& options_;
    std::deque<MonitorEvent> pending_;
    pid_t running_ = 0;
    EventKind runningKind_ = EventKind::kLost;
    std::string runningClient_;
};

}  // namespace

int main(int argc, char* argv[]) {
    hbtools::MonitorOptions options;
    const hbtools::ParseResult parsed = hbtools::ParseMonitorArgs(argc, argv, &options);
    const int finished = hbtools::FinishParse(parsed, "heartbeat-monitor", hbtools::MonitorUsage());
    if (finished >= 0) {
        return finished;
    }

    if (!hbtools::InitWake()) {
        std::fprintf(stderr, "heartbeat-monitor: cannot set up signal handling: %s\n",
                     std::strerror(errno));
        return hbtools::kExitFailure;
    }
    // The name must be in place before the first registration fixes it as the
    // name of this process's heartbeat pipes.
    if (!options.name.empty()) {
        EnvManager::SetProcName(options.name);
    }
    for (const hbtools::ClientSpec& client : options.clients) {
        const int rc = RegisterCheckHeartBeat(client.name.c_str(), client.name.size(), client.gid, OnFault);
        if (rc != 0) {
            std::fprintf(stderr, "heartbeat-monitor: cannot watch client %s (error %d)\n",
                         client.name.c_str(), rc);
            DisableAllCheckHeartBeat();
            return hbtools::kExitFailure;
        }
    }

    HookRunner hooks(options);
    while (hbtools::StopSignal() == 0) {
        hbtools::WaitForWake();
        for (const MonitorEvent& event : TakeEvents()) {
            PrintEvent(event, options.json);
            hooks.Add(event);
        }
        hooks.Poll();
    }

    // Stops the check thread; nothing is reported after it returns. Events
    // already queued are still printed, but start no more hooks; a hook that
    // is running is left to finish on its own.
    DisableAllCheckHeartBeat();
    for (const MonitorEvent& event : TakeEvents()) {
        PrintEvent(event, options.json);
    }
    return hbtools::kExitOk;
}
