// heartbeat-monitor: watches clients' heartbeats and reports loss, recovery
// and clients missing at startup; `heartbeat-monitor status` asks a running
// monitor what it sees.
//
// The library calls the fault callback on its check thread with its registry
// lock held, so the callback only queues the report and wakes the main
// thread. The main thread takes one snapshot of the library's state per
// check cycle, gives each loss its cause, prints the events, hands them to
// the hook runner (which never delays a line), rewrites the metrics file and
// tells the service manager that the check path is alive. The control
// socket's thread answers status queries from what the last cycle saw.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "common/mutex.h"
#include "common/no_destructor.h"
#include "common/thread_annotations.h"
#include "env_manager.h"
#include "heartbeat.h"
#include "heartbeat_status.h"
#include "tools/cli_args.h"
#include "tools/monitor_control.h"
#include "tools/monitor_events.h"
#include "tools/monitor_hooks.h"
#include "tools/monitor_state.h"
#include "tools/process_util.h"

namespace {

using hbtools::EventKind;
using hbtools::MonitorEvent;

constexpr int64_t kCycleMs = 3000;
// How long after an expected check cycle to look again when it has not run yet.
constexpr int64_t kRetryMs = 50;
constexpr int kQueryTimeoutMs = 2000;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Reports from the callback to the main thread. Never destroyed: the check
// thread may still report while the process exits.
struct EventQueue {
    // Taken by the callback inside the library's registry lock and by the
    // main thread with nothing else held; it is the innermost lock.
    hb::Mutex mutex;
    std::deque<MonitorEvent> events GUARDED_BY(mutex);
};

EventQueue& Queue() {
    static hb::NoDestructor<EventQueue> queue;
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
            hb::MutexLock lock(&Queue().mutex);
            Queue().events.push_back(std::move(event));
        }
        hbtools::Wake();
    } catch (...) {
        // Out of memory: this report is lost, but no exception may reach the
        // library's check thread.
    }
}

std::vector<MonitorEvent> TakeEvents() {
    std::deque<MonitorEvent> taken;
    {
        hb::MutexLock lock(&Queue().mutex);
        taken.swap(Queue().events);
    }
    return std::vector<MonitorEvent>(taken.begin(), taken.end());
}

// What the control thread reads. The main thread writes it once per cycle.
struct Shared {
    // Held only to update or format the state; no library call is made under it.
    hb::Mutex mutex;
    hbtools::MonitorState state GUARDED_BY(mutex);
};

// The library's state into `buffer`, grown when clients were added.
bool TakeSnapshot(std::vector<HeartBeatClientStatus>* buffer, uint64_t* cycles) {
    for (;;) {
        const int count = GetCheckHeartBeatStatus(buffer->data(), buffer->size(), cycles);
        if (count < 0) {
            return false;
        }
        if (static_cast<size_t>(count) <= buffer->size()) {
            buffer->resize(static_cast<size_t>(count));
            return true;
        }
        buffer->resize(static_cast<size_t>(count) + 16);
    }
}

int RunStatus(const hbtools::MonitorOptions& options) {
    if (!options.name.empty()) {
        EnvManager::SetProcName(options.name);
    }
    const std::string name = EnvManager::ProcName();
    const std::string path = hbtools::ControlPath(name);
    if (path.empty()) {
        std::fprintf(stderr, "heartbeat-monitor: a monitor named %s has no control socket\n",
                     hbtools::PlainEscape(name).c_str());
        return hbtools::kExitFailure;
    }
    std::string answer;
    const int rc = hbtools::QueryControl(path, options.json ? "json" : "table", &answer, kQueryTimeoutMs);
    if (rc == -ENOENT || rc == -ECONNREFUSED) {
        std::fprintf(stderr, "heartbeat-monitor: no monitor named %s is running (nothing answers at %s)\n",
                     hbtools::PlainEscape(name).c_str(), path.c_str());
        return hbtools::kExitFailure;
    }
    if (rc != 0) {
        std::fprintf(stderr, "heartbeat-monitor: the monitor named %s did not answer: %s\n",
                     hbtools::PlainEscape(name).c_str(), std::strerror(-rc));
        return hbtools::kExitFailure;
    }
    if (answer.empty()) {
        // It drops a peer that is not root, its user or in its socket's group.
        std::fprintf(stderr, "heartbeat-monitor: the monitor named %s refused the query (ask as root, as its "
                     "user or as a member of its socket's group)\n", hbtools::PlainEscape(name).c_str());
        return hbtools::kExitFailure;
    }
    std::fputs(answer.c_str(), stdout);
    return hbtools::kExitOk;
}

class Monitor {
public:
    Monitor(int argc, char** argv, hbtools::MonitorOptions options)
        : argc_(argc), argv_(argv), options_(std::move(options)) {}

