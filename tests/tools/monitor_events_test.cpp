#include "tools/monitor_events.h"

#include <gtest/gtest.h>

#include <algorithm>

using hbtools::EventKind;
using hbtools::MonitorEvent;

namespace {

MonitorEvent Event(EventKind kind, const std::string& client, int32_t pid) {
    MonitorEvent event;
    event.kind = kind;
    event.client = client;
    event.pid = pid;
    event.time.tv_sec = 1709294405;  // 2024-03-01T12:00:05Z
    event.time.tv_nsec = 42999999;
    return event;
}

}  // namespace

TEST(MonitorEventsTest, PrintsPlainAndJsonLines) {
    EXPECT_EQ(hbtools::FormatEvent(Event(EventKind::kLost, "camera", 812), false),
              "2024-03-01T12:00:05.042Z lost camera pid=812");
    EXPECT_EQ(hbtools::FormatEvent(Event(EventKind::kRecovered, "camera", 0), true),
              R"({"time":"2024-03-01T12:00:05.042Z","event":"recovered","client":"camera","pid":0})");
}

TEST(MonitorEventsTest, JsonEscapesEveryByteThatWouldBreakTheLine) {
    const std::string name = std::string("a\"b\\c\nd\te\x01") + '\x7f' + "\xc3\xa9";
    EXPECT_EQ(hbtools::JsonEscape(name), "a\\\"b\\\\c\\nd\\te\\u0001\\u007f\xc3\xa9");
    const std::string line = hbtools::FormatEvent(Event(EventKind::kLost, name, 1), true);
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(MonitorEventsTest, HookEnvironmentReplacesInheritedHeartbeatVariables) {
    const char* base[] = {"PATH=/bin", "HEARTBEAT_CLIENT=stale", "HEARTBEAT_PIDX=kept",
                          "HEARTBEAT_EVENT=stale", nullptr};
    const std::vector<std::string> env =
        hbtools::HookEnvironment(Event(EventKind::kRecovered, "radio", 77), base);
    EXPECT_EQ(env, (std::vector<std::string>{"PATH=/bin", "HEARTBEAT_PIDX=kept", "HEARTBEAT_EVENT=recovered",
                                             "HEARTBEAT_CLIENT=radio", "HEARTBEAT_PID=77"}));
    EXPECT_EQ(hbtools::HookEnvironment(Event(EventKind::kLost, "x", 1), nullptr).size(), 3U);
}
