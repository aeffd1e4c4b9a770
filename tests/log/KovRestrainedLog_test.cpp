#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "env_manager.h"
#include "kov_log.h"
#include "log/restrained_log_internal.h"
#include "support/log_capture.h"

namespace {

// Each TEST runs in a fresh process, so the singleton starts absent in each.

std::atomic<int64_t> fakeNow{0};
int64_t FakeNow() { return fakeNow.load(); }

class RestrainedLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnvManager::SetProcName("ratetest");
        log_capture::Clear();
    }
    void TearDown() override { log_internal::SetRealtimeSecondsSource(nullptr); }

    static void UseFakeClock(int64_t now) {
        fakeNow = now;
        log_internal::SetRealtimeSecondsSource(&FakeNow);
    }

    static void LogAt(int line, KOVLogType kind = KOV_LOG_HEARTBEAT_RESTRAINED, const char* file = "sender.cpp") {
        KovSyslog(kind, LOG_ERR, line, file, "send failed %d\n", line);
    }

    static void OnOtherThread(const std::function<void()>& body) { std::thread(body).join(); }
};

TEST_F(RestrainedLogTest, CallSitePrintsOncePerThreadFileAndLine) {
    for (int i = 0; i < 5; ++i) {
        LogAt(12);
    }
    EXPECT_EQ(log_capture::CountMessage("send failed 12\n"), 1u);

    LogAt(22);                              // another line of the same file
    LogAt(12, KOV_LOG_HEARTBEAT_RESTRAINED, "receiver.cpp");  // another file
    OnOtherThread([] { LogAt(12); });       // another thread at the same place
    EXPECT_EQ(log_capture::CountMessage("send failed 12\n"), 3u);
    EXPECT_EQ(log_capture::CountMessage("send failed 22\n"), 1u);
}

TEST_F(RestrainedLogTest, RateLimitedKindsPrintTheTagsOfTheirPlainKinds) {
    const char* tags[] = {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"};
    for (int kind = 4; kind < 8; ++kind) {
        log_capture::Clear();
        LogAt(100 + kind, static_cast<KOVLogType>(kind));
        auto lines = log_capture::Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text.rfind(std::string("[") + tags[kind - 4] + "][ratetest][", 0), 0u);
    }
    // Kinds 0..3 are never limited; kinds above 7 are limited and unprefixed.
    log_capture::Clear();
    for (int i = 0; i < 3; ++i) {
        LogAt(7, KOV_LOG_HEARTBEAT);
        LogAt(8, static_cast<KOVLogType>(9));
    }
    EXPECT_EQ(log_capture::CountContaining("send failed 7\n"), 3u);
    EXPECT_EQ(log_capture::CountContaining("send failed 8\n"), 1u);
    EXPECT_EQ(log_capture::CountContaining("sender.cpp:8]"), 0u);
}

TEST_F(RestrainedLogTest, NullFileDropsTheLine) {
    LogAt(5, KOV_LOG_KOV_RESTRAINED, nullptr);
    EXPECT_TRUE(log_capture::Lines().empty());
    LogAt(5, KOV_LOG_KOV, nullptr);  // the plain kind still prints it
    EXPECT_EQ(log_capture::CountContaining("[UnknowFile:5] send failed 5"), 1u);
}

TEST_F(RestrainedLogTest, SwitchedOffDropsRateLimitedKindsForGood) {
    LogAt(1);
    KovLogGetInstance(false);
    KovLogGetInstance(true);  // there is no way back
    for (int kind = 4; kind < 8; ++kind) {
        LogAt(200 + kind, static_cast<KOVLogType>(kind));
    }
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true), nullptr);
    for (int kind = 0; kind < 4; ++kind) {
        LogAt(300 + kind, static_cast<KOVLogType>(kind));
    }
    auto lines = log_capture::Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(log_capture::MessageOf(lines[0].text), "send failed 1\n");
    for (int kind = 0; kind < 4; ++kind) {
        EXPECT_EQ(log_capture::MessageOf(lines[1 + kind].text), "send failed " + std::to_string(300 + kind) + "\n");
    }
}

TEST_F(RestrainedLogTest, SwitchOffAsTheVeryFirstCall) {
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(false), nullptr);
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true), nullptr);
    LogAt(3);
    EXPECT_TRUE(log_capture::Lines().empty());
}

TEST_F(RestrainedLogTest, InstanceIsOneObjectUntilSwitchedOff) {
    auto first = VeKov::KovRestrainedLog::GetInstance(true);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(VeKov::KovRestrainedLog::GetInstance(true), first);
    // A copy taken before the switch-off keeps working.
    VeKov::KovRestrainedLog::GetInstance(false);
    EXPECT_EQ(first->PrintTableInsert(42), 0);
    EXPECT_EQ(first->PrintTableInsert(42), -1);
}

