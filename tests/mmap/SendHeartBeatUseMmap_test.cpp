#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"
#include "mmap_test_util.h"
#include "support/log_capture.h"

namespace {

using mmap_test::Head;
using mmap_test::Record;

uint64_t fakeNow = 0;
bool fakeDogHealthy = true;

class MmapSendCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        page_ = mmap_test::AnonymousPage();
        ASSERT_NE(page_, nullptr);
        sender_.mmapClientName = "alarm";
        sender_.mmapChannelAddr = page_;
        sender_.mmapTimeoutTimes = 7;
    }
    void Cycle(uint64_t now, bool dogHealthy = true) {
        fakeNow = now;
        fakeDogHealthy = dogHealthy;
        const VeHeartBeat::MmapSendHooks hooks = {[] { return fakeDogHealthy; }, [] { return fakeNow; }};
        VeHeartBeat::SendHeartBeatMmapCycle(message_, previousTime_, hooks);
    }
    VeHeartBeat::MmapSenderState& sender_ = VeHeartBeat::MmapSender();
    void* page_ = nullptr;
    HeartBeatMessage message_{};
    uint64_t previousTime_ = 0;
};

TEST_F(MmapSendCycleTest, WritesTheRecordAndMarksItNewWithRunningOrder) {
    Cycle(5000);
    ASSERT_EQ(Head(page_), 1U);
    EXPECT_EQ(Record(page_).order, 0U);
    EXPECT_EQ(Record(page_).sendTime, 5000U);
    EXPECT_STREQ(Record(page_).clientName, "alarm");
    EXPECT_EQ(Record(page_).pid, getpid());
    EXPECT_EQ(Record(page_).timeoutTimes, 7U);
    EXPECT_EQ(Record(page_).watchDogFailed, 0);

    mmap_test::SetHead(page_, 2);
    Cycle(8000, false);  // a failed watchdog still sends, marked
    EXPECT_EQ(Head(page_), 1U);
    EXPECT_EQ(Record(page_).order, 1U);
    EXPECT_EQ(Record(page_).watchDogFailed, 1);
    EXPECT_TRUE(log_capture::Lines().empty());
}

TEST_F(MmapSendCycleTest, NameOfTwoHundredCharactersIsNeverSentNorCounted) {
    const std::string tooLong(200, 'n');
    sender_.mmapClientName = tooLong;
    Cycle(1000);
    Cycle(4000);
    // The log line is cut at its length limit, long before the name ends.
    EXPECT_EQ(log_capture::CountContaining("] Send heart failed: copy " + tooLong.substr(0, 100)), 2U);
    EXPECT_EQ(Head(page_), 0U);
    sender_.mmapClientName = tooLong.substr(1);
    Cycle(7000);
    EXPECT_EQ(Record(page_).clientName, tooLong.substr(1));
    EXPECT_EQ(Record(page_).order, 0U);
}

TEST_F(MmapSendCycleTest, LatenessCountsFromTheLastWrittenCycleAndALostChannelIsReopened) {
    mmap_test::ShmDir dir;
    Cycle(20000);  // the first cycle has nothing to compare with
    Cycle(30000);  // exactly 10000 ms is on time
    EXPECT_TRUE(log_capture::Lines().empty());

    sender_.mmapChannelAddr = nullptr;
    sender_.mmapChannelPath = dir.File("channel");
    Cycle(33000);
    Cycle(36000);
    EXPECT_EQ(log_capture::CountMessage("Send heart failed: pipe reset failed.\n"), 2U);
    void* channel = VeHeartBeat::InitHeartBeatMmapChannel(sender_.mmapChannelPath, true, getgid());
    ASSERT_NE(channel, nullptr);
    log_capture::Clear();
    Cycle(40001);
    EXPECT_EQ(Head(channel), 1U);
    EXPECT_EQ(Record(channel).order, 2U);
    ASSERT_EQ(log_capture::Lines().size(), 1U);
    EXPECT_EQ(log_capture::CountMessage("Send heart failed: thread late, cost time=10001 ms.\n"), 1U);
}

TEST(MmapSenderTest, StartsOnlyOnAnExistingChannelAndStopDeletesIt) {
    const std::string client = "mmapsend" + std::to_string(getpid());
    const std::string path = "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
    EXPECT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 0), -1);
    EXPECT_EQ(log_capture::CountMessage("Init heart channel failed: open mmap file " + path + ", errno=2.\n"), 1U);

    void* peer = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 0), 0);
    EXPECT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap("other", "procmgr", 3), -16);
    for (int i = 0; i < 100 && mmap_test::ThreadsNamed("SendHeartMmap") == 0; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(mmap_test::ThreadsNamed("SendHeartMmap"), 1);
    usleep(200000);  // let it enter its first sleep

    // The stop lets the running cycle write its record, then deletes the file.
    EXPECT_EQ(VeHeartBeat::UnregisterSendHeartBeatWithMmap(), 0);
    EXPECT_EQ(mmap_test::ThreadsNamed("SendHeartMmap"), 0);
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    EXPECT_EQ(Head(peer), 1U);
    EXPECT_EQ(Record(peer).clientName, client);
    EXPECT_EQ(Record(peer).timeoutTimes, 0U);
    munmap(peer, 4096);

    EXPECT_EQ(VeHeartBeat::UnregisterSendHeartBeatWithMmap(), 0);  // must not unmap again
    EXPECT_EQ(log_capture::CountMessage("Fini heart channel failed: mmap " + path + " buf=null.\n"), 1U);
    EXPECT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 0), -1);
}

TEST(MmapSenderTest, StopWithoutStartReportsTheMissingChannel) {
    EXPECT_EQ(VeHeartBeat::UnregisterSendHeartBeatWithMmap(), 0);
    EXPECT_EQ(log_capture::CountMessage("Fini heart channel failed: mmap  buf=null.\n"), 1U);
}

}  // namespace
