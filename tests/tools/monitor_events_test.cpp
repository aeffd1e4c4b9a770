#include "tools/monitor_events.h"

#include <gtest/gtest.h>

namespace {

TEST(MonitorEventsTest, PrintsPlainAndEscapedJsonLinesAndHookEnvironments) {
    hbtools::MonitorEvent event{hbtools::EventKind::kLost, "camera", 812, {1709294405, 42999999}};
    EXPECT_EQ(hbtools::FormatEvent(event, false), "2024-03-01T12:00:05.042Z lost camera pid=812");
    event.kind = hbtools::EventKind::kRecovered;
    event.client = std::string("a\"b\\c\nd\te\x01") + '\x7f' + "\xc3\xa9";
    EXPECT_EQ(hbtools::FormatEvent(event, true),
              "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"recovered\","
              "\"client\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f\xc3\xa9\",\"pid\":812}");
    const char* base[] = {"PATH=/bin", "HEARTBEAT_CLIENT=stale", nullptr};
    event.client = "radio";
    EXPECT_EQ(hbtools::HookEnvironment(event, base),
              (std::vector<std::string>{"PATH=/bin", "HEARTBEAT_EVENT=recovered",
                                        "HEARTBEAT_CLIENT=radio", "HEARTBEAT_PID=812"}));
}

}  // namespace
