#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "checker/checkheart_internal.h"
#include "env_manager.h"
#include "heartbeat.h"
#include "support/child_process.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

namespace {

using checkheart::RunCheckCycle;
using checkheart::State;
using Report = std::tuple<std::string, int32_t, uint32_t>;  // name, pid, isLost
using Texts = std::vector<std::string>;

std::mutex reportMutex;
std::vector<Report> reports;

void Record(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    std::lock_guard<std::mutex> lock(reportMutex);
    reports.emplace_back(std::string(name, length), pid, isLost);
}
void Ignore(const char*, size_t, int32_t, uint32_t) {}

std::vector<Report> Taken() {
    std::lock_guard<std::mutex> lock(reportMutex);
    return std::move(reports);
}

HeartBeatMessage Beat(const std::string& name, uint32_t order, int32_t pid = 10,
                      uint32_t timeoutTimes = 2, uint8_t dogFailed = 0) {
    HeartBeatMessage message{};
    message.sendTime = VeKov::GetCurrentTime();
    message.order = order;
    memcpy(message.clientName, name.c_str(), std::min(name.size() + 1, sizeof(message.clientName)));
    message.pid = pid;
    message.timeoutTimes = timeoutTimes;
    message.watchDogFailed = dogFailed;
    return message;
}

void Feed(const HeartBeatMessage& message, int fd = 5) {
    GetHeartBeatMessageFromClient(fd, message, HEART_CHANNEL_PIPE);
}

ClientMgrInfo Info(const std::string& name) {
    std::lock_guard<std::mutex> lock(State().stateMutex);
    return State().stateMap.at(name);
}

Texts Messages() {
    Texts messages;
    for (const auto& line : log_capture::Lines()) {
        messages.push_back(log_capture::MessageOf(line.text));
    }
    return messages;
}

// Without the check thread: clients go into the registry directly (pipe
// handle 5), cycles are run by hand.
class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_lumo::Reset();
        log_capture::Clear();
        State().SendFaultCb = Record;
        State().checkProcName = "pm";
    }
    static void Add(const std::string& name) {
        std::lock_guard<std::mutex> lock(State().stateMutex);
        ClientMgrInfo info;
        info.fd = 5;
        State().stateMap.emplace(name, info);
    }
    static void Cycles(int count) {
        while (count-- > 0) {
            RunCheckCycle();
        }
    }
};

TEST_F(CheckerTest, ClientStateFollowsHeartbeatsSilenceAndWatchdog) {
    Add("a");
    Add("z");
    Feed(Beat("z", 0, 10, 0));  // timeoutTimes 0: never times out
    struct Step {
        int beats;
        uint8_t dog;
        std::vector<Report> expected;
    };
    const Step steps[] = {
        {1, 0, {}},              // first heartbeat: alive
        {0, 0, {}},              // silent 1 of 2
        {0, 0, {{"a", 10, 1}}},  // silent 2 of 2: lost
        {0, 0, {}},              // lost by time-out is reported once
        {2, 0, {{"a", 10, 0}}},  // back: one recovery for two heartbeats
        {1, 1, {{"a", 10, 1}}},  // watchdog failed: lost at once
        {1, 1, {}},              // still failing, silence count restarts
        {0, 0, {}},
        {0, 0, {{"a", 10, 1}}},  // then silent: lost a second time
        {1, 0, {{"a", 10, 0}}},
    };
    uint32_t order = 0;
    for (const Step& step : steps) {
        for (int i = 0; i < step.beats; ++i) {
            Feed(Beat("a", order++, 10, 2, step.dog));
        }
        RunCheckCycle();
        EXPECT_EQ(Taken(), step.expected) << "after heartbeat " << order;
    }
    EXPECT_EQ(log_capture::CountMessage("Client a report HeartBeat timeout.\n"), 2u);
}

TEST_F(CheckerTest, WaitingClientIsReopenedEveryTenthCycleAndNeverReported) {
    Add("w");
    Cycles(9);
    EXPECT_TRUE(fake_lumo::Opens().empty());
    Cycles(1);
    ASSERT_EQ(fake_lumo::Opens().size(), 1u);
    EXPECT_EQ(std::tie(fake_lumo::Opens()[0].peerName, fake_lumo::Opens()[0].selfName),
              std::make_tuple("w", "pm_heartbeat"));
    EXPECT_EQ(Info("w").fd, 100);
    EXPECT_TRUE(fake_lumo::Closes().empty());  // the old pipe stays
    fake_lumo::QueueOpenResults({-5});
    Cycles(10);
    EXPECT_EQ(Info("w").fd, -5);
    EXPECT_EQ(log_capture::CountMessage("Reconnect heart beat channel failed: w to pm.\n"), 1u);
    Cycles(100);
    EXPECT_EQ(fake_lumo::Opens().size(), 12u);
    EXPECT_TRUE(Taken().empty());
}

