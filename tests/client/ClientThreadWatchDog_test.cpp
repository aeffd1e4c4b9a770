#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "support/log_capture.h"

namespace {

using log_capture::CountMessage;

int Register(const char* name, unsigned int period) { return RegisterThreadForDog(name, strlen(name), period); }
int Kick(const char* name) { return KickingTheDog(name, strlen(name)); }

// The results of `count` checks, as a string of 'T' and 'F'.
std::string Checks(int count) {
    std::string results;
    for (int i = 0; i < count; ++i) {
        results += CheckWatchDog() ? 'T' : 'F';
    }
    return results;
}

// Each test starts with no thread registered, also when the whole binary runs
// in one process.
class WatchDogTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& entry : client_internal::WatchDogCounters()) {
            UnregisterThreadForDog(entry.first.c_str(), std::min<size_t>(entry.first.size(), 100));
        }
        log_capture::Clear();
    }
};

TEST_F(WatchDogTest, ExpiresAfterPeriodChecksUntilKickedOrUnregistered) {
    EXPECT_EQ(Checks(3), "TTT");  // nobody registered
    ASSERT_EQ(Register("worker", 2), 0);
    EXPECT_EQ(Checks(4), "TTFF");
    EXPECT_EQ(Register("worker", 9), 0);  // registering again keeps period and counter
    EXPECT_EQ(Checks(1), "F");
    EXPECT_EQ(Kick("worker"), 0);
    EXPECT_EQ(Checks(3), "TTF");
    EXPECT_EQ(UnregisterThreadForDog("worker", 6), 0);
    EXPECT_EQ(Checks(1), "T");
    EXPECT_EQ(Kick("worker"), -1);
    EXPECT_EQ(CountMessage("Thread worker does not register feeding dog.\n"), 1u);
    EXPECT_EQ(UnregisterThreadForDog("worker", 6), 0);
    EXPECT_EQ(CountMessage("Target: worker can't be found for unregister.\n"), 1u);
}

TEST_F(WatchDogTest, RefusesInvalidNamesAndZeroPeriodAndKeepsLongNamesWhole) {
    EXPECT_EQ(RegisterThreadForDog("abc", 4, 1), -22);
    EXPECT_EQ(CountMessage("Register thread for dog failed, threadName is invalid, nameLen=4.\n"), 1u);
    EXPECT_EQ(Register("worker", 0), -22);
    EXPECT_EQ(CountMessage("The period of feeding dog is 0.\n"), 1u);
    EXPECT_EQ(KickingTheDog(nullptr, 0), -22);
    EXPECT_EQ(CountMessage("Kick dog failed, threadName param is invalid.\n"), 1u);
    EXPECT_EQ(UnregisterThreadForDog("worker", 7), -22);
    EXPECT_EQ(CountMessage("Unregister thread for dog failed, threadName param is invalid.\n"), 1u);
    EXPECT_TRUE(client_internal::WatchDogCounters().empty());

    const std::string longName(150, 'w');
    EXPECT_EQ(RegisterThreadForDog(longName.c_str(), 150, 1), -22);
    EXPECT_EQ(RegisterThreadForDog(longName.c_str(), 100, 1), 0);
    EXPECT_EQ(client_internal::WatchDogCounters().at(0).first, longName);
    EXPECT_EQ(Kick(longName.substr(0, 100).c_str()), -1);  // a prefix is another name
}

TEST_F(WatchDogTest, FailedCheckStopsTheWalkAtTheExpiredThread) {
    ASSERT_EQ(Register("alpha", 1), 0);
    ASSERT_EQ(Register("bravo", 1), 0);
    EXPECT_EQ(Checks(1), "T");  // both down to 0
    auto walk = client_internal::WatchDogCounters();
    ASSERT_EQ(walk.size(), 2u);
    const std::string first = walk[0].first;
    const std::string second = walk[1].first;

    // Expired thread walked first: the fresh one behind it keeps its tick.
    ASSERT_EQ(Kick(second.c_str()), 0);
    EXPECT_EQ(Checks(1), "F");
    EXPECT_EQ(client_internal::WatchDogCounters()[1].second, 1u);

    // Expired thread walked second: the fresh one before it is ticked.
    ASSERT_EQ(Kick(first.c_str()), 0);
    ASSERT_EQ(Kick(second.c_str()), 0);
    EXPECT_EQ(Checks(1), "T");
    ASSERT_EQ(Kick(first.c_str()), 0);
    EXPECT_EQ(Checks(1), "F");
    EXPECT_EQ(client_internal::WatchDogCounters()[0].second, 0u);
}

TEST_F(WatchDogTest, ConcurrentUseKeepsCountersWithinPeriods) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string name = "worker" + std::to_string(t);
            for (int i = 0; i < 2000; ++i) {
                Register(name.c_str(), 3);
                Kick(name.c_str());
                if (i % 7 == 0) {
                    UnregisterThreadForDog(name.c_str(), name.size());
                }
            }
            Register(name.c_str(), 3);
        });
    }
    for (int i = 0; i < 2000; ++i) {
        CheckWatchDog();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& entry : client_internal::WatchDogCounters()) {
        EXPECT_LE(entry.second, 3u) << entry.first;
    }
}

}  // namespace
