#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "checker/checker_test_util.h"
#include "common/Semaphore.h"
#include "env_manager.h"
#include "heartbeat_status.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

// Every TEST runs in a fresh process: the registry starts empty, no callback set.
namespace {

using checkheart::RunCheckCycle;
using checkheart::State;
using std::chrono::milliseconds;
using namespace checker_test;

void Feed(const HeartBeatMessage& message, int fd = 5) {
    GetHeartBeatMessageFromClient(fd, message, HEART_CHANNEL_PIPE);
}
int Registered() { return GetCheckHeartBeatStatus(nullptr, 0, nullptr); }

// Without the check thread: clients enter the registry directly, on pipe 5,
// and the test runs the cycles.
class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override { State().SendFaultCb = Record; }
    // Returns the registry's walk, the order in which a cycle visits the clients.
    static std::vector<std::string> Add(std::initializer_list<const char*> names) {
        hb::MutexLock lock(&State().stateMutex);
        std::vector<std::string> walk;
        for (const char* name : names) State().stateMap[name].fd = 5;
        for (const auto& entry : State().stateMap) walk.push_back(entry.first);
        return walk;
    }
};

TEST_F(CheckerTest, ClientStateFollowsHeartbeatsSilenceAndWatchdog) {
    Add({"a", "z"});
    Feed(Beat("z", 0, 10, 0));  // timeoutTimes 0: never times out
    const std::tuple<int, uint8_t, Reports> steps[] = {
        {1, 0, {}},              // first heartbeat: alive, threshold 2 (later ones say 99)
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
    for (const auto& step : steps) {
        for (int i = 0; i < std::get<0>(step); ++i, ++order)
            Feed(Beat("a", order, 10, order == 0 ? 2 : 99, std::get<1>(step)));
        RunCheckCycle();
        EXPECT_EQ(Taken(), std::get<2>(step)) << "after heartbeat " << order;
    }
    EXPECT_EQ(log_capture::CountMessage("Client a report HeartBeat timeout.\n"), 2u);
    for (const log_capture::Line& line : log_capture::Lines())  // losses are errors, the rest not
        EXPECT_EQ(line.priority == LOG_ERR, line.text.find("recover") == line.text.npos) << line.text;
}

TEST_F(CheckerTest, WaitingClientIsReopenedEveryTenthCycleAndNeverReported) {
    Add({"w"});
    fake_lumo::QueueOpenResults({-5});
    for (int cycle = 1; cycle <= 120; ++cycle) {
        RunCheckCycle();
        ASSERT_EQ(fake_lumo::Opens().size(), static_cast<size_t>(cycle / 10)) << cycle;
    }
    // A failed reopen keeps the old pipe; a later one replaces it.
    EXPECT_EQ(std::make_tuple(fake_lumo::Opens()[0].peerName, Info("w").fd, fake_lumo::Closes(),
                              Taken()),
              std::make_tuple("w", 111, std::vector<int>{}, Reports{}));
}

TEST_F(CheckerTest, IntakeCountsOnlyWholeNamedOrderedRecordsFromTheClientsOwnPipe) {
    Add({"a"});
    HeartBeatMessage message = Beat("a", 0);
    LumoRequest requests[] = {{}, {0, &message, 233, 0}, {0, &message, 231, 0}};
    checkheart::ServerPipeCallback(5, nullptr);  // a disconnect: ignored, not logged
    for (LumoRequest& request : requests) checkheart::ServerPipeCallback(5, &request);
    Feed(Beat("", 0));
    Feed(Beat("stranger", 0));
    Feed(message, 6);
    GetHeartBeatMessageFromClient(-1, message, HEART_CHANNEL_MMAP);
    EXPECT_EQ(std::make_tuple(Info("a").heartCount, log_capture::Lines().size()),
              std::make_tuple(0u, 6u));  // none counted; each logged once but the stranger

    Feed(message);
    message = Beat("a", 9, 22);  // a gap in the order, and late: logged, counted, followed
    message.sendTime -= 60000;
    Feed(message);
    EXPECT_EQ(std::make_tuple(Info("a").heartCount, Info("a").nextOrder, Info("a").pid),
              std::make_tuple(2u, 10u, 22));
    EXPECT_EQ(log_capture::Lines().size(), 8u);
}

// Roles go by place in the registry's walk: one cycle then reports a loss, a
// recovery and a loss in that order, whatever order the names hash to.
TEST_F(CheckerTest, ReportsFollowTheRegistryWalkAndTheSnapshotShowsEveryClient) {
    const std::vector<std::string> walk = Add({"p", "q", "r", "s"});
    Feed(Beat(walk[0], 0, 1, 1));
    Feed(Beat(walk[1], 0, 2, 5, 1));  // watchdog failed: lost at once
    Feed(Beat(walk[2], 0, 3, 1));     // walk[3] never sends: waiting
    RunCheckCycle();
    EXPECT_EQ(Taken(), (Reports{{walk[1], 2, 1}}));
    Feed(Beat(walk[1], 1, 2));
    Feed(Beat(walk[1], 2, 2));
    RunCheckCycle();
    EXPECT_EQ(Taken(), (Reports{{walk[0], 1, 1}, {walk[1], 2, 0}, {walk[2], 3, 1}}));
    ASSERT_EQ(ReportHeartBeatLost(walk[1].c_str(), 1), 0);

    using Row = std::tuple<std::string, uint32_t, int32_t, uint32_t, uint32_t, uint32_t, bool,
                           uint32_t, uint32_t>;  // name state pid beats silent timeout aged lost back
    HeartBeatClientStatus all[4]{};
    uint64_t cycles = 0;
    ASSERT_EQ(GetCheckHeartBeatStatus(all, 4, &cycles), 4);
    std::set<Row> rows;
    for (const HeartBeatClientStatus& s : all)
        rows.emplace(s.name, s.state, s.pid, s.heartbeats, s.silentCycles, s.timeoutTimes,
                     s.lastHeartbeatAgeMs >= 0 && s.lastHeartbeatAgeMs < 60000, s.losses,
                     s.recoveries);
    EXPECT_EQ(rows, (std::set<Row>{
                        {walk[0], HEARTBEAT_CLIENT_LOST, 1, 1, 1, 1, true, 1, 0},
                        {walk[1], HEARTBEAT_CLIENT_ALIVE, 2, 3, 0, 5, true, 2, 1},
                        {walk[2], HEARTBEAT_CLIENT_LOST, 3, 1, 1, 1, true, 1, 0},
                        {walk[3], HEARTBEAT_CLIENT_WAITING, 0, 0, 2, 0, false, 0, 0},
                    }));
    HeartBeatClientStatus one[2]{};
    one[1].gid = 77;  // past the capacity: left alone
    EXPECT_EQ(GetCheckHeartBeatStatus(one, 1, nullptr), 4);
    EXPECT_EQ(GetCheckHeartBeatStatus(nullptr, 1, nullptr), -EINVAL);
    EXPECT_EQ(std::make_tuple(one[1].gid, cycles), std::make_tuple(77u, uint64_t{2}));
}

// Through the exported operations, with the check thread, which the process
// leaves running when it exits. One client's life: the first registration opens
// its end and starts the thread, unregistration closes it, and disabling ends
// the thread at once.
TEST(RegistrationTest, ServesAClientFromFirstOpenToDisableAndAnnouncesAReportedOneBack) {
    EnvManager::SetProcName("pm");
    State().checkSemaphore.Post();  // left by a disable that found no thread: not for the next
    EXPECT_EQ(RegisterCheckHeartBeat("a", 2, 0, Record), -EINVAL);
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, nullptr), -EINVAL);
    EXPECT_EQ(ReportHeartBeatLost("app", 3), -EINVAL);
    fake_lumo::QueueOpenResults({-EAGAIN, -EAGAIN, 0});  // one retry, then handle 0: both fail
    EXPECT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), -1);
    EXPECT_EQ(RegisterCheckHeartBeat("b", 1, 0, Record), -1);
    EXPECT_EQ(Registered(), 0);

    ASSERT_EQ(RegisterCheckHeartBeat("app", 3, 1234, Record), 0);
    const fake_lumo::OpenCall open = fake_lumo::Opens().at(3);
    EXPECT_EQ(std::make_tuple(open.peerName, open.selfName, open.param.isServer, open.param.gid),
              std::make_tuple("app", "pm_heartbeat", 1u, VeKov::GetChannelGidForLink(1234, getgid())));
    HeartBeatMessage message = Beat("app", 0, 42);
    LumoRequest request{0, &message, 232, 0};
    open.param.callback(Info("app").fd, &request);
    EXPECT_EQ(0, RegisterCheckHeartBeat("app", 3, 99, [](const char*, size_t, int, unsigned) {}));
    EXPECT_EQ(std::make_tuple(Info("app").gid, Info("app").heartCount, fake_lumo::Opens().size()),
              std::make_tuple(1234u, 1u, 4u));
    EXPECT_EQ(ReportHeartBeatLost("app", 3), 0);  // through the first callback

    // Unregistration answers what the close said; a reported client is announced
    // back at every registration that follows.
    fake_lumo::QueueCloseResults({-EIO, -EINVAL});
    EXPECT_EQ(UnregisterCheckHeartBeat("app", 3), -EIO);
    EXPECT_EQ(UnregisterCheckHeartBeat("app", 3), -EINVAL);
    ASSERT_EQ(RegisterCheckHeartBeat("app", 3, 0, Record), 0);
    EXPECT_EQ(UnregisterCheckHeartBeat("app", 3), -EINVAL);
    ASSERT_EQ(RegisterCheckHeartBeat("app", 3, 0, Record), 0);
    EXPECT_EQ(std::make_tuple(Taken(), fake_lumo::Closes()),
              std::make_tuple(Reports{{"app", 42, 1}, {"app", 0, 0}, {"app", 0, 0}},
                              std::vector<int>{103, 104}));

    std::this_thread::sleep_for(milliseconds(100));  // the thread has met the leftover post
    EXPECT_EQ(log_capture::CountMessage("Check HeartBeat thread end.\n"), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DisableAllCheckHeartBeat(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));
    EXPECT_EQ(log_capture::CountMessage("Check HeartBeat thread end.\n"), 1u);
    EXPECT_EQ(Registered(), 0);
    ASSERT_EQ(RegisterCheckHeartBeat("a", 1, 0, Record), 0);
    hb::MutexLock lock(&State().stateMutex);
    EXPECT_TRUE(State().checkThread.joinable());
}

