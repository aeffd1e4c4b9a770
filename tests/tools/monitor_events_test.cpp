#include "tools/monitor_events.h"

#include <gtest/gtest.h>

namespace {

TEST(MonitorEventsTest, PrintsPlainAndEscapedJsonLinesAndHookEnvironments) {
    hbtools::MonitorEvent event{hbtools::EventKind::kLost, "camera", 812, {1709294405, 42999999},
                                hbtools::Cause::kStopped};
    EXPECT_EQ(hbtools::FormatEvent(event, false), "2024-03-01T12:00:05.042Z lost camera pid=812 cause=stopped");
    EXPECT_EQ(hbtools::FormatEvent(event, true), "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"lost\","
                                                 "\"client\":\"camera\",\"pid\":812,\"cause\":\"stopped\"}");
    event.kind = hbtools::EventKind::kRecovered;
    event.cause = hbtools::Cause::kNone;
    event.client = std::string("a\"b\\c\nd\te\x01") + '\x7f' + " \xc3\xa9";
    EXPECT_EQ(hbtools::FormatEvent(event, true),
              "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"recovered\","
              "\"client\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f \xc3\xa9\",\"pid\":812}");
    // One word, one line, and the escapes themselves cannot be forged.
    EXPECT_EQ(hbtools::FormatEvent(event, false),
              "2024-03-01T12:00:05.042Z recovered a\"b\\\\c\\x0ad\\x09e\\x01\\x7f\\x20\xc3\xa9 pid=812");
    const char* base[] = {"PATH=/bin", "HEARTBEAT_CLIENT=stale", "HEARTBEAT_CAUSE=stale", nullptr};
    event.client = "radio";
    EXPECT_EQ(hbtools::HookEnvironment(event, base),
              (std::vector<std::string>{"PATH=/bin", "HEARTBEAT_EVENT=recovered",
                                        "HEARTBEAT_CLIENT=radio", "HEARTBEAT_PID=812"}));
    event.kind = hbtools::EventKind::kLost;
    event.cause = hbtools::Cause::kWatchdog;
    EXPECT_EQ(hbtools::HookEnvironment(event, base).back(), "HEARTBEAT_CAUSE=watchdog");
}

}  // namespace
