#include "tools/monitor_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace hbtools {
namespace {

const char* StateName(uint32_t state) {
    switch (state) {
    case HEARTBEAT_CLIENT_ALIVE:
        return "alive";
    case HEARTBEAT_CLIENT_LOST:
        return "lost";
    default:
        return "waiting";
    }
}

// The name as the library copied it: NUL-terminated within its array, even
// if something went wrong on the way.
std::string NameOf(const HeartBeatClientStatus& status) {
    return std::string(status.name, strnlen(status.name, sizeof(status.name)));
}

const HeartBeatClientStatus* Find(const std::vector<HeartBeatClientStatus>& snapshot, const std::string& name) {
    for (const HeartBeatClientStatus& status : snapshot) {
        if (NameOf(status) == name) {
            return &status;
        }
    }
    return nullptr;
}

// A label value of the text exposition format: backslash, quote and newline
// escaped; every other byte as it is.
std::string LabelEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

ProcState ReadProcState(int32_t pid, int64_t lastHeartbeatAgeMs) {
    if (pid <= 0) {
        return ProcState::kGone;
    }
    struct timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ProcState::kGone;
    }
    // "pid (comm) S ppid ...": comm may hold ')' and spaces, so the fields
    // are counted from the last ')'. comm is at most 16 bytes and the 20
    // numbers up to the start time fit well inside this.
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (n <= 0) {
        return ProcState::kGone;
    }
    buffer[n] = '\0';
    const char* paren = strrchr(buffer, ')');
    if (paren == nullptr || paren[1] != ' ' || paren[2] == '\0') {
        return ProcState::kRunning;  // unreadable, but the process is there
    }
    const char state = paren[2];
    if (state == 'Z' || state == 'X') {
        return ProcState::kGone;
    }
    // Field 22, the start time in clock ticks since boot: 18 spaces on from
    // the one before field 4.
    const char* field = paren + 3;
    for (int i = 0; i < 18 && field != nullptr; ++i) {
        field = strchr(field + 1, ' ');
    }
    if (field != nullptr && lastHeartbeatAgeMs >= 0) {
        const long ticks = sysconf(_SC_CLK_TCK);
        const unsigned long long started = strtoull(field + 1, nullptr, 10);
        const int64_t startedMs = ticks > 0 ? static_cast<int64_t>(started * 1000ULL / static_cast<unsigned long long>(ticks)) : 0;
        const int64_t beatMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 - lastHeartbeatAgeMs;
        if (startedMs > beatMs + 1000) {
            return ProcState::kGone;
        }
    }
    return state == 'T' || state == 't' ? ProcState::kStopped : ProcState::kRunning;
}

void MonitorState::Watch(const std::string& name, int64_t nowMs) {
    Client& client = clients_[name];
    client = Client();
    client.registeredMs = nowMs;
}

void MonitorState::Unwatch(const std::string& name) { clients_.erase(name); }

std::vector<MonitorEvent> MonitorState::Cycle(const std::vector<HeartBeatClientStatus>& snapshot, uint64_t cycles,
                                              std::vector<MonitorEvent> reports, int64_t nowMs, int64_t graceMs,
                                              const ProcLookup& lookup) {
    snapshot_ = snapshot;
    std::sort(snapshot_.begin(), snapshot_.end(),
              [](const HeartBeatClientStatus& a, const HeartBeatClientStatus& b) {
                  return strncmp(a.name, b.name, sizeof(a.name)) < 0;
              });
    cycles_ = cycles;
    snapshotMs_ = nowMs;

    for (MonitorEvent& report : reports) {
        if (report.kind != EventKind::kLost) {
            continue;
        }
        // A loss reported with a fresh heartbeat in the same cycle can only
        // be the watchdog flag's; a silent one is told apart by /proc.
        const HeartBeatClientStatus* status = Find(snapshot_, report.client);
        if (status != nullptr && status->watchDogFailed != 0 && status->silentCycles == 0) {
            report.cause = Cause::kWatchdog;
        } else {
            switch (lookup(report.pid, status != nullptr ? AgeMs(*status, nowMs) : -1)) {
            case ProcState::kGone:
                report.cause = Cause::kExited;
                break;
            case ProcState::kStopped:
                report.cause = Cause::kStopped;
                break;
            case ProcState::kRunning:
                report.cause = Cause::kHung;
                break;
            }
        }
        auto client = clients_.find(report.client);
        if (client != clients_.end()) {
            client->second.lastCause = report.cause;
        }
    }

    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    for (const HeartBeatClientStatus& status : snapshot_) {
        auto found = clients_.find(NameOf(status));
        if (found == clients_.end()) {
            continue;
        }
        Client& client = found->second;
        if (status.state == HEARTBEAT_CLIENT_WAITING) {
            if (!client.missing && nowMs - client.registeredMs >= graceMs) {
                client.missing = true;
                reports.push_back(MonitorEvent{EventKind::kMissing, found->first, 0, now, Cause::kNone});
            }
        } else if (client.missing) {
            client.missing = false;
            // Lost at once (its first heartbeat flagged a stalled thread):
            // the library's own loss says so, and its recovery follows later.
            if (status.state == HEARTBEAT_CLIENT_ALIVE) {
                reports.push_back(
                    MonitorEvent{EventKind::kRecovered, found->first, status.pid, now, Cause::kNone});
            }
        }
    }
    return reports;
}

int64_t MonitorState::AgeMs(const HeartBeatClientStatus& status, int64_t nowMs) const {
    if (status.lastHeartbeatAgeMs < 0) {
        return -1;
    }
    return status.lastHeartbeatAgeMs + std::max<int64_t>(0, nowMs - snapshotMs_);
}