    int Run();

private:
    bool Watch(const hbtools::ClientSpec& client);
    void Unwatch(const std::string& name);
    void Reload();
    void Configure();
    void OnSnapshot(std::vector<MonitorEvent> reports, int64_t now, bool force = false);
    void Print(const MonitorEvent& event) const;
    void WriteMetrics(int64_t now);

    const int argc_;
    char** const argv_;
    hbtools::MonitorOptions options_;
    std::string name_;
    std::map<std::string, uint32_t> watched_;  // client name -> group
    Shared shared_;
    hbtools::HookRunner hooks_;
    hbtools::ControlServer control_;
    std::vector<HeartBeatClientStatus> snapshot_;
    uint64_t lastCycles_ = 0;
    int64_t nextSnapshotMs_ = 0;
    bool metricsFailing_ = false;
};

bool Monitor::Watch(const hbtools::ClientSpec& client) {
    const int rc = RegisterCheckHeartBeat(client.name.c_str(), client.name.size(), client.gid, OnFault);
    if (rc != 0) {
        std::fprintf(stderr, "heartbeat-monitor: cannot watch client %s (error %d)\n",
                     hbtools::PlainEscape(client.name).c_str(), rc);
        return false;
    }
    watched_[client.name] = client.gid;
    hb::MutexLock lock(&shared_.mutex);
    shared_.state.Watch(client.name, NowMs());
    return true;
}

void Monitor::Unwatch(const std::string& name) {
    UnregisterCheckHeartBeat(name.c_str(), name.size());
    watched_.erase(name);
    hb::MutexLock lock(&shared_.mutex);
    shared_.state.Unwatch(name);
}

void Monitor::Configure() {
    hooks_.Configure(options_.onLost, options_.onRecovered, static_cast<int64_t>(options_.hookTimeoutS) * 1000);
}

// Reads the command line and its config file again. A bad file changes
// nothing; the name of the pipes cannot change while they are open.
void Monitor::Reload() {
    hbtools::MonitorOptions fresh;
    const hbtools::ParseResult parsed = hbtools::ParseMonitorArgs(argc_, argv_, &fresh);
    if (parsed.status != hbtools::ParseStatus::kRun) {
        for (const std::string& error : parsed.errors) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
        std::fprintf(stderr, "heartbeat-monitor: configuration not reloaded\n");
        return;
    }
    if (!fresh.name.empty() && fresh.name != name_) {
        std::fprintf(stderr, "heartbeat-monitor: the name cannot change while running; keeping %s\n",
                     hbtools::PlainEscape(name_).c_str());
    }
    std::map<std::string, uint32_t> wanted;
    for (const hbtools::ClientSpec& client : fresh.clients) {
        wanted[client.name] = client.gid;
    }
    std::vector<std::string> gone;
    for (const auto& [name, gid] : watched_) {
        auto found = wanted.find(name);
        if (found == wanted.end() || found->second != gid) {
            gone.push_back(name);
        }
    }
    for (const std::string& name : gone) {
        Unwatch(name);
    }
    for (const hbtools::ClientSpec& client : fresh.clients) {
        if (watched_.count(client.name) == 0) {
            Watch(client);
        }
    }
    fresh.name = options_.name;
    options_ = std::move(fresh);
    Configure();
    std::fprintf(stderr, "heartbeat-monitor: configuration reloaded, %zu clients\n", watched_.size());
}

void Monitor::Print(const MonitorEvent& event) const {
    std::printf("%s\n", hbtools::FormatEvent(event, options_.json).c_str());
}

void Monitor::WriteMetrics(int64_t now) {
    if (options_.metricsFile.empty()) {
        return;
    }
    std::string text;
    {
        hb::MutexLock lock(&shared_.mutex);
        text = shared_.state.Metrics(now);
    }
    const int rc = hbtools::WriteFileAtomically(options_.metricsFile, text);
    // One line when writing starts to fail and one when it works again, not
    // one per cycle.
    if (rc != 0 && !metricsFailing_) {
        std::fprintf(stderr, "heartbeat-monitor: cannot write %s: %s\n", options_.metricsFile.c_str(),
                     std::strerror(-rc));
    } else if (rc == 0 && metricsFailing_) {
        std::fprintf(stderr, "heartbeat-monitor: writing %s again\n", options_.metricsFile.c_str());
    }
    metricsFailing_ = rc != 0;
}

