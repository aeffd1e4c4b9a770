#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/Semaphore.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(SemaphoreTest, PendingPostsAreTakenAtOnceAnEmptyWaitTimesOutAndAPostWakesAWaiter) {
    Semaphore semaphore;
    semaphore.Post();
    semaphore.Post();
    EXPECT_TRUE(semaphore.TimedWait(milliseconds(5000)));
    EXPECT_TRUE(semaphore.TimedWait(milliseconds(5000)));
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.TimedWait(milliseconds(60)));
    EXPECT_GE(Clock::now() - start, milliseconds(60));
    std::thread poster([&semaphore] {
        std::this_thread::sleep_for(milliseconds(50));
        semaphore.Post();
    });
    EXPECT_TRUE(semaphore.TimedWait(milliseconds(20000)));
    EXPECT_LT(Clock::now() - start, milliseconds(5000));  // long before the limit
    poster.join();
    EXPECT_EQ(semaphore.Count(), 0);
}

}  // namespace
