// The events of heartbeat-monitor: how they are printed and what a hook
// command finds in its environment.
#ifndef TOOLS_MONITOR_EVENTS_H_
#define TOOLS_MONITOR_EVENTS_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace hbtools {

// lost and recovered come from the library; missing is the monitor's own (a
// watched client that sent no first heartbeat within the startup grace), and
// such a client's first heartbeat is reported as recovered.
enum class EventKind { kLost, kRecovered, kMissing };

// Why a client was lost, found by the monitor when the loss is reported.
enum class Cause {
    kNone,      // not a loss
    kExited,    // its process is gone (or a zombie)
    kStopped,   // its process is stopped (state T or t)
    kHung,      // its process exists and runs, but sends nothing
    kWatchdog,  // its heartbeats arrive flagged: a watched thread stalled
};

struct MonitorEvent {
    EventKind kind = EventKind::kLost;
    std::string client;
    int32_t pid = 0;            // as the library reported it; 0 for a re-registered client
    struct timespec time = {};  // CLOCK_REALTIME when the library reported it
    Cause cause = Cause::kNone;
};

// "lost", "recovered" or "missing": the value of HEARTBEAT_EVENT and of "event".
const char* EventName(EventKind kind);
// "exited", "stopped", "hung", "watchdog"; "" for kNone.
const char* CauseName(Cause cause);

// UTC, ISO 8601 with milliseconds: "2024-03-01T12:00:05.042Z".
std::string FormatUtcTime(const struct timespec& time);

// One line without its newline. Plain: "<time> <event> <client> pid=<pid>"
// and " cause=<cause>" for a loss, the client name escaped by PlainEscape.
// JSON: {"time":"<time>","event":"<event>","client":"<client>","pid":<pid>}
// with a "cause" member for a loss; any byte sequence gives valid JSON.
std::string FormatEvent(const MonitorEvent& event, bool json);

// A JSON string literal's content for `text`: quote, backslash and control
// characters escaped, bytes of 0x80 and above passed through.
std::string JsonEscape(const std::string& text);

// A name as one word of a plain line: backslash as "\\", space, DEL and
// control characters as "\xHH"; everything else as it is. A client name is
// chosen by whoever registers it, so without this a name could end a line
// and forge the next one.
std::string PlainEscape(const std::string& text);

// The environment of a hook command: `base` (NAME=VALUE entries, e.g. from
// environ) without any HEARTBEAT_EVENT, HEARTBEAT_CLIENT, HEARTBEAT_PID or
// HEARTBEAT_CAUSE it had, followed by those for `event` (HEARTBEAT_CAUSE
// only for a loss).
std::vector<std::string> HookEnvironment(const MonitorEvent& event, const char* const* base);

}  // namespace hbtools

#endif  // TOOLS_MONITOR_EVENTS_H_