TEST_F(RestrainedLogTest, CallSiteKeyHashesThreadLineAndFile) {
    const std::string thread = std::to_string(static_cast<unsigned long>(pthread_self()));
    unsigned long key = 0;
    ASSERT_TRUE(log_internal::CallSiteKey(432, "checkheart", &key));
    EXPECT_EQ(key, std::hash<std::string>{}(thread + "432checkheart"));
    // A negative line is sign-extended to 64 bits before it is printed.
    ASSERT_TRUE(log_internal::CallSiteKey(-1, "f", &key));
    EXPECT_EQ(key, std::hash<std::string>{}(thread + "18446744073709551615f"));
    ASSERT_TRUE(log_internal::CallSiteKey(INT_MIN, "f", &key));
    EXPECT_EQ(key, std::hash<std::string>{}(thread + "18446744071562067968f"));

    // The key text holds at most 255 characters.
    const std::string fits(255 - thread.size() - 1, 'x');
    EXPECT_TRUE(log_internal::CallSiteKey(7, fits.c_str(), &key));
    EXPECT_EQ(key, std::hash<std::string>{}(thread + "7" + fits));
    unsigned long untouched = 99;
    EXPECT_FALSE(log_internal::CallSiteKey(7, (fits + "x").c_str(), &untouched));
    EXPECT_FALSE(log_internal::CallSiteKey(7, nullptr, &untouched));
    EXPECT_EQ(untouched, 99u);

    // A file name too long for the key drops the line.
    KovSyslog(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, 7, (fits + "x").c_str(), "dropped");
    EXPECT_TRUE(log_capture::Lines().empty());
}

TEST_F(RestrainedLogTest, WindowIs600SecondsFromTheLastPrintedLine) {
    UseFakeClock(1000000);
    auto log = VeKov::KovRestrainedLog::GetInstance(true);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->PrintTableInsert(1), 0);
    fakeNow = 1000599;
    EXPECT_EQ(log->PrintTableInsert(1), -1);
    EXPECT_EQ(log->PrintTableInsert(2), 0);  // keys are independent
    fakeNow = 1000600;
    EXPECT_EQ(log->PrintTableInsert(1), 0);
    fakeNow = 1001199;
    EXPECT_EQ(log->PrintTableInsert(1), -1);

    // One attempt a second for 30 minutes prints at 0, 600, 1200 and 1800 only.
    std::vector<int> printedAt;
    for (int second = 0; second <= 1800; ++second) {
        fakeNow = 5000000 + second;
        if (log->PrintTableInsert(3) == 0) {
            printedAt.push_back(second);
        }
    }
    EXPECT_EQ(printedAt, (std::vector<int>{0, 600, 1200, 1800}));
}

TEST_F(RestrainedLogTest, ClockSetBackKeepsTheSiteQuiet) {
    UseFakeClock(1000000);
    auto log = VeKov::KovRestrainedLog::GetInstance(true);
    EXPECT_EQ(log->PrintTableInsert(7), 0);
    fakeNow = 1000000 - 3600;  // an hour back: negative difference
    EXPECT_EQ(log->PrintTableInsert(7), -1);
    fakeNow = 1000599;
    EXPECT_EQ(log->PrintTableInsert(7), -1);
    fakeNow = 1000600;
    EXPECT_EQ(log->PrintTableInsert(7), 0);
}

TEST_F(RestrainedLogTest, SecondsAreNarrowedTo32BitsSigned) {
    // A negative stored second never suppresses.
    UseFakeClock(-100);
    auto log = VeKov::KovRestrainedLog::GetInstance(true);
    EXPECT_EQ(log->PrintTableInsert(9), 0);
    EXPECT_EQ(log->PrintTableInsert(9), 0);
    fakeNow = (int64_t{1} << 32) - 50;  // narrows to -50
    EXPECT_EQ(log->PrintTableInsert(9), 0);

    // The clock is narrowed before it is stored and compared...
    fakeNow = (int64_t{1} << 32) + 100;
    EXPECT_EQ(log->PrintTableInsert(10), 0);
    fakeNow = 699;
    EXPECT_EQ(log->PrintTableInsert(10), -1);
    // ...and the difference wraps like 32-bit arithmetic.
    fakeNow = INT32_MAX - 10;
    EXPECT_EQ(log->PrintTableInsert(11), 0);
    fakeNow = int64_t{INT32_MAX} + 20;  // INT32_MIN + 19: 30 seconds later
    EXPECT_EQ(log->PrintTableInsert(11), -1);
    fakeNow = int64_t{INT32_MAX} + 589;  // 599 seconds after the stored second
    EXPECT_EQ(log->PrintTableInsert(11), -1);
    fakeNow = int64_t{INT32_MAX} + 590;  // 600 seconds
    EXPECT_EQ(log->PrintTableInsert(11), 0);
}

TEST_F(RestrainedLogTest, ThreadsRacingOnOneKeyGetExactlyOneZero) {
    constexpr int kThreads = 4;
    constexpr unsigned long kKeys = 2000;
    auto log = VeKov::KovRestrainedLog::GetInstance(true);
    std::vector<std::atomic<int>> zeros(kKeys);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (unsigned long key = 0; key < kKeys; ++key) {
                if (log->PrintTableInsert(key) == 0) {
                    zeros[key].fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (unsigned long key = 0; key < kKeys; ++key) {
        ASSERT_EQ(zeros[key].load(), 1) << "key " << key;
    }
}

TEST_F(RestrainedLogTest, ConcurrentFirstUseAndSwitchOffStayConsistent) {
    // Threads log through the rate limit while another switches it off: every
    // thread prints its call site at most once, and nothing after the switch.
    constexpr int kThreads = 4;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 2000; ++i) {
                LogAt(77);
            }
        });
    }
    go = true;
    KovLogGetInstance(false);
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(log_capture::CountMessage("send failed 77\n"), static_cast<size_t>(kThreads));
    log_capture::Clear();
    LogAt(78);
    EXPECT_TRUE(log_capture::Lines().empty());
}

}  // namespace
