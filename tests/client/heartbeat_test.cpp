#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "client/heartbeat_internal.h"
#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "support/child_process.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

namespace {

using log_capture::CountMessage;

// Runs a body that registers or unregisters in a forked child, so the
// once-per-process flags start fresh however the tests are run.
void ExpectInChild(const std::function<void()>& body) {
    EXPECT_EQ(0, child_process::Run([&body]() {
                  body();
                  return ::testing::Test::HasFailure() ? 1 : 0;
              }));
}

int Register(const char* app, const char* server, uint32_t timeoutTimes) {
    HeartBeatConfig config{timeoutTimes};
    return RegisterSendHeartBeat(app, strlen(app), server, strlen(server), &config);
}

HeartBeatMessage Decode(const fake_lumo::SendCall& call) {
    HeartBeatMessage record{};
    EXPECT_EQ(call.size, sizeof(record));
    memcpy(&record, call.payload.data(), std::min(call.payload.size(), sizeof(record)));
    return record;
}

// Every test starts from clean recordings and sender state, so the tests also
// pass when the whole binary runs in one process.
class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_lumo::Reset();
        log_capture::Clear();
        for (const auto& entry : client_internal::WatchDogCounters()) {
            UnregisterThreadForDog(entry.first.c_str(), std::min<size_t>(entry.first.size(), 100));
        }
        heartAppName = "client";
        heartPipeName = "server_heartbeat";
        heartPipeFd = 0;
        isConnected = true;
        memset(&record, 0, sizeof(record));
    }
    void Cycle(unsigned int timeoutTimes = 10) { SendOneHeartBeat(record, handle, previous, timeoutTimes); }

    HeartBeatMessage record;
    int handle = 100;
    uint64_t previous = 0;
};
using RegisterSendHeartBeatTest = SenderTest;
using SendCycleTest = SenderTest;
using ClosePipeTest = SenderTest;
using UnregisterSendHeartBeatTest = SenderTest;

TEST_F(RegisterSendHeartBeatTest, OpensClientEndOnceWithEveryParameter) {
    ExpectInChild([] {
        fake_lumo::QueueOpenResults({0});  // a zero handle: registered, but no thread
        EXPECT_EQ(Register("client", "server", 0), 0);
        EXPECT_FALSE(heartThread.joinable());
        auto opens = fake_lumo::Opens();
        ASSERT_EQ(opens.size(), 1u);
        const fake_lumo::OpenCall& open = opens[0];
        EXPECT_EQ(open.peerName, "server_heartbeat");
        EXPECT_EQ(open.selfName, "client");
        EXPECT_TRUE(static_cast<bool>(open.callback));
        EXPECT_EQ(open.gid, VeKov::GetChannelGid());
        EXPECT_EQ(std::make_tuple(open.timeoutMs, open.isServer, open.pipeMode, open.bindCore,
                                  open.enableCallback, open.flags, open.reserved),
                  std::make_tuple(3000u, 0u, 1u, -1, uint8_t{1}, 0u, uint64_t{0}));
        EXPECT_EQ(Register("other", "elsewhere", 3), 0);  // later calls change nothing
        EXPECT_EQ(fake_lumo::Opens().size(), 1u);
        EXPECT_EQ(log_capture::Lines().size(), 0u);
    });
}

TEST_F(RegisterSendHeartBeatTest, ChecksArgumentsOnEveryCall) {
    ExpectInChild([] {
        HeartBeatConfig config{0};
        const std::string longName(150, 'a');
        EXPECT_EQ(RegisterSendHeartBeat("abc", 4, "srv", 3, &config), -22);
        EXPECT_EQ(RegisterSendHeartBeat(nullptr, 0, "srv", 3, &config), -22);
        EXPECT_EQ(RegisterSendHeartBeat(longName.c_str(), 150, "srv", 3, &config), -22);
        EXPECT_EQ(CountMessage("App name is invalid.\n"), 3u);
        EXPECT_EQ(RegisterSendHeartBeat("app", 3, "srv", 2, &config), -22);
        EXPECT_EQ(CountMessage("Server name is invalid.\n"), 1u);
        EXPECT_EQ(RegisterSendHeartBeat("app", 3, "srv", 3, nullptr), -22);
        EXPECT_EQ(CountMessage("Heartbeat config is invalid.\n"), 1u);
        EXPECT_EQ(fake_lumo::Opens().size(), 0u);  // refused calls leave the once flag alone

        fake_lumo::QueueOpenResults({-110});
        EXPECT_EQ(RegisterSendHeartBeat(longName.c_str(), 100, "srv", 3, &config), -110);
        EXPECT_FALSE(heartThread.joinable());
        ASSERT_EQ(fake_lumo::Opens().size(), 1u);
        EXPECT_EQ(fake_lumo::Opens()[0].selfName, longName);  // used whole
        EXPECT_EQ(CountMessage("Open Pipe to srv_heartbeat failed, ret=-110.\n"), 1u);
        EXPECT_EQ(RegisterSendHeartBeat("abc", 4, "srv", 3, &config), -22);
        EXPECT_EQ(Register("app", "srv", 0), 0);  // the body has run: silent from now on
        EXPECT_EQ(fake_lumo::Opens().size(), 1u);
    });
}

