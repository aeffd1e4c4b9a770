#include <cstddef>
#include <vector>

#include "mmap_test_util.h"

namespace {

using VeHeartBeat::StartListeningHeartBeatMmapChannel;

// Writes like a sender: the record of client "x" with `order`, then head 1.
void* Sent(void* page, uint32_t order) {
    char* record = static_cast<char*>(page) + 4;
    memcpy(record + offsetof(HeartBeatMessage, order), &order, sizeof(order));
    record[offsetof(HeartBeatMessage, clientName)] = 'x';
    mmap_test::SetHead(page, 1);
    return page;
}

std::vector<uint32_t> handed;  // the orders of the records handed on
void Intake(const int& fd, const HeartBeatMessage& record, HeartChannelType channel) {
    EXPECT_TRUE(fd == -1 && channel == HEART_CHANNEL_MMAP);
    handed.push_back(record.order);
}

TEST(MmapListenerTest, TakesEachNewRecordOnceAndReportsSilentSenders) {
    void* page = Sent(mmap_test::AnonymousPage(), 5);
    ASSERT_TRUE(StartListeningHeartBeatMmapChannel("x", page));  // its thread first sleeps 3 s
    EXPECT_FALSE(StartListeningHeartBeatMmapChannel("x", nullptr));
    EXPECT_TRUE(StartListeningHeartBeatMmapChannel("empty", mmap_test::AnonymousPage()) &&
                StartListeningHeartBeatMmapChannel("null", nullptr));
    VeHeartBeat::VisitMmapChannels(Intake);
    VeHeartBeat::StopListenHeartBeatMmapChannel("null");
    VeHeartBeat::VisitMmapChannels(Intake);
    EXPECT_EQ(handed, std::vector<uint32_t>{5});  // and the head set to 2: "not updated"
    EXPECT_EQ(mmap_test::Messages(),
              "Register receive heart failed: x's heartbeat has been registered.\n|"
              "Receive heart failed: mmap buf=null, client=null.|"
              "Receive heart failed: client heart beat is not updated.|");

    void* later = Sent(mmap_test::AnonymousPage(), 6);
    EXPECT_TRUE(StartListeningHeartBeatMmapChannel("later", later));
    sleep(4);
    hb::MutexLock lock(&VeHeartBeat::MmapListener().mmapListenMutex);
    EXPECT_EQ(mmap_test::Head(later), 2U);  // taken by the thread
}

}  // namespace
