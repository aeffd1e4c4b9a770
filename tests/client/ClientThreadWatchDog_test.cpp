#include <cerrno>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/watchdog_internal.h"
#include "heartbeat.h"

// Every TEST runs in a fresh process: the watchdog starts empty.
namespace {

// The results of `count` checks, as a string of 'T' and 'F'.
std::string Checks(int count) {
    std::string results;
    for (; count > 0; --count) results += CheckWatchDog() ? 'T' : 'F';
    return results;
}

TEST(WatchDogTest, ExpiresAfterPeriodChecksUntilKickedOrUnregistered) {
    EXPECT_EQ(Checks(1), "T");  // nobody registered
    ASSERT_EQ(RegisterThreadForDog("worker", 6, 2), 0);
    EXPECT_EQ(Checks(4), "TTFF");
    EXPECT_EQ(RegisterThreadForDog("worker", 6, 9), 0);  // keeps period and counter
    EXPECT_EQ(KickingTheDog("worker", 6), 0);
    EXPECT_EQ(Checks(3), "TTF");
    EXPECT_EQ(UnregisterThreadForDog("worker", 6), 0);
    EXPECT_EQ(Checks(1), "T");
    EXPECT_EQ(KickingTheDog("worker", 6), -1);
    for (int result : {RegisterThreadForDog("worker", 7, 1), RegisterThreadForDog("w", 1, 0),
                       KickingTheDog(nullptr, 0), UnregisterThreadForDog("worker", 5)}) {
        EXPECT_EQ(result, -EINVAL);
    }
}

TEST(WatchDogTest, FailedCheckStopsAtTheExpiredThreadAndSparesThoseAfterIt) {
    ASSERT_EQ(RegisterThreadForDog("a", 1, 1) + RegisterThreadForDog("b", 1, 1), 0);
    EXPECT_EQ(Checks(1), "T");  // both counters reach 0
    const std::string first = client_internal::WatchDogCounters().at(0).first;
    const std::string second = client_internal::WatchDogCounters().at(1).first;
    ASSERT_EQ(KickingTheDog(second.c_str(), 1), 0);
    EXPECT_EQ(Checks(1), "F");  // stops at the first, expired: the second keeps its tick
    EXPECT_EQ(client_internal::WatchDogCounters().at(1).second, 1u);
    ASSERT_EQ(KickingTheDog(first.c_str(), 1), 0);
    EXPECT_EQ(Checks(2), "TF");
}

TEST(WatchDogTest, ConcurrentUseLeavesEveryNameWithItsOwnPeriod) {
    std::vector<std::thread> threads;
    unsigned period = 1;
    for (const char* name : {"a", "b", "c"}) {
        threads.emplace_back([name, period] {
            for (int i = 0; i <= 2000; ++i) {  // ends registered: length 0 is refused
                RegisterThreadForDog(name, 1, period);
                KickingTheDog(name, 1);
                UnregisterThreadForDog(name, i % 2);
            }
        });
        period += 2;
    }
    Checks(3000);
    for (auto& thread : threads) thread.join();
    for (const char* name : {"a", "b", "c"}) ASSERT_EQ(KickingTheDog(name, 1), 0);
    // Periods 1, 3 and 5, each counter refilled by the kick and ticked once.
    EXPECT_EQ(Checks(1), "T");
    const auto counters = client_internal::WatchDogCounters();
    ASSERT_EQ(counters.size(), 3u);
    for (const auto& entry : counters) {
        EXPECT_EQ(entry.second, entry.first == "a" ? 0u : entry.first == "b" ? 2u : 4u) << entry.first;
    }
    EXPECT_EQ(Checks(1), "F");
}

}  // namespace