TEST_F(SenderTest, OpenRetriesOnceRightAfterEagain) {
    fake_lumo::QueueOpenResults({-11, 7, -11, -11});
    EXPECT_EQ(OpenHeartBeatPipe(), 7);
    EXPECT_EQ(OpenHeartBeatPipe(), -11);  // no third try
    EXPECT_EQ(fake_lumo::Opens().size(), 4u);
    EXPECT_EQ(CountMessage("Open Pipe to server_heartbeat again.\n"), 2u);
    EXPECT_EQ(CountMessage("Open Pipe to server_heartbeat failed, ret=-11.\n"), 1u);
    EXPECT_EQ(heartPipeFd, 7);  // only successful opens are kept
}

TEST_F(SendCycleTest, RecordCarriesIdentityThresholdAndWatchdogState) {
    ASSERT_EQ(RegisterThreadForDog("stalled", 7, 1), 0);
    uint64_t before = VeKov::GetCurrentTime();
    Cycle(7);  // the watchdog's one tick is used up here
    Cycle(7);  // and fails here
    uint64_t after = VeKov::GetCurrentTime();
    auto sends = fake_lumo::Sends();
    ASSERT_EQ(sends.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        HeartBeatMessage sent = Decode(sends[i]);
        EXPECT_EQ(sends[i].handle, 100);
        EXPECT_EQ(sent.order, i);
        EXPECT_EQ(sent.watchDogFailed, i);
        EXPECT_TRUE(sent.sendTime >= before && sent.sendTime <= after);
        EXPECT_EQ(sent.pid, getpid());
        EXPECT_STREQ(sent.clientName, "client");
        EXPECT_EQ(sent.timeoutTimes, 7u);
    }
    EXPECT_EQ(previous, Decode(sends[1]).sendTime);
}

TEST_F(SendCycleTest, OrderRunsOnThroughFailedSendsAndReopens) {
    fake_lumo::QueueSendResults({0, -32});
    fake_lumo::QueueOpenResults({-110, 0, 101});
    for (int i = 0; i < 6; ++i) {
        Cycle();
    }
    // sent on 100, failed on 100, open -110, open 0 (nothing sent), reopened on 101, sent
    auto sends = fake_lumo::Sends();
    ASSERT_EQ(sends.size(), 4u);
    const uint32_t orders[] = {0, 1, 4, 5};
    const int handles[] = {100, 100, 101, 101};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Decode(sends[i]).order, orders[i]);
        EXPECT_EQ(sends[i].handle, handles[i]);
    }
    EXPECT_EQ(fake_lumo::Opens().size(), 3u);
    EXPECT_TRUE(fake_lumo::Closes().empty());  // the failed pipe is the library's to close
    EXPECT_TRUE(isConnected);
    EXPECT_EQ(heartPipeFd, 101);
    EXPECT_EQ(CountMessage("LumoSendRequest to server failed, ret=-32."), 1u);
    // Rate-limited: the first failure of the cycle is the one that is written.
    EXPECT_EQ(CountMessage("Send HeartBeat to Server unfinished, ret=-32.\n"), 1u);
}

TEST_F(SendCycleTest, NameThatDoesNotFitIsSentEmpty) {
    heartAppName = std::string(199, 'n');  // the most the record holds
    Cycle();
    heartAppName = std::string(200, 'n');
    Cycle();
    auto sends = fake_lumo::Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(std::string(Decode(sends[0]).clientName), std::string(199, 'n'));
    EXPECT_EQ(Decode(sends[1]).clientName[0], '\0');
    EXPECT_EQ(log_capture::CountContaining("fail to copy clientName nnnn"), 1u);
}

