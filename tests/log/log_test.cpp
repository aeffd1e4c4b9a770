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

// The one line written by KovSyslog(kind, LOG_ERR, line, file, "%s", message), else how many were.
std::string LineOf(int kind, const char* file, const std::string& message, int line = 1) {
    log_capture::Clear();
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "%s", message.c_str());
    const auto lines = log_capture::Lines();
    return lines.size() == 1 ? lines[0].text : std::to_string(lines.size()) + " lines";
}

TEST(KovSyslogTest, WritesThePrefixThenTheMessageIn254CharactersAtMostAlsoInAForkedChild) {
    EnvManager::SetProcName("logtest");
    const std::string ids = std::to_string(getpid()) + R"(\]\[)" + std::to_string(pthread_self()) + R"(\]\[)";
    const std::string tags[] = {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"};  // kinds 4..7 print those of 0..3
    for (int kind = 0; kind < 8; ++kind) {
        // A rate-limited line needs a file; each kind has its own line, as the limit ignores the kind.
        const char* file = kind >= 3 ? "checkheart" : nullptr;
        const int line = file != nullptr ? 430 + kind : -7;
        const std::regex expected(R"(\[)" + tags[kind % 4] + R"(\]\[logtest\]\[\d\d:\d\d:\d\d\.\d{6}\]\[)" + ids +
                                  (file ? file : "UnknowFile") + ":" + std::to_string(line) + R"(\] 100%s\n)");
        EXPECT_TRUE(std::regex_match(LineOf(kind, file, "100%s\n", line), expected)) << kind;
    }
    EXPECT_EQ(child_process::Run([] {  // the pid is the caller's own, in a forked child too
                  return LineOf(KOV_LOG_KOV, "f", "").find("][" + std::to_string(getpid()) + "][") == std::string::npos;
              }),
              0);

    // Long or bad input degrades the line, which never exceeds 254 characters.
    const size_t prefix = LineOf(KOV_LOG_KOV, "f", "").size();
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", nullptr);
    EXPECT_EQ(log_capture::MessageOf(log_capture::Lines().back().text), "F");
    EXPECT_EQ(log_capture::MessageOf(LineOf(KOV_LOG_KOV, "f", std::string(300, 'a'))), "F");
    EXPECT_EQ(log_capture::MessageOf(LineOf(KOV_LOG_KOV, "f", std::string(254, 'm'))), std::string(254 - prefix, 'm'));
    // Kinds outside the table, and a prefix that does not fit, print the message alone.
    EXPECT_EQ(LineOf(8, "f", "bare"), "bare");
    EXPECT_EQ(LineOf(-3, "f", std::string(255, 'b')), std::string(254, 'b'));
    EXPECT_EQ(LineOf(KOV_LOG_KOV, std::string(250, 'x').c_str(), "alone"), "alone");
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

void LogAt(int line, int kind = KOV_LOG_HEARTBEAT_RESTRAINED, const char* file = "sender.cpp") {
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "send failed %d\n", line);
}
size_t Printed(int line) { return log_capture::CountContaining("send failed " + std::to_string(line) + "\n"); }

TEST(RestrainedLogTest, SwitchOffIsForGoodEvenAsTheFirstCallAndSparesThePlainKinds) {
    KovLogGetInstance(false);
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true), nullptr);  // asking for it does not bring it back
    for (int kind = 0; kind < 8; ++kind) LogAt(kind, kind);
    EXPECT_EQ(log_capture::CountContaining("send failed"), 4u);
}

std::atomic<int64_t> fakeNow{0};

// Every call site (thread, file and line) prints at most once in 600 seconds.
TEST(RestrainedLogTest, EachThreadFileAndLinePrintsOnceIn600SecondsFromItsLastLine) {
    log_internal::SetRealtimeSecondsSource([] { return fakeNow.load(); });
    // A call site whose key text (thread id, line, file) is over 255 characters
    // is dropped; one of exactly 255 is limited like any other.
    const std::string longest(255 - std::to_string(pthread_self()).size() - 2, 'x');
    for (int i = 0; i < 3; ++i) {
        for (int kind = 3; kind <= 9; ++kind) LogAt(kind, kind);
        LogAt(22, 7, i == 0 ? "sender.cpp" : "receiver.cpp");
        LogAt(5, 5, nullptr);  // no key: dropped
        LogAt(10, 7, longest.c_str());
        LogAt(11, 7, (longest + "x").c_str());
    }
    std::thread([] { LogAt(7); }).join();
    // {line, lines printed}: kind 3 is not limited; line 7 is logged on two threads, line 22 from two files.
    const struct { int line; size_t n; } sites[] = {{3, 3}, {4, 1}, {5, 1}, {7, 2}, {9, 1}, {22, 2}, {10, 1}, {11, 0}};
    for (const auto& site : sites) EXPECT_EQ(Printed(site.line), site.n) << site.line;

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
        EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true)->PrintTableInsert(step[0]), step[2]) << step[1];
    }
}