TEST_F(CheckerTest, ReportsComeInMapOrderAfterAllEvaluationLines) {
    for (const char* name : {"c1", "c2", "c3", "c4"}) {
        Add(name);
        Feed(Beat(name, 0, 10, 1));
    }
    Cycles(1);
    log_capture::Clear();
    Cycles(1);
    std::vector<Report> expected;
    Texts lines;
    for (const auto& entry : State().stateMap) {
        expected.emplace_back(entry.first, 10, 1);
        lines.push_back("Report client " + entry.first + " heartbeat lost!");
    }
    EXPECT_EQ(Taken(), expected);
    const Texts messages = Messages();
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(Texts(messages.begin() + 4, messages.end()), lines);

    State().SendFaultCb = nullptr;  // states still change, nothing is reported
    for (const char* name : {"c1", "c2", "c3", "c4"}) {
        Feed(Beat(name, 1, 10, 1));
    }
    log_capture::Clear();
    Cycles(1);
    EXPECT_EQ(Messages(), Texts{"SendFaultCb is NULL!\n"});
    EXPECT_TRUE(State().lostClientSet.empty());
}

TEST_F(CheckerTest, PipeCallbackTakesOnlyWhole232ByteRecords) {
    Add("a");
    HeartBeatMessage message = Beat("a", 0);
    LumoRequest request{};
    checkheart::ServerPipeCallback(5, nullptr);
    checkheart::ServerPipeCallback(5, &request);
    request.data = &message;
    for (uint32_t size : {231u, 233u}) {
        request.size = size;
        checkheart::ServerPipeCallback(5, &request);
    }
    EXPECT_EQ(Messages(), (Texts{"Heart failed: data=null, fd=5.\n",
                                 "Heart failed: size=231 bytes, valid=232 bytes, fd=5.\n",
                                 "Heart failed: size=233 bytes, valid=232 bytes, fd=5.\n"}));
    alignas(8) char buffer[sizeof(message) + 1];  // a payload that is not 8-aligned
    memcpy(buffer + 1, &message, sizeof(message));
    request.data = buffer + 1;
    request.size = 232;
    checkheart::ServerPipeCallback(5, &request);
    EXPECT_EQ(Info("a").heartCount, 1u);
}

TEST_F(CheckerTest, IntakeDropsNamelessUnknownAndOtherHandleRecords) {
    Add("a");
    Feed(Beat("", 0));
    ASSERT_EQ(log_capture::Lines().size(), 1u);
    EXPECT_EQ(log_capture::Lines()[0].text.rfind("[KOV]", 0), 0u);
    EXPECT_EQ(Messages()[0], "Heart failed: client's PROC_NAME is not available.\n");
    log_capture::Clear();
    Feed(Beat("stranger", 0));
    Feed(Beat("a", 0), 6);
    GetHeartBeatMessageFromClient(-1, Beat("a", 0), HEART_CHANNEL_MMAP);
    EXPECT_EQ(Messages(), (Texts{"Pipe to a fd 5 is different from msg fd 6\n",
                                 "Pipe to a fd 5 is different from msg fd -1\n"}));
    EXPECT_EQ(Info("a").heartCount, 0u);

    const std::string full(200, 'x');  // a name field without terminator
    Add(full);
    HeartBeatMessage message = Beat("", 0);
    memset(message.clientName, 'x', sizeof(message.clientName));
    memset(message.reserved, 'y', sizeof(message.reserved));
    Feed(message);
    EXPECT_EQ(Info(full).heartCount, 1u);
}

TEST_F(CheckerTest, OrderGapsAndRepeatsAreLoggedAndResynchronised) {
    Add("a");
    Feed(Beat("a", 7, 10, 4));
    EXPECT_TRUE(log_capture::Lines().empty());  // whatever the first order and pid
    Feed(Beat("a", 9, 22, 99, 1));
    Feed(Beat("a", 9, 22));
    EXPECT_EQ(Messages(), (Texts{"Heart Msg is unordered, current order=8, received order=9.\n",
                                 "Heart Msg is unordered, current order=10, received order=9.\n"}));
    const ClientMgrInfo info = Info("a");
    EXPECT_EQ(std::tie(info.nextOrder, info.heartCount, info.timeoutTimes),
              std::make_tuple(10u, 3u, 4u));
    EXPECT_EQ(info.pid, 22);
}

// How many late-record lines a record sent ageMs before now (negative: ahead)
// gives, from an attempt during which the millisecond clock did not move.
size_t LateLines(int64_t ageMs, const std::string& cost) {
    static uint32_t order = 0;
    for (;;) {
        log_capture::Clear();
        HeartBeatMessage message = Beat("a", order++);
        message.sendTime = VeKov::GetCurrentTime() - static_cast<uint64_t>(ageMs);
        Feed(message);
        if (VeKov::GetCurrentTime() == message.sendTime + static_cast<uint64_t>(ageMs)) {
            return log_capture::CountMessage("Heart msg receive late, cost time=" + cost +
                                             " ms.\n");
        }
    }
}

