#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "client/heartbeat_internal.h"
#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

// Every TEST runs in a fresh process: the watchdog starts empty, the once-per-process flags clean.
namespace {

HeartBeatMessage Sent(size_t index) {  // as sent; its size is checked by the caller
    HeartBeatMessage record{};
    const std::vector<uint8_t> payload = fake_lumo::Sends().at(index).payload;
    memcpy(&record, payload.data(), std::min(payload.size(), sizeof(record)));
    return record;
}

// The results of `count` checks, as a string of 'T' and 'F'.
std::string Checks(int count) {
    std::string results;
    for (; count > 0; --count) results += CheckWatchDog() ? 'T' : 'F';
    return results;
}

// One stalled thread is enough to mark the record: the walk stops at the first
// expired counter, and the threads behind it keep their ticks.
TEST(WatchDogTest, ExpiresAfterPeriodChecksUntilKickedAndAFailedCheckSparesTheThreadsBehind) {
    ASSERT_EQ(RegisterThreadForDog("worker", 6, 2), 0);
    EXPECT_EQ(Checks(4), "TTFF");
    EXPECT_EQ(RegisterThreadForDog("worker", 6, 9), 0);  // keeps period and counter
    EXPECT_EQ(KickingTheDog("worker", 6), 0);
    EXPECT_EQ(Checks(3), "TTF");
    EXPECT_EQ(UnregisterThreadForDog("worker", 6), 0);
    EXPECT_EQ(Checks(1), "T");  // nobody registered
    EXPECT_EQ(KickingTheDog("worker", 6), -1);
    for (int result : {RegisterThreadForDog("worker", 7, 1), RegisterThreadForDog("w", 1, 0),
                       KickingTheDog(nullptr, 0), UnregisterThreadForDog("worker", 5)})
        EXPECT_EQ(result, -EINVAL);

    ASSERT_EQ(RegisterThreadForDog("a", 1, 1) + RegisterThreadForDog("b", 1, 1), 0);
    EXPECT_EQ(Checks(1), "T");  // both counters reach 0
    const auto walk = client_internal::WatchDogCounters();
    ASSERT_EQ(KickingTheDog(walk.at(1).first.c_str(), 1), 0);
    EXPECT_EQ(Checks(1), "F");
    ASSERT_EQ(KickingTheDog(walk.at(0).first.c_str(), 1), 0);
    EXPECT_EQ(Checks(2), "TF");  // the second's tick was spared by the failed check
}

TEST(WatchDogTest, ConcurrentUseLeavesEveryNameWithItsOwnPeriod) {
    using Counters = std::vector<std::pair<std::string, uint32_t>>;
    const Counters dogs = {{"a", 1}, {"b", 3}, {"c", 5}};  // name, period
    std::vector<std::thread> threads;
    for (const auto& dog : dogs)
        threads.emplace_back([dog] {
            for (int i = 0; i <= 2000; ++i) {  // ends registered: length 0 is refused
                RegisterThreadForDog(dog.first.c_str(), 1, dog.second);
                KickingTheDog(dog.first.c_str(), 1);
                UnregisterThreadForDog(dog.first.c_str(), i % 2);
            }
        });
    Checks(3000);
    for (auto& thread : threads) thread.join();
    for (const auto& dog : dogs) ASSERT_EQ(KickingTheDog(dog.first.c_str(), 1), 0);
    Counters counters = client_internal::WatchDogCounters();  // each refilled to its own period
    std::sort(counters.begin(), counters.end());
    EXPECT_EQ(counters, dogs);
}

TEST(SendHeartBeatTest, RegistersOnceWithValidArgumentsAndUnregisterStopsAfterOneCycle) {
    HeartBeatConfig config{0};  // 0: the default threshold, 10
    const std::string longName(150, 'a');
    for (int result : {RegisterSendHeartBeat("abc", 4, "srv", 3, &config),
                       RegisterSendHeartBeat(longName.c_str(), 101, "srv", 3, &config),
                       RegisterSendHeartBeat("app", 3, nullptr, 0, &config),
                       RegisterSendHeartBeat("app", 3, "srv", 3, nullptr)})
        EXPECT_EQ(result, -EINVAL);
    fake_lumo::QueueOpenResults({-EAGAIN, 7});  // one retry, at once
    ASSERT_EQ(RegisterSendHeartBeat(longName.c_str(), 100, "srv", 3, &config), 0);
    EXPECT_EQ(RegisterSendHeartBeat("b", 1, "c", 1, &config), 0);  // nothing more happens
    // What the IPC library is asked for; the name is its first 100 characters.
    const fake_lumo::OpenCall open = fake_lumo::Opens().at(1);
    EXPECT_EQ(std::make_tuple(open.peerName, open.selfName, open.param.timeoutMs, open.param.isServer,
                              open.param.gid, open.param.pipeMode, open.param.bindCore,
                              open.param.enableCallback),
              std::make_tuple(std::string("srv_heartbeat"), longName.substr(0, 100), 3000u, 0u,
                              VeKov::GetChannelGid(), 1u, -1, uint8_t{1}));
    char name[16] = {};
    for (int i = 0; i < 100 && strcmp(name, "SendHeart") != 0; ++i, usleep(10000))
        pthread_getname_np(heartThread.native_handle(), name, sizeof(name));
    EXPECT_STREQ(name, "SendHeart");

    fake_lumo::QueueCloseResults({-EIO});
    EXPECT_EQ(UnregisterSendHeartBeat(), -EIO);  // the thread ends its cycle: one record
    EXPECT_EQ(UnregisterSendHeartBeat(), 0);
    ASSERT_EQ(fake_lumo::Sends().size(), 1u);
    EXPECT_EQ(std::make_tuple(Sent(0).order, Sent(0).timeoutTimes, fake_lumo::Closes()),
              std::make_tuple(0u, 10u, std::vector<int>{7}));
}

TEST(SendHeartBeatTest, CycleRecordCarriesIdentityThresholdWatchdogAndAnOrderThatRunsOn) {
    HeartBeatConfig config{0};  // the thread sleeps 3 s first: the cycles here run alone
    ASSERT_EQ(RegisterSendHeartBeat("app", 3, "srv", 3, &config), 0);
    ASSERT_EQ(RegisterThreadForDog("stalled", 7, 2), 0);
    HeartBeatMessage record{};
    int handle = 100;
    uint64_t previous = 0;
    fake_lumo::QueueSendResults({0, 0, -EPIPE});
    fake_lumo::QueueOpenResults({-ETIMEDOUT, 0, 101});
    for (int i = 0; i < 7; ++i) SendOneHeartBeat(record, handle, previous, 7);
    // sent, sent, failed, open fails, open 0 (nothing sent), reopened on 101 and sent, sent
    ASSERT_EQ(fake_lumo::Sends().size(), 5u);
    const std::tuple<uint32_t, int, uint8_t> expected[] = {
        {0, 100, 0}, {1, 100, 0}, {2, 100, 1}, {5, 101, 1}, {6, 101, 1}};
    for (size_t i = 0; i < 5; ++i) {
        const HeartBeatMessage sent = Sent(i);
        const fake_lumo::SendCall call = fake_lumo::Sends()[i];
        EXPECT_EQ(std::make_tuple(sent.order, call.handle, sent.watchDogFailed, call.payload.size(), sent.pid, sent.timeoutTimes,
                                  std::string(sent.clientName)),
                  std::tuple_cat(expected[i], std::make_tuple(size_t{232}, getpid(), 7u, std::string("app"))));
        EXPECT_TRUE(sent.sendTime > 0 && sent.sendTime <= VeKov::GetCurrentTime());
    }
    // The failed pipe is the library's to close; the last good open is kept.
    EXPECT_EQ(std::make_tuple(heartPipeFd, fake_lumo::Closes().size()), std::make_tuple(101, 0u));
    // Rate-limited: only the first failed cycle is written.
    EXPECT_EQ(log_capture::CountContaining("Send HeartBeat to Server unfinished"), 1u);
}  // the process exits with "SendHeart" still running, which must not end it abnormally

TEST(ClosePipeTest, RetriesWhileBusyAtMostThousandTimes) {
    fake_lumo::QueueCloseResults({-EBUSY, -EBUSY, -EBUSY, -EBUSY, -EBUSY, 0,
                                  -EBUSY, -EBUSY, -EBUSY, -EBUSY, -EBUSY, -EBUSY, 0});
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), 0);  // five retries pass quietly...
    EXPECT_EQ(log_capture::Lines().size(), 0u);
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), 0);  // ...six are logged once
    fake_lumo::QueueCloseResults(std::vector<int>(1001, -EBUSY));  // busy for good: about 2 seconds
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), -EBUSY);
    EXPECT_EQ(fake_lumo::Closes().size(), 13u + 1001u);
    EXPECT_EQ(log_capture::Lines().size(), 2u);
}

}  // namespace
