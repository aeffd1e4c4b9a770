#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline_config_center.h"
#include "env_manager.h"
#include "kov_log.h"
#include "log/restrained_log_internal.h"
#include "log/token_bucket.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

// Each TEST runs in a fresh process: the rate limit's singleton starts absent.

// The one line written by KovSyslog(kind, LOG_ERR, line, file, "%s", message).
std::string LineOf(int kind, const char* file, const std::string& message, int line = 1) {
    log_capture::Clear();
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "%s", message.c_str());
    const auto lines = log_capture::Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? "" : lines[0].text;
}

TEST(KovSyslogTest, WritesTheFullPrefixThenTheMessageAlsoInAForkedChild) {
    EnvManager::SetProcName("logtest");
    const std::string ids = std::to_string(getpid()) + R"(\]\[)" + std::to_string(pthread_self());
    const std::string tags[] = {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"};  // kinds 4..7 print those of 0..3
    for (int kind = 0; kind < 8; ++kind) {
        // A rate-limited line needs a file; each kind has its own line, as the limit ignores the kind.
        const bool named = kind >= 3;
        const std::regex line(R"(\[)" + tags[kind % 4] + R"(\]\[logtest\]\[\d\d:\d\d:\d\d\.\d{6}\]\[)" + ids +
                              (named ? R"(\]\[checkheart:43)" + std::to_string(kind) + R"(\] 100%s\n)"
                                     : R"(\]\[UnknowFile:-7\] 100%s\n)"));
        EXPECT_TRUE(std::regex_match(LineOf(kind, named ? "checkheart" : nullptr, "100%s\n", named ? 430 + kind : -7),
                                     line))
            << kind;
    }
    EXPECT_EQ(child_process::Run([] {  // the pid is the caller's own, in a forked child too
                  return LineOf(KOV_LOG_KOV, "f", "").find("][" + std::to_string(getpid()) + "][") == std::string::npos;
              }),
              0);
}

TEST(KovSyslogTest, WritesOnlyUpToNoticeAtThatPriorityAndKeepsErrno) {
    for (int level = 0; level <= LOG_DEBUG; ++level) {
        errno = ENOSPC;  // the capturing syslog() sets EIO, as the real one may
        KovSyslog(KOV_LOG_KOV, level, 1, "f", "level %d", level);
        EXPECT_EQ(errno, ENOSPC);
    }
    ASSERT_EQ(log_capture::Lines().size(), 6u);
    for (int level = 0; level <= LOG_NOTICE; ++level) EXPECT_EQ(log_capture::Lines()[level].priority, level);
}

TEST(KovSyslogTest, LongOrBadInputDegradesTheLine) {
    const size_t prefix = LineOf(KOV_LOG_KOV, "f", "").size();
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", nullptr);
    EXPECT_EQ(log_capture::MessageOf(log_capture::Lines().back().text), "F");
    EXPECT_EQ(log_capture::MessageOf(LineOf(KOV_LOG_KOV, "f", std::string(300, 'a'))), "F");
    const std::string cut = LineOf(KOV_LOG_KOV, "f", std::string(254, 'm'));
    EXPECT_EQ(log_capture::MessageOf(cut), std::string(254 - prefix, 'm'));  // 254 characters in all
    // Kinds outside the table, and a prefix that does not fit, print the message alone.
    EXPECT_EQ(LineOf(8, "f", "bare"), "bare");
    EXPECT_EQ(LineOf(-3, "f", std::string(255, 'b')), std::string(254, 'b'));
    EXPECT_EQ(LineOf(KOV_LOG_KOV, std::string(250, 'x').c_str(), "alone"), "alone");
}

void LogAt(int line, int kind = KOV_LOG_HEARTBEAT_RESTRAINED, const char* file = "sender.cpp") {
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "send failed %d\n", line);
}
size_t Printed(int line) { return log_capture::CountContaining("send failed " + std::to_string(line) + "\n"); }

TEST(RestrainedLogTest, EachThreadFileAndLinePrintsOnce) {
    // A call site whose key text (thread id, line, file) is over 255 characters
    // is dropped; one of exactly 255 is limited like any other.
    const std::string longest(255 - std::to_string(pthread_self()).size() - 2, 'x');
    for (int i = 0; i < 3; ++i) {
        for (int kind = 3; kind <= 9; ++kind) LogAt(kind, kind);
        LogAt(22, 7, i == 0 ? "sender.cpp" : "receiver.cpp");
        LogAt(5, 5, nullptr);  // no key: dropped
        LogAt(-1, 7, "f");
        LogAt(10, 7, longest.c_str());
        LogAt(11, 7, (longest + "x").c_str());
    }
    std::thread([] { LogAt(7); }).join();
    // Kind 3 is not limited; line 7 is logged on two threads, line 22 from two files.
    EXPECT_EQ(std::vector<size_t>({Printed(3), Printed(4), Printed(5), Printed(7), Printed(9), Printed(22),
                                   Printed(-1), Printed(10), Printed(11)}),
              std::vector<size_t>({3, 1, 1, 2, 1, 2, 1, 1, 0}));
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

// Takes `times` tokens of `key` at `now` (ms); each must get the verdict (write, suppressed).
struct Take { uint64_t key, now; int times; bool write; uint32_t suppressed; };
void Expect(hb::TokenBucketTable& table, std::initializer_list<Take> takes) {
    for (const Take& t : takes) {
        for (int i = 0; i < t.times; ++i) {
            const hb::TokenBucketTable::Verdict v = table.Take(t.key, t.now);
            EXPECT_TRUE(v.write == t.write && v.suppressed == t.suppressed) << t.key << " at " << t.now;
        }
    }
}

TEST(TokenBucketTest, BurstThenOnePerPeriodWithTheCountOfWhatWasLeftOut) {
    hb::TokenBucketTable table(10, 1000, 8);
    // The burst; empty until a period has passed; another key has its own
    // bucket; one token back, two were refused; a clock going back gives
    // nothing; refilled to the burst, no more.
    Expect(table, {{1, 5000, 10, true, 0}, {1, 5000, 1, false, 0}, {1, 5999, 1, false, 0},
                   {2, 5999, 1, true, 0}, {1, 6000, 1, true, 2}, {1, 6500, 1, false, 0},
                   {1, 7000, 1, true, 1}, {1, 7000, 1, false, 0}, {1, 3000, 1, false, 0},
                   {1, 60000, 1, true, 2}, {1, 60000, 9, true, 0}, {1, 60000, 1, false, 0}});
}

TEST(TokenBucketTest, TableStaysBoundedAndGivesUpIdleBucketsFirst) {
    hb::TokenBucketTable table(1, 1000, 2);
    // Key 7 takes over key 2's refilled bucket, not key 1's older one, which keeps its refused count.
    Expect(table, {{1, 0, 1, true, 0}, {1, 0, 1, false, 0}, {2, 500, 1, true, 0},
                   {7, 2000, 1, true, 0}, {1, 2000, 1, true, 1}});
    for (uint64_t key = 3; key < 100000; ++key) table.Take(key, 2000 + key % 7);
    EXPECT_EQ(table.Size(), 2u);
}

}  // namespace