TEST_F(CheckerTest, RecordIsLateAfter2000MsOrFromTheFuture) {
    Add("a");
    EXPECT_EQ(LateLines(2000, "2000"), 0u);
    EXPECT_EQ(LateLines(2001, "2001"), 1u);
    EXPECT_EQ(LateLines(-3, "18446744073709551613"), 1u);
    EXPECT_EQ(Info("a").heartCount, Info("a").nextOrder);  // late or not, every one counts
}

// Through the exported operations, with the check thread.
class RegistrationTest : public CheckerTest {
protected:
    void SetUp() override {
        CheckerTest::SetUp();
        State().SendFaultCb = nullptr;
        State().checkProcName.clear();
        EnvManager::SetProcName("pm");
    }
    void TearDown() override { DisableAllCheckHeartBeat(); }
};

TEST_F(RegistrationTest, OpensTheServerEndOnceAndKeepsTheFirstRecord) {
    ASSERT_EQ(RegisterCheckHeartBeat("app", 3, 1234, Record), 0);
    ASSERT_EQ(fake_lumo::Opens().size(), 1u);
    const fake_lumo::OpenCall open = fake_lumo::Opens()[0];
    EXPECT_EQ(std::tie(open.peerName, open.selfName), std::make_tuple("app", "pm_heartbeat"));
    EXPECT_EQ(std::tie(open.timeoutMs, open.isServer, open.pipeMode, open.bindCore, open.flags),
              std::make_tuple(30000u, 1u, 1u, -1, 0u));
    EXPECT_EQ(std::tie(open.enableCallback, open.reserved),
              std::make_tuple(uint8_t{1}, uint64_t{0}));
    EXPECT_EQ(open.gid, VeKov::GetChannelGidForLink(1234, getgid()));
    HeartBeatMessage message = Beat("app", 0);
    LumoRequest request{0, &message, 232, 0};
    open.callback(100, &request);
    EXPECT_EQ(Info("app").heartCount, 1u);

    EXPECT_EQ(RegisterCheckHeartBeat("app", 3, 99, Ignore), 0);
    EXPECT_EQ(log_capture::CountMessage("client:app has been registered\n"), 1u);
    const ClientMgrInfo kept = Info("app");
    EXPECT_EQ(std::tie(kept.gid, kept.heartCount), std::make_tuple(1234u, 1u));
    EXPECT_EQ(RegisterCheckHeartBeat("app", 4, 0, Record), -22);
    EXPECT_EQ(RegisterCheckHeartBeat(nullptr, 0, 0, Record), -22);
    EXPECT_EQ(log_capture::CountMessage("Register appName is invalid\n"), 2u);
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, nullptr), -22);
    EXPECT_EQ(log_capture::CountMessage("Callback function for register client b is invalid\n"),
              1u);
    EXPECT_EQ(fake_lumo::Opens().size(), 1u);
}

TEST_F(RegistrationTest, OpenThatGivesNoHandleFailsTheRegistration) {
    fake_lumo::QueueOpenResults({-11, -11, -11, 7, 0});
    EXPECT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), -1);
    EXPECT_EQ(Messages(),
              (Texts{"pm_heartbeat open pipe to a again.\n",
                     "pm_heartbeat open pipe to a failed, ret=-11.\n",
                     "Init receive heartbeat failed: open lumo channel, a to pm, ret=-11.\n",
                     "Register receive heart beat failed: connect receive channel, a to pm.\n"}));
    EXPECT_EQ(State().stateMap.count("a"), 0u);
    EXPECT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    EXPECT_EQ(Info("a").fd, 7);
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, Record), -1);  // handle 0
    EXPECT_EQ(log_capture::CountContaining("open lumo channel, b to pm, ret=0.\n"), 1u);
}

TEST_F(RegistrationTest, ExitedClientIsAnnouncedBackThroughTheFirstCallback) {
    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    ASSERT_EQ(RegisterCheckHeartBeat("b", 1, 0, Ignore), 0);
    Feed(Beat("b", 0, 42), 101);
    EXPECT_EQ(ReportHeartBeatLost("b", 1), 0);
    EXPECT_EQ(ReportHeartBeatLost("b", 1), 0);
    EXPECT_EQ(log_capture::CountMessage("Client b abnormal exit, report heartbeat lost!"), 2u);
    EXPECT_EQ(ReportHeartBeatLost("b", 2), -22);
    EXPECT_EQ(ReportHeartBeatLost("zz", 2), -22);
    EXPECT_EQ(log_capture::CountMessage("ClientName is invalid.\n"), 1u);
    EXPECT_EQ(log_capture::CountMessage("Client name zz is unregister!\n"), 1u);
    EXPECT_EQ(Taken(), (std::vector<Report>{{"b", 42, 1}, {"b", 42, 1}}));

    EXPECT_EQ(UnregisterCheckHeartBeat("b", 1), 0);
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, Ignore), 0);
    DisableAllCheckHeartBeat();
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, Ignore), 0);
    EXPECT_EQ(Taken(), (std::vector<Report>{{"b", 0, 0}, {"b", 0, 0}}));
}