TEST_F(ClosePipeTest, CallbackClosesOnDisconnectRetryingBusyOnce) {
    LumoRequest message{};
    ClientPipeCallback(5, &message);
    EXPECT_TRUE(fake_lumo::Closes().empty());
    fake_lumo::QueueCloseResults({-16, 0, -16, -16, -2});
    ClientPipeCallback(5, nullptr);
    EXPECT_EQ(fake_lumo::Closes().size(), 2u);
    EXPECT_EQ(log_capture::Lines().size(), 1u);
    EXPECT_EQ(CountMessage("Client close pipe failed, close again."), 1u);
    ClientPipeCallback(5, nullptr);
    ClientPipeCallback(5, nullptr);
    EXPECT_EQ(fake_lumo::Closes(), (std::vector<int>{5, 5, 5, 5, 5}));
    EXPECT_EQ(CountMessage("Client close pipe failed, ret=-16."), 1u);
    EXPECT_EQ(CountMessage("Client close pipe failed, ret=-2."), 1u);
}

TEST_F(ClosePipeTest, RetriesBusyUpToThousandTimesAndTreatsGoneAsClosed) {
    fake_lumo::QueueCloseResults({-16, -16, -16, -16, -16, -16, 0, -16, -16, -16, -16, -16, 0, -2, -22});
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), 0);
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), 0);  // five retries pass quietly
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), -2);
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), -22);
    EXPECT_EQ(log_capture::Lines().size(), 1u);
    EXPECT_EQ(CountMessage("who: close pipe retried, retryTimes=6 times.\n"), 1u);

    fake_lumo::Reset();
    fake_lumo::SetDefaultCloseResult(-16);  // busy for good: about 2 seconds
    EXPECT_EQ(CloseSendHeartBeatPipe(9, "who"), -16);
    EXPECT_EQ(fake_lumo::Closes().size(), 1001u);
    EXPECT_EQ(CountMessage("who failed: close pipe, fd=9 ret=-16 retried=1000 times.\n"), 1u);
}

TEST_F(UnregisterSendHeartBeatTest, EarlyCallUsesUpItsOnceAndExitStillSucceeds) {
    ExpectInChild([] {
        fake_lumo::QueueCloseResults({-22});
        EXPECT_EQ(UnregisterSendHeartBeat(), -22);
        EXPECT_EQ(fake_lumo::Closes(), std::vector<int>{0});
        EXPECT_EQ(log_capture::Lines().size(), 0u);  // -22 means already closed
        EXPECT_EQ(Register("client", "server", 0), 0);
        EXPECT_EQ(UnregisterSendHeartBeat(), 0);
        EXPECT_TRUE(heartThread.joinable());  // never stopped
        EXPECT_EQ(fake_lumo::Closes().size(), 1u);
        // Exit with "SendHeart" still running must not terminate the process.
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
    });
}

TEST_F(SenderTest, RegisterStartsSendHeartAndUnregisterStopsIt) {
    ExpectInChild([] {
        ASSERT_EQ(Register("client", "server", 0), 0);
        char name[16] = {};
        for (int i = 0; i < 100 && strcmp(name, "SendHeart") != 0; ++i, usleep(10000)) {
            pthread_getname_np(heartThread.native_handle(), name, sizeof(name));
        }
        EXPECT_STREQ(name, "SendHeart");
        fake_lumo::QueueCloseResults({-5});
        EXPECT_EQ(UnregisterSendHeartBeat(), -5);  // the thread ends its cycle: one record
        EXPECT_FALSE(heartThread.joinable());
        auto sends = fake_lumo::Sends();
        ASSERT_EQ(sends.size(), 1u);
        EXPECT_EQ(Decode(sends[0]).order, 0u);
        EXPECT_EQ(Decode(sends[0]).timeoutTimes, 10u);  // 0 stands for the default
        EXPECT_EQ(fake_lumo::Closes(), std::vector<int>{100});
        EXPECT_EQ(CountMessage("Manage channel remove failed: close pipe, fd=100 ret=-5 retried=0 times.\n"), 1u);
        EXPECT_EQ(CountMessage("Unregister heart beat failed: appName: client\n"), 1u);
        EXPECT_EQ(UnregisterSendHeartBeat(), 0);
    });
}

}  // namespace
