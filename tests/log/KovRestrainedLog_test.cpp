#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline_config_center.h"
#include "kov_log.h"
#include "log/restrained_log_internal.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

// Each TEST runs in a fresh process, so the singleton starts absent in each.

void LogAt(int line, int kind = KOV_LOG_HEARTBEAT_RESTRAINED, const char* file = "sender.cpp") {
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "send failed %d\n", line);
}
size_t Printed(int line) { return log_capture::CountContaining("send failed " + std::to_string(line) + "\n"); }

TEST(RestrainedLogTest, EachThreadFileAndLinePrintsOnce) {
    // A call site whose key text (thread id, line, file) is over 255 characters
    // is dropped; one of exactly 255 is limited like any other.
    const std::string longest(255 - std::to_string(static_cast<unsigned long>(pthread_self())).size() - 2, 'x');
    for (int i = 0; i < 3; ++i) {
        for (int kind = 3; kind <= 9; ++kind) LogAt(kind, kind);
        LogAt(22, 7, i == 0 ? "sender.cpp" : "receiver.cpp");
        LogAt(5, 5, nullptr);  // no key: dropped
        LogAt(-1, 7, "f");
        LogAt(10, 7, longest.c_str());
        LogAt(11, 7, (longest + "x").c_str());
    }
    std::thread([] { LogAt(7); }).join();
    // Kind 3 is not limited; line 7 is logged on two threads.
    EXPECT_EQ(std::vector<size_t>({Printed(3), Printed(4), Printed(5), Printed(7), Printed(9), Printed(22),
                                   Printed(-1), Printed(10), Printed(11)}),
              std::vector<size_t>({3, 1, 1, 2, 1, 2, 1, 1, 0}));
    EXPECT_EQ(log_capture::CountContaining("[FAULTEVENT]["), 1u);  // kind 6
}

TEST(RestrainedLogTest, SwitchOffIsForGoodEvenAsTheFirstCallAndSparesThePlainKinds) {
    KovLogGetInstance(false);
    KovLogGetInstance(true);
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true), nullptr);
    for (int kind = 0; kind < 8; ++kind) LogAt(kind, kind);
    EXPECT_EQ(log_capture::CountContaining("send failed"), 4u);
}

std::atomic<int64_t> fakeNow{0};

TEST(RestrainedLogTest, WindowIs600SecondsFromTheLastPrintedLineIn32BitSeconds) {
    log_internal::SetRealtimeSecondsSource([] { return fakeNow.load(); });
    auto log = VeKov::KovRestrainedLog::GetInstance(true);
    // {key, now, expected}: key 1 walks the window, a clock set back an hour and
    // a clock narrowed to 32 bits; key 3 a difference that wraps in 32 bits;
    // key 5 a negative stored second, which never suppresses.
    constexpr int64_t k32 = int64_t{1} << 32, kMax = INT32_MAX;
    const int64_t steps[][3] = {
        {1, 1000000, 0}, {1, 1000599, -1}, {2, 1000599, 0}, {1, 1000600, 0}, {1, 1000600 - 3600, -1},
        {1, 1001199, -1}, {1, 1001200, 0}, {1, k32 + 1001200, -1}, {5, -100, 0}, {5, -100, 0},
        {5, k32 - 50, 0}, {3, kMax - 10, 0}, {3, kMax + 589, -1}, {3, kMax + 590, 0}, {1, k32 + 1001800, 0}};
    for (const auto& step : steps) {
        fakeNow = step[1];
        EXPECT_EQ(log->PrintTableInsert(static_cast<unsigned long>(step[0])), step[2]) << step[1];
    }
}

TEST(RestrainedLogTest, RacingFirstUsersShareOneTableAndOneKeyPrintsOnce) {
    std::vector<std::atomic<int>> printed(5000);
    auto race = [&printed] {
        auto log = VeKov::KovRestrainedLog::GetInstance(true);
        for (size_t key = 0; key < printed.size(); ++key) printed[key] += log->PrintTableInsert(key) == 0;
    };
    std::thread a(race), b(race), c(race);
    race();
    a.join(), b.join(), c.join();
    for (const auto& n : printed) ASSERT_EQ(n, 1);
}

std::atomic<long> iterations{0};

// Threads keep logging rate-limited lines and asking the boot configuration
// centre while the process exits: after the singletons' guards are destroyed,
// the rate limit is gone and the centre hands out a fresh fallback per call.
TEST(RestrainedLogTest, ExitWhileThreadsLogAndAskTheCentre) {
    EXPECT_EQ(child_process::Run([]() -> int {
                  atexit([] {  // registered before the singletons exist: runs after their teardown
                      for (const long target = iterations + 2000; iterations < target;) usleep(1000);
                      auto first = VeKov::CmdlineConfigCenter::GetInstance(true);
                      if (VeKov::KovRestrainedLog::GetInstance(true) != nullptr ||
                          dynamic_cast<VeKov::CmdlineInvalidCenter*>(first.get()) == nullptr ||
                          first == VeKov::CmdlineConfigCenter::GetInstance(true)) {
                          _exit(1);
                      }
                  });
                  for (int t = 0; t < 4; ++t) {
                      std::thread([] {
                          for (int line = 0;; line = (line + 1) % 64, ++iterations) {
                              LogAt(line);
                              VeKov::CmdlineConfigCenter::GetInstance(true)->GetKovReadyTimeout();
                          }
                      }).detach();
                  }
                  while (iterations < 5000) usleep(1000);
                  exit(Printed(0) > 0 ? 0 : 2);  // the workers keep running
              }),
              0);
}

}  // namespace
