// The hook commands of heartbeat-monitor (--on-lost, --on-recovered).
//
// A hook runs with /bin/sh -c in a process group of its own, so that the
// whole group can be killed when it overstays --hook-timeout. Hooks of
// different clients run side by side (up to kMaxRunning at once); a client's
// hooks run one after another, at most one per client per check cycle, and
// while one runs at most one more waits (a newer event replaces it), so a
// flapping client or a hanging hook cannot pile up work. Events are printed
// before their hooks are even queued: no hook ever delays an event line.
#ifndef TOOLS_MONITOR_HOOKS_H_
#define TOOLS_MONITOR_HOOKS_H_

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "tools/monitor_events.h"

namespace hbtools {

class HookRunner {
public:
    static constexpr size_t kMaxRunning = 8;

    // The commands (empty: none) and the time limit of hooks started from now on.
    // A missing client runs the --on-lost command (HEARTBEAT_EVENT=missing).
    void Configure(const std::string& onLost, const std::string& onRecovered, int64_t timeoutMs);

    // Queues the hook of `event`, reported in check cycle `cycle`.
    void Add(const MonitorEvent& event, uint64_t cycle);

    // Reaps finished hooks, kills the groups of those past their time and
    // starts waiting ones. Returns the milliseconds until the next time limit
    // (-1: none runs); call again by then or when a child ended.
    int64_t Poll(int64_t nowMs);

    // Kills every running hook's group and forgets waiting ones.
    void KillAll();

private:
    struct Running {
        pid_t pid = 0;
        int64_t deadlineMs = 0;
        EventKind kind = EventKind::kLost;
    };
    struct Client {
        uint64_t lastCycle = UINT64_MAX;  // cycle of the last event taken
        bool waiting = false;
        MonitorEvent next;
        Running running;
    };
    const std::string& CommandFor(EventKind kind) const;
    void Start(const std::string& name, Client* client, int64_t nowMs);

    std::string onLost_;
    std::string onRecovered_;
    int64_t timeoutMs_ = 10000;
    size_t running_ = 0;
    std::map<std::string, Client> clients_;
    std::deque<std::string> order_;  // clients with a waiting hook, oldest first
};

}  // namespace hbtools

#endif  // TOOLS_MONITOR_HOOKS_H_