Cause MonitorState::LastCause(const std::string& name) const {
    auto found = clients_.find(name);
    return found == clients_.end() ? Cause::kNone : found->second.lastCause;
}

std::string MonitorState::StatusJson(const std::string& monitorName, int64_t nowMs) const {
    std::string out = "{\"name\":\"" + JsonEscape(monitorName) + "\",\"cycles\":" + std::to_string(cycles_) +
                      ",\"clients\":[";
    for (const HeartBeatClientStatus& status : snapshot_) {
        const std::string name = NameOf(status);
        const int64_t age = AgeMs(status, nowMs);
        const Cause cause = LastCause(name);
        if (out.back() != '[') {
            out += ',';
        }
        out += "{\"name\":\"" + JsonEscape(name) + "\",\"group\":" + std::to_string(status.gid) +
               ",\"pid\":" + std::to_string(status.pid) + ",\"state\":\"" + StateName(status.state) +
               "\",\"heartbeats\":" + std::to_string(status.heartbeats) +
               ",\"silent_cycles\":" + std::to_string(status.silentCycles) +
               ",\"timeout_times\":" + std::to_string(status.timeoutTimes) +
               ",\"last_heartbeat_age_ms\":" + (age < 0 ? "null" : std::to_string(age)) +
               ",\"watchdog_failed\":" + (status.watchDogFailed != 0 ? "true" : "false") +
               ",\"losses\":" + std::to_string(status.losses) +
               ",\"recoveries\":" + std::to_string(status.recoveries) + ",\"last_cause\":" +
               (cause == Cause::kNone ? "null" : "\"" + std::string(CauseName(cause)) + "\"") + "}";
    }
    return out + "]}";
}

std::string MonitorState::StatusTable(const std::string& monitorName, int64_t nowMs) const {
    using Row = std::vector<std::string>;
    std::vector<Row> rows = {{"CLIENT", "STATE", "PID", "LAST HEARTBEAT", "SILENT", "LOSSES", "RECOVERIES",
                              "LAST CAUSE"}};
    for (const HeartBeatClientStatus& status : snapshot_) {
        const int64_t age = AgeMs(status, nowMs);
        char ageText[32] = "-";
        if (age >= 0) {
            std::snprintf(ageText, sizeof(ageText), "%" PRId64 ".%01" PRId64 "s ago", age / 1000,
                          age % 1000 / 100);
        }
        const Cause cause = LastCause(NameOf(status));
        rows.push_back({PlainEscape(NameOf(status)), StateName(status.state),
                        status.pid > 0 ? std::to_string(status.pid) : "-", ageText,
                        std::to_string(status.silentCycles) + "/" + std::to_string(status.timeoutTimes),
                        std::to_string(status.losses), std::to_string(status.recoveries),
                        cause == Cause::kNone ? "-" : CauseName(cause)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string out = PlainEscape(monitorName) + ": " + std::to_string(snapshot_.size()) + " clients, " +
                      std::to_string(cycles_) + " check cycles\n";
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

std::string MonitorState::Metrics(int64_t nowMs) const {
    std::string out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    const auto sample = [&out](const char* name, const std::string& labels, const std::string& value) {
        out += std::string(name) + "{" + labels + "} " + value + "\n";
    };
    const auto client = [](const HeartBeatClientStatus& status) {
        return "client=\"" + LabelEscape(NameOf(status)) + "\"";
    };

    family("heartbeat_client_up", "gauge", "1 when the client's heartbeats arrive, 0 when it is waiting or lost.");
    for (const HeartBeatClientStatus& status : snapshot_) {
        sample("heartbeat_client_up", client(status) + ",group=\"" + std::to_string(status.gid) + "\"",
               status.state == HEARTBEAT_CLIENT_ALIVE ? "1" : "0");
    }
    family("heartbeat_client_state", "gauge", "1 for the client's current state, 0 for the others.");
    for (const HeartBeatClientStatus& status : snapshot_) {
        for (uint32_t state : {HEARTBEAT_CLIENT_WAITING, HEARTBEAT_CLIENT_ALIVE, HEARTBEAT_CLIENT_LOST}) {
            sample("heartbeat_client_state", client(status) + ",state=\"" + StateName(state) + "\"",
                   status.state == state ? "1" : "0");
        }
    }
    family("heartbeat_client_losses_total", "counter", "Losses reported for the client.");
    for (const HeartBeatClientStatus& status : snapshot_) {
        sample("heartbeat_client_losses_total", client(status), std::to_string(status.losses));
    }
    family("heartbeat_client_recoveries_total", "counter", "Recoveries reported for the client.");
    for (const HeartBeatClientStatus& status : snapshot_) {
        sample("heartbeat_client_recoveries_total", client(status), std::to_string(status.recoveries));
    }
    // A client that never sent has no age: its sample is left out rather
    // than given a made-up value.
    family("heartbeat_client_last_heartbeat_age_seconds", "gauge",
           "Seconds since the client's last accepted heartbeat.");
    for (const HeartBeatClientStatus& status : snapshot_) {
        const int64_t age = AgeMs(status, nowMs);
        if (age >= 0) {
            char value[32];
            std::snprintf(value, sizeof(value), "%" PRId64 ".%03" PRId64, age / 1000, age % 1000);
            sample("heartbeat_client_last_heartbeat_age_seconds", client(status), value);
        }
    }
    family("heartbeat_monitor_cycles_total", "counter", "Check cycles run by the monitor's library.");
    out += "heartbeat_monitor_cycles_total " + std::to_string(cycles_) + "\n";
    return out;
}

}  // namespace hbtools
