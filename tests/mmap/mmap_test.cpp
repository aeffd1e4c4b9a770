#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

using namespace VeHeartBeat;

// A fresh page of zeroed memory, shared unless MAP_PRIVATE is asked for.
void* Page(int kind = MAP_SHARED) { return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, kind | MAP_ANONYMOUS, -1, 0); }
uint32_t Head(const void* page) { return *static_cast<const volatile uint32_t*>(page); }

// Modes, groups and files planted at the path are the hostile suite's.
TEST(MmapChannelTest, SenderWritesTheCheckersFileAndEitherSideDeletesItOnce) {
    const std::string client = "mmapsend" + std::to_string(getpid());
    const std::string path = "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
    EXPECT_EQ(InitSendHeartBeatWithMmap(client, "procmgr", 9), -1);  // the client side never creates it
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the number that the checker's file gets
    close(fd);
    void* peer = InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_TRUE(peer != nullptr && lseek(fd, 0, SEEK_END) == 4096);  // a whole page
    EXPECT_EQ((fcntl(fd, F_GETFL) & (O_ACCMODE | O_SYNC)) | fcntl(fd, F_GETFD), O_RDWR | O_SYNC | FD_CLOEXEC);
    FiniHeartBeatMmapChannel(nullptr, path);  // no page: the file stays
    ASSERT_EQ(InitSendHeartBeatWithMmap(client, "procmgr", 0), 0);
    EXPECT_EQ(InitSendHeartBeatWithMmap("other", "procmgr", 3), -EBUSY);  // one sender
    usleep(200000);  // into its first sleep
    EXPECT_EQ(UnregisterSendHeartBeatWithMmap(), 0);  // the cycle still writes
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_STREQ(static_cast<char*>(peer) + 16, client.c_str());  // clientName at 4 + 12
    FiniHeartBeatMmapChannel(peer, path);
    EXPECT_EQ(log_capture::CountContaining("unlink"), 0u);  // the second deletion is silent
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // kept while mapped, but not across exec, and closed with the page

    // No thread can be created: two attempts, then -EAGAIN, and the channel stays open until a stop. Root,
    // whom the limit does not bind, becomes nobody, in a child, as that process cannot even end cleanly.
    const int failed = child_process::Run([&] {
        const struct rlimit none = {0, 0};
        const auto start = [&] { return InitSendHeartBeatWithMmap(client, "procmgr", 5); };
        return !((geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) &&
                 setrlimit(RLIMIT_NPROC, &none) == 0 && InitHeartBeatMmapChannel(path, true, getgid()) != nullptr &&
                 start() == -EAGAIN && start() == -EBUSY && unlink(path.c_str()) == 0 &&
                 log_capture::CountContaining("create heart beat thread") == 2);
    });
    EXPECT_EQ(failed, 0);
}

// Writes like a sender: head 1, and a record whose order (at 4 + 8) is `order`.
void* Sent(void* page, uint32_t order) {
    const uint32_t words[] = {1, 0, 0, order};
    return memcpy(page, words, sizeof(words));
}

std::vector<uint32_t> handed;  // the orders of the records handed on, 0 for a wrong handle or channel
void Intake(const int& fd, const HeartBeatMessage& record, HeartChannelType channel) {
    handed.push_back(fd == -1 && channel == HEART_CHANNEL_MMAP ? record.order : 0);
}

