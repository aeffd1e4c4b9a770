#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/Semaphore.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(SemaphoreTest, PendingPostsAreTakenAtOnceAndAnEmptyWaitTimesOut) {
    Semaphore semaphore;
    semaphore.Post();
    semaphore.Post();
    EXPECT_TRUE(semaphore.TimedWait(milliseconds(5000)));
    EXPECT_TRUE(semaphore.TimedWait(milliseconds(5000)));
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.TimedWait(milliseconds(60)));
    EXPECT_GE(Clock::now() - start, milliseconds(60));
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_EQ(semaphore.Count(), 0);
}

TEST(SemaphoreTest, PostWakesAWaiterLongBeforeItsLimit) {
    Semaphore semaphore;
    bool woken = false;
    const auto start = Clock::now();
    std::thread waiter([&] { woken = semaphore.TimedWait(milliseconds(20000)); });
    std::this_thread::sleep_for(milliseconds(50));
    semaphore.Post();
    waiter.join();
    EXPECT_TRUE(woken);
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    EXPECT_EQ(semaphore.Count(), 0);
}

}  // namespace