// One snapshot: the reports that came with it get their causes, missing
// clients are found, and every event is printed before any hook starts.
// With `force` the state is taken in even between cycles (the clients changed).
void Monitor::OnSnapshot(std::vector<MonitorEvent> reports, int64_t now, bool force) {
    uint64_t cycles = 0;
    if (!TakeSnapshot(&snapshot_, &cycles)) {
        snapshot_.clear();
    }
    const bool newCycle = cycles != lastCycles_;
    if (!newCycle && reports.empty() && !force) {
        nextSnapshotMs_ = now + kRetryMs;  // the cycle is due but has not run yet
        return;
    }
    std::vector<MonitorEvent> events;
    {
        hb::MutexLock lock(&shared_.mutex);
        events = shared_.state.Cycle(snapshot_, cycles, std::move(reports), now,
                                     static_cast<int64_t>(options_.startupGraceS) * 1000, hbtools::ReadProcState);
    }
    for (const MonitorEvent& event : events) {
        Print(event);
    }
    std::fflush(stdout);
    for (const MonitorEvent& event : events) {
        hooks_.Add(event, cycles);
    }
    WriteMetrics(now);
    if (newCycle) {
        // The library's check thread ran a cycle: that is what the service
        // manager's watchdog should hear about, not merely that we are awake.
        hbtools::Notify("WATCHDOG=1");
        lastCycles_ = cycles;
        nextSnapshotMs_ = now + kCycleMs + kRetryMs;
    }
}

int Monitor::Run() {
    if (!hbtools::InitWake() || !hbtools::CatchHangup()) {
        std::fprintf(stderr, "heartbeat-monitor: cannot set up signal handling: %s\n", std::strerror(errno));
        return hbtools::kExitFailure;
    }
    hbtools::InitNotify();
    // The name must be in place before the first registration fixes it as the
    // name of this process's heartbeat pipes.
    if (!options_.name.empty()) {
        EnvManager::SetProcName(options_.name);
    }
    name_ = EnvManager::ProcName();
    for (const hbtools::ClientSpec& client : options_.clients) {
        if (!Watch(client)) {
            DisableAllCheckHeartBeat();
            return hbtools::kExitFailure;
        }
    }
    Configure();
    const std::string controlPath = hbtools::ControlPath(name_);
    const int controlRc = controlPath.empty() ? -ENAMETOOLONG
                                              : control_.Start(controlPath, [this](const std::string& request) {
                                                    hb::MutexLock lock(&shared_.mutex);
                                                    if (request == "json") {
                                                        return shared_.state.StatusJson(name_, NowMs()) + "\n";
                                                    }
                                                    if (request == "table") {
                                                        return shared_.state.StatusTable(name_, NowMs());
                                                    }
                                                    return std::string();
                                                });
    if (controlRc != 0) {
        std::fprintf(stderr, "heartbeat-monitor: no status queries: cannot listen at %s: %s\n",
                     controlPath.empty() ? "(no path for this name)" : controlPath.c_str(),
                     std::strerror(-controlRc));
    }
    OnSnapshot({}, NowMs(), true);
    nextSnapshotMs_ = NowMs() + kCycleMs;
    hbtools::Notify("READY=1");

    int64_t hookDueMs = -1;
    while (hbtools::StopSignal() == 0) {
        int64_t wait = nextSnapshotMs_ - NowMs();
        if (hookDueMs >= 0) {
            wait = std::min(wait, hookDueMs);
        }
        hbtools::WaitForWake(static_cast<int>(std::max<int64_t>(0, wait)));
        const bool reloaded = hbtools::TakeHangup();
        if (reloaded) {
            Reload();
        }
        std::vector<MonitorEvent> reports = TakeEvents();
        const int64_t now = NowMs();
        if (!reports.empty() || now >= nextSnapshotMs_ || reloaded) {
            OnSnapshot(std::move(reports), now, reloaded);
        }
        hookDueMs = hooks_.Poll(NowMs());
    }

    // Every pipe closed, so no socket file of ours is left; nothing is
    // reported after DisableAllCheckHeartBeat returns. Reports already queued
    // are still printed, without hooks; running hooks finish on their own.
    hbtools::Notify("STOPPING=1");
    control_.Stop();
    for (const auto& [name, gid] : std::map<std::string, uint32_t>(watched_)) {
        UnregisterCheckHeartBeat(name.c_str(), name.size());
    }
    DisableAllCheckHeartBeat();
    for (const MonitorEvent& event : TakeEvents()) {
        Print(event);
    }
    std::fflush(stdout);
    return hbtools::kExitOk;
}

}  // namespace

int main(int argc, char* argv[]) {
    hbtools::MonitorOptions options;
    const hbtools::ParseResult parsed = hbtools::ParseMonitorArgs(argc, argv, &options);
    const int finished = hbtools::FinishParse(parsed, "heartbeat-monitor", hbtools::MonitorUsage());
    if (finished >= 0) {
        return finished;
    }
    if (options.status) {
        return RunStatus(options);
    }
    Monitor monitor(argc, argv, std::move(options));
    return monitor.Run();
}
