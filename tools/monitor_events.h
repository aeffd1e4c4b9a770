// The loss and recovery events of heartbeat-monitor: how they are printed and
// what a hook command finds in its environment.
#ifndef TOOLS_MONITOR_EVENTS_H_
#define TOOLS_MONITOR_EVENTS_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace hbtools {

enum class EventKind { kLost, kRecovered };

struct MonitorEvent {
    EventKind kind = EventKind::kLost;
    std::string client;
    int32_t pid = 0;            // as the library reported it; 0 for a re-registered client
    struct timespec time = {};  // CLOCK_REALTIME when the library reported it
};

// "lost" or "recovered": the value of HEARTBEAT_EVENT and of "event".
const char* EventName(EventKind kind);

// UTC, ISO 8601 with milliseconds: "2024-03-01T12:00:05.042Z".
std::string FormatUtcTime(const struct timespec& time);

// One line without its newline. Plain: "<time> <event> <client> pid=<pid>".
// JSON: {"time":"<time>","event":"<event>","client":"<client>","pid":<pid>},
// with the client name escaped so that any byte sequence gives valid JSON.
std::string FormatEvent(const MonitorEvent& event, bool json);

// A JSON string literal's content for `text`: quote, backslash and control
// characters escaped, bytes of 0x80 and above passed through.
std::string JsonEscape(const std::string& text);

// The environment of a hook command: `base` (NAME=VALUE entries, e.g. from
// environ) without any HEARTBEAT_EVENT, HEARTBEAT_CLIENT or HEARTBEAT_PID it
// had, followed by those three for `event`.
std::vector<std::string> HookEnvironment(const MonitorEvent& event, const char* const* base);

}  // namespace hbtools

#endif  // TOOLS_MONITOR_EVENTS_H_
