#include <sys/wait.h>

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
    *static_cast<volatile uint32_t*>(page) = 1;
    return page;
}

std::vector<uint32_t> handed;  // the orders of the records handed on
void Intake(const int& fd, const HeartBeatMessage& record, HeartChannelType channel) {
    EXPECT_TRUE(fd == -1 && channel == HEART_CHANNEL_MMAP);
    handed.push_back(record.order);
}

TEST(MmapListenerTest, TakesEachNewRecordOnceAndReportsSilentSenders) {
    // Empty, taken and unlisted pages and odd bytes are the listener fuzz target's.
    void* page = Sent(mmap_test::AnonymousPage(), 5);
    ASSERT_TRUE(StartListeningHeartBeatMmapChannel("x", page));  // its thread first sleeps 3 s
    EXPECT_FALSE(StartListeningHeartBeatMmapChannel("x", nullptr));
    VeHeartBeat::VisitMmapChannels(Intake);
    VeHeartBeat::VisitMmapChannels(Intake);  // the head is 2 now: "not updated"
    VeHeartBeat::StopListenHeartBeatMmapChannel("x");
    VeHeartBeat::VisitMmapChannels(Intake);  // no longer listed: no record, no line
    EXPECT_EQ(handed, std::vector<uint32_t>{5});
    EXPECT_EQ(log_capture::CountMessage("Receive heart failed: client heart beat is not updated."), 1u);

    void* later = Sent(mmap_test::AnonymousPage(), 6);
    EXPECT_TRUE(StartListeningHeartBeatMmapChannel("later", later));
    sleep(4);
    hb::MutexLock lock(&VeHeartBeat::MmapListener().mmapListenMutex);
    EXPECT_EQ(mmap_test::Head(later), 2U);  // taken by the thread
}

// A fault callback that forks (to restart a client, say) runs inside the
// intake, under the listener's lock. The child must not go on taking the
// parent's records, nor keep listing the parent's pages.
pid_t forked = -1;
TEST(MmapListenerTest, ChildForkedInsideTheIntakeStopsTheVisitAndListsNothing) {
    auto privatePage = [] { return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); };
    void* pages[] = {Sent(privatePage(), 1), Sent(privatePage(), 2)};
    VeHeartBeat::MmapListenerState& listener = VeHeartBeat::MmapListener();
    {
        hb::MutexLock lock(&listener.mmapListenMutex);
        listener.mmapChannelMap = {{"a", reinterpret_cast<uintptr_t>(pages[0])},
                                   {"b", reinterpret_cast<uintptr_t>(pages[1])}};
    }
    VeHeartBeat::VisitMmapChannels([](const int&, const HeartBeatMessage&, HeartChannelType) {
        forked = forked == -1 ? fork() : forked;
    });
    if (forked == 0) {
        hb::MutexLock lock(&listener.mmapListenMutex);  // released by the visit
        _exit(mmap_test::Head(pages[0]) + mmap_test::Head(pages[1]) == 3 && listener.mmapChannelMap.empty() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(forked, &status, 0), forked);
    EXPECT_EQ(status, 0);
}

}  // namespace