TEST(RestrainedLogTest, RacingFirstUsersShareOneTableAndOneKeyPrintsOnce) {
    std::vector<std::atomic<int>> printed(5000);
    auto race = [&printed] {
        auto log = VeKov::KovRestrainedLog::GetInstance(true);
        for (size_t key = 0; key < printed.size(); ++key) printed[key] += log->PrintTableInsert(key) == 0;
    };
    std::thread a(race), b(race), c(race);
    race(), a.join(), b.join(), c.join();
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
                      const bool fallback = dynamic_cast<VeKov::CmdlineInvalidCenter*>(first.get()) != nullptr;
                      _exit(fallback && first != VeKov::CmdlineConfigCenter::GetInstance(true) && Printed(0) > 0 &&
                            VeKov::KovRestrainedLog::GetInstance(true) == nullptr ? 0 : 1);
                  });
                  const auto work = [] {
                      for (int line = 0;; line = (line + 1) % 64, ++iterations) {
                          LogAt(line), VeKov::CmdlineConfigCenter::GetInstance(true)->GetKovReadyTimeout();
                      }
                  };
                  for (int t = 0; t < 4; ++t) std::thread(work).detach();
                  while (iterations < 5000) usleep(1000);
                  exit(0);  // the workers keep running; the handler above gives the verdict
              }),
              0);
}

// A verdict as the number of lines left out before the line it lets through, or -1 when it refuses the line.
int64_t Left(hb::TokenBucketTable::Verdict v) { return v.write ? int64_t{v.suppressed} : -1; }

TEST(TokenBucketTest, BurstThenOnePerPeriodCountingWhatWasLeftOutInABoundedTable) {
    hb::TokenBucketTable wide(10, 1000, 8), narrow(1, 1000, 2);
    // {table, key, now (ms), times, Left() of each take}. Wide: the burst; empty until a period has passed;
    // another key has its own bucket; one token back, two were refused; a clock going back gives nothing;
    // refilled to the burst, no more. Narrow: key 7 takes over key 2's refilled bucket, not key 1's older
    // one, which keeps its refused count; then key 8 takes over key 1's, not key 7's.
    const struct { hb::TokenBucketTable* table; uint64_t key, now; int times; int64_t left; } takes[] = {
        {&wide, 1, 5000, 10, 0}, {&wide, 1, 5000, 1, -1}, {&wide, 1, 5999, 1, -1}, {&wide, 2, 5999, 1, 0},
        {&wide, 1, 6000, 1, 2}, {&wide, 1, 6500, 1, -1}, {&wide, 1, 7000, 1, 1}, {&wide, 1, 7000, 1, -1},
        {&wide, 1, 3000, 1, -1}, {&wide, 1, 60000, 1, 2}, {&wide, 1, 60000, 9, 0}, {&wide, 1, 60000, 1, -1},
        {&narrow, 1, 0, 1, 0}, {&narrow, 1, 0, 1, -1}, {&narrow, 2, 500, 1, 0}, {&narrow, 7, 2000, 1, 0},
        {&narrow, 1, 2000, 1, 1}, {&narrow, 7, 2000, 1, -1}, {&narrow, 8, 3500, 1, 0}, {&narrow, 7, 3500, 1, 1}};
    for (const auto& t : takes) {
        for (int i = 0; i < t.times; ++i) EXPECT_EQ(Left(t.table->Take(t.key, t.now)), t.left) << t.key << "@" << t.now;
    }
    for (uint64_t key = 3; key < 100000; ++key) narrow.Take(key, 2000 + key % 7);
    EXPECT_EQ(narrow.Size(), 2u);
}

}  // namespace