TEST(MmapListenerTest, TakesEachNewRecordOnceAndReportsSilentSenders) {
    // Empty, taken and unlisted pages and odd bytes are the listener fuzz target's.
    ASSERT_TRUE(StartListeningHeartBeatMmapChannel("x", Sent(Page(), 5)));  // its thread first sleeps 3 s
    EXPECT_FALSE(StartListeningHeartBeatMmapChannel("x", nullptr));
    VisitMmapChannels(Intake);
    VisitMmapChannels(Intake);  // the head is 2 now: "not updated"
    StopListenHeartBeatMmapChannel("x");
    VisitMmapChannels(Intake);  // no longer listed: no record, no line
    EXPECT_EQ(handed, std::vector<uint32_t>{5});
    EXPECT_EQ(log_capture::CountMessage("Receive heart failed: client heart beat is not updated."), 1u);

    void* later = Sent(Page(), 6);
    EXPECT_TRUE(StartListeningHeartBeatMmapChannel("later", later));
    sleep(4);
    hb::MutexLock lock(&MmapListener().mmapListenMutex);
    EXPECT_EQ(Head(later), 2U);  // taken by the thread
}

// A fault callback that forks (to restart a client, say) runs inside the
// intake, under the listener's lock. The child must not go on taking the
// parent's records, nor keep listing the parent's pages.
pid_t forked = -1;
void ForkOnce(const int&, const HeartBeatMessage&, HeartChannelType) { forked = forked == -1 ? fork() : forked; }

TEST(MmapListenerTest, ChildForkedInsideTheIntakeStopsTheVisitAndListsNothing) {
    void* pages[] = {Sent(Page(MAP_PRIVATE), 1), Sent(Page(MAP_PRIVATE), 2)};
    MmapListenerState& listener = MmapListener();
    {
        // Listed by hand: the public start would also start the listening
        // thread, whose state a forked child inherits without the thread.
        hb::MutexLock lock(&listener.mmapListenMutex);
        listener.mmapChannelMap = {{"a", reinterpret_cast<uintptr_t>(pages[0])},
                                   {"b", reinterpret_cast<uintptr_t>(pages[1])}};
    }
    VisitMmapChannels(ForkOnce);
    if (forked == 0) {
        hb::MutexLock lock(&listener.mmapListenMutex);  // released by the visit
        _exit(Head(pages[0]) + Head(pages[1]) == 3 && listener.mmapChannelMap.empty() ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(waitpid(forked, &status, 0) == forked && status == 0);
}

HeartBeatMessage message{};
uint64_t previousTime = 0, now = 0;
void CycleAt(uint64_t ms) {  // the watchdog fails at 30000 ms only
    now = ms;
    SendHeartBeatMmapCycle(message, previousTime, {[] { return now != 30000; }, [] { return now; }});
}

TEST(MmapSendCycleTest, WritesEachCycleAndSkipsWhatCannotBeSent) {
    MmapSenderState& sender = MmapSender();
    sender.mmapClientName = "alarm", sender.mmapChannelAddr = Page(), sender.mmapTimeoutTimes = 7;
    const char* record = static_cast<char*>(sender.mmapChannelAddr) + 4;
    CycleAt(20000);
    CycleAt(30000);  // 10000 ms later is on time; a failed watchdog is sent, marked
    EXPECT_EQ(Head(sender.mmapChannelAddr), 1U);
    HeartBeatMessage r;  // every field the page holds; the reserved bytes are unspecified
    memcpy(&r, record, sizeof(r));
    EXPECT_EQ(std::make_tuple(r.order, r.sendTime, r.pid, r.timeoutTimes, +r.watchDogFailed, std::string(r.clientName)),
              std::make_tuple(1U, uint64_t{30000}, getpid(), 7U, 1, std::string("alarm")));

    sender.mmapClientName = std::string(200, 'n');  // does not fit the record
    CycleAt(33000);
    sender.mmapClientName = std::string(199, 'n');
    CycleAt(40001);
    EXPECT_EQ(message.order, 3U);  // the skipped cycle is not counted
    EXPECT_EQ(std::string(record + 12), std::string(199, 'n'));
    EXPECT_EQ(log_capture::CountContaining("thread late"), 1u);  // not at 10000 ms
    EXPECT_EQ(log_capture::CountMessage("Send heart failed: thread late, cost time=10001 ms.\n"), 1u);
}

}  // namespace
