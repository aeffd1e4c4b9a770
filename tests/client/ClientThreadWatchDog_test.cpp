#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "support/log_capture.h"

// Every TEST runs in a fresh process: the watchdog starts empty.
namespace {

using client_internal::WatchDogCounters;
using log_capture::CountMessage;

// The results of `count` checks, as a string of 'T' and 'F'.
std::string Checks(int count) {
    std::string results;
    for (; count > 0; --count) results += CheckWatchDog() ? 'T' : 'F';
    return results;
}

TEST(WatchDogTest, ExpiresAfterPeriodChecksUntilKickedOrUnregistered) {
    EXPECT_EQ(Checks(2), "TT");  // nobody registered
    ASSERT_EQ(RegisterThreadForDog("worker", 6, 2), 0);
    EXPECT_EQ(Checks(4), "TTFF");
    EXPECT_EQ(RegisterThreadForDog("worker", 6, 9), 0);  // keeps period and counter
    EXPECT_EQ(Checks(1), "F");
    EXPECT_EQ(KickingTheDog("worker", 6), 0);
    EXPECT_EQ(Checks(3), "TTF");
    EXPECT_EQ(UnregisterThreadForDog("worker", 6), 0);
    EXPECT_EQ(Checks(1), "T");
    EXPECT_EQ(std::make_tuple(KickingTheDog("worker", 6), UnregisterThreadForDog("worker", 6)),
              std::make_tuple(-1, 0));
    EXPECT_EQ(CountMessage("Thread worker does not register feeding dog.\n"), 1u);
    EXPECT_EQ(CountMessage("Target: worker can't be found for unregister.\n"), 1u);
    EXPECT_EQ(std::make_tuple(RegisterThreadForDog("worker", 7, 1), RegisterThreadForDog("w", 1, 0),
                              KickingTheDog(nullptr, 0), UnregisterThreadForDog("worker", 5)),
              std::make_tuple(-22, -22, -22, -22));
    EXPECT_EQ(CountMessage("Register thread for dog failed, threadName is invalid, nameLen=7.\n"),
              1u);
}

TEST(WatchDogTest, FailedCheckStopsAtTheExpiredThreadAndSparesThoseAfterIt) {
    ASSERT_EQ(RegisterThreadForDog("a", 1, 1) + RegisterThreadForDog("b", 1, 1), 0);
    EXPECT_EQ(Checks(1), "T");  // both counters reach 0
    const std::string first = WatchDogCounters().at(0).first;
    const std::string second = WatchDogCounters().at(1).first;
    ASSERT_EQ(KickingTheDog(second.c_str(), 1), 0);
    EXPECT_EQ(Checks(1), "F");  // stops at the first, expired: the second keeps its tick
    EXPECT_EQ(WatchDogCounters().at(1).second, 1u);
    ASSERT_EQ(KickingTheDog(first.c_str(), 1), 0);
    EXPECT_EQ(Checks(1), "T");  // both pass and are taken to 0
    EXPECT_EQ(Checks(1), "F");
}

TEST(WatchDogTest, ConcurrentUseKeepsCountersWithinPeriods) {
    std::vector<std::thread> threads;
    for (const char* name : {"a", "b", "c"}) {
        threads.emplace_back([name] {
            for (int i = 0; i < 2000; ++i) {
                RegisterThreadForDog(name, 1, 3);
                KickingTheDog(name, 1);
                UnregisterThreadForDog(name, i % 2);  // odd turns only: length 0 is refused
            }
        });
    }
    Checks(3000);
    for (auto& thread : threads) thread.join();
    for (const auto& entry : WatchDogCounters()) EXPECT_LE(entry.second, 3u) << entry.first;
}

}  // namespace