TEST_F(RegistrationTest, UnregisterForgetsTheClientAndReturnsTheCloseResult) {
    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    fake_lumo::QueueCloseResults({-22});
    EXPECT_EQ(UnregisterCheckHeartBeat("a", 1), -22);  // already gone: no error line
    EXPECT_EQ(log_capture::CountContaining("Unregister heart beat failed"), 0u);
    EXPECT_EQ(UnregisterCheckHeartBeat("a", 1), -22);
    EXPECT_EQ(log_capture::CountMessage("Can't find a in stateMap.\n"), 1u);
    EXPECT_EQ(UnregisterCheckHeartBeat("a", 0), -22);
    EXPECT_EQ(log_capture::CountMessage("Unregister check appName is invalid.\n"), 1u);

    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    fake_lumo::QueueCloseResults({-5});
    EXPECT_EQ(UnregisterCheckHeartBeat("a", 1), -5);
    EXPECT_EQ(log_capture::CountMessage("Unregister heart beat failed, appName is a.\n"), 1u);
    EXPECT_EQ(fake_lumo::Closes(), (std::vector<int>{100, 101}));
    EXPECT_FALSE(State().stateMap.count("a"));
}

TEST_F(RegistrationTest, DisableEndsTheWaitingThreadAtOnceAndRegistrationRestartsIt) {
    State().checkSemaphore.Post();  // a post that no thread consumed
    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log_capture::CountMessage("Check HeartBeat thread end.\n"), 0u);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DisableAllCheckHeartBeat(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(Messages().back(), "Unregister all client check heart beat.");
    EXPECT_EQ(log_capture::CountMessage("Check HeartBeat thread end.\n"), 1u);
    EXPECT_TRUE(State().stateMap.empty());

    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    EXPECT_TRUE(State().checkThread.joinable());
    EXPECT_EQ(DisableAllCheckHeartBeat(), 0);
    EXPECT_EQ(log_capture::CountMessage("Check HeartBeat thread end.\n"), 2u);
}

TEST_F(RegistrationTest, ProcessExitWhileTheThreadRunsEndsNormally) {
    EXPECT_EQ(child_process::Run([] {
                  RegisterCheckHeartBeat("a", 1, 0, Record);
                  std::exit(7);  // static destructors run while the thread waits
                  return 0;
              }),
              7);
}

TEST_F(RegistrationTest, ConcurrentUseKeepsTheRegistryConsistent) {
    constexpr int kOwners = 3;
    std::atomic<bool> stop{false};
    std::vector<std::set<std::string>> registered(kOwners);
    std::vector<std::thread> threads;
    for (int owner = 0; owner < kOwners; ++owner) {  // each owns the names c<owner>_<0..15>
        threads.emplace_back([&, owner] {
            for (unsigned turn = 1; !stop; turn = turn * 1103515245u + 12345u) {
                const std::string name =
                    "c" + std::to_string(owner) + "_" + std::to_string(turn >> 28);
                if (registered[owner].erase(name) != 0) {
                    UnregisterCheckHeartBeat(name.c_str(), name.size());
                } else if (RegisterCheckHeartBeat(name.c_str(), name.size(), 0, Ignore) == 0) {
                    registered[owner].insert(name);
                }
            }
        });
    }
    for (int feeder = 0; feeder < 2; ++feeder) {
        threads.emplace_back([&] {
            for (uint32_t order = 0; !stop; ++order) {
                const std::string name =
                    "c" + std::to_string(order % kOwners) + "_" + std::to_string(order % 16);
                int fd = -1;
                {
                    std::lock_guard<std::mutex> lock(State().stateMutex);
                    auto found = State().stateMap.find(name);
                    fd = found != State().stateMap.end() ? found->second.fd : fd;
                }
                Feed(Beat(name, order, 1, 1, static_cast<uint8_t>(order % 7 == 0)), fd);
                ReportHeartBeatLost(name.c_str(), name.size());
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            RunCheckCycle();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> expected;
    for (const auto& names : registered) {
        expected.insert(names.begin(), names.end());
    }
    std::set<std::string> actual;
    for (const auto& entry : State().stateMap) {
        actual.insert(entry.first);
    }
    EXPECT_EQ(actual, expected);
}

}  // namespace