TEST(RegistrationTest, ConcurrentUseKeepsTheRegistryConsistent) {
    std::atomic<bool> stop{false};
    std::thread checker([&stop] {  // cycles, and a status reader between them
        for (HeartBeatClientStatus status[3]; !stop; RunCheckCycle())
            EXPECT_LE(GetCheckHeartBeatStatus(status, 3, nullptr), 3);
    });
    std::vector<std::thread> owners;
    for (const char* name : {"a", "b", "c"})  // each its own client, over and over
        owners.emplace_back([name] {
            for (uint32_t i = 0; i < 300; ++i) {
                ASSERT_EQ(RegisterCheckHeartBeat(name, 1, 0, Record), 0);
                Feed(Beat(name, i, 1, 1, static_cast<uint8_t>(i % 7 == 0)), Info(name).fd);
                EXPECT_EQ(ReportHeartBeatLost(name, 1), 0);
                ASSERT_EQ(UnregisterCheckHeartBeat(name, 1), 0);
            }
        });
    for (auto& owner : owners) owner.join();
    stop = true;
    checker.join();
    // Nothing left behind, and every owner's registration after its first report was announced back.
    const Reports reports = Taken();
    for (const char* name : {"a", "b", "c"})
        EXPECT_EQ(std::count(reports.begin(), reports.end(), std::make_tuple(std::string(name), 0, 0u)), 299) << name;
    EXPECT_EQ(Registered(), 0);
}

// The check thread's wait between cycles. That a post wakes it at once is
// checked where DisableAllCheckHeartBeat ends the thread.
TEST(SemaphoreTest, PendingPostsAreTakenAtOnceAndAnEmptyWaitTimesOutLeavingTheCount) {
    Semaphore semaphore;
    for (int i = 0; i < 2; ++i) semaphore.Post();
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(semaphore.TimedWait(milliseconds(5000))) << i;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.TimedWait(milliseconds(60)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(60));
    EXPECT_EQ(semaphore.Count(), 0);
}

// The group a receiving end is opened for.
TEST(ChannelGidTest, FirstMatchingRowDecides) {
    // {1101, 0}: the "second is 0" row comes before the "first is 1101" row.
    const unsigned int rows[][3] = {{0, 0, 0},       {1101, 0, 1101},   {1101, 77, 77},
                                    {1102, 77, 1102}, {1000, 1101, 1000}, {1000, 1102, 1102},
                                    {5, 1102, 1000},  {77, 1000, 1000}};
    for (const auto& row : rows)
        EXPECT_EQ(VeKov::GetChannelGidForLink(row[0], row[1]), row[2]) << row[0] << ", " << row[1];
}

}  // namespace
