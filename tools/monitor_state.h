// What heartbeat-monitor knows about its clients between check cycles: the
// library's last snapshot, the cause of each client's last loss and which
// clients were reported missing. From it come the causes and missing events
// of each cycle, the status document and the metrics file.
//
// Not thread-safe: the monitor guards its one instance with a lock.
#ifndef TOOLS_MONITOR_STATE_H_
#define TOOLS_MONITOR_STATE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "heartbeat_status.h"
#include "tools/monitor_events.h"

namespace hbtools {

// What /proc says about a process.
enum class ProcState { kGone, kStopped, kRunning };

// The state letter of /proc/<pid>/stat: kGone when the file is missing or the
// process is a zombie (it has exited, only its parent has not reaped it yet),
// kStopped for T and t, kRunning for anything else. pid <= 0 is kGone. With
// lastHeartbeatAgeMs >= 0, a process started after that heartbeat was sent
// (by more than a second) is another one that got the pid: kGone as well.
ProcState ReadProcState(int32_t pid, int64_t lastHeartbeatAgeMs);

class MonitorState {
public:
    using ProcLookup = std::function<ProcState(int32_t pid, int64_t lastHeartbeatAgeMs)>;

    // A client registered (again) at monotonic time nowMs; a new registration
    // starts its startup grace anew and forgets its last cause.
    void Watch(const std::string& name, int64_t nowMs);
    void Unwatch(const std::string& name);
    bool Watches(const std::string& name) const { return clients_.count(name) != 0; }

    // Takes the snapshot of a check cycle (`snapshot` with `cycles`, taken at
    // nowMs) and the library's reports that came with it, in their order.
    // Returns the events to print: the reports, each loss with its cause,
    // then missing clients (a waiting client registered graceMs ago or
    // earlier, reported once) and the recovery of a missing client that now
    // sends, in name order.
    std::vector<MonitorEvent> Cycle(const std::vector<HeartBeatClientStatus>& snapshot, uint64_t cycles,
                                    std::vector<MonitorEvent> reports, int64_t nowMs, int64_t graceMs,
                                    const ProcLookup& lookup);

    uint64_t Cycles() const { return cycles_; }

    // The status document: {"name":...,"cycles":N,"clients":[...]}, clients
    // in name order, ages as of nowMs. One line, no newline.
    std::string StatusJson(const std::string& monitorName, int64_t nowMs) const;
    // The same as a table for people, ending with a newline.
    std::string StatusTable(const std::string& monitorName, int64_t nowMs) const;
    // The Prometheus text exposition of the last snapshot, ending with a newline.
    std::string Metrics(int64_t nowMs) const;

private:
    struct Client {
        int64_t registeredMs = 0;
        bool missing = false;  // reported missing, no heartbeat since
        Cause lastCause = Cause::kNone;
    };
    // Age of the last heartbeat as of nowMs; -1 before the first.
    int64_t AgeMs(const HeartBeatClientStatus& status, int64_t nowMs) const;
    Cause LastCause(const std::string& name) const;

    std::map<std::string, Client> clients_;
    std::vector<HeartBeatClientStatus> snapshot_;  // in name order
    uint64_t cycles_ = 0;
    int64_t snapshotMs_ = 0;
};

}  // namespace hbtools

#endif  // TOOLS_MONITOR_STATE_H_
