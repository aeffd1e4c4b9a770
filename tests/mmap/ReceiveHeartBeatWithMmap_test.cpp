#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "heartbeat.h"
#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"
#include "mmap_test_util.h"
#include "support/child_process.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

namespace {

using mmap_test::Head;
using VeHeartBeat::MmapListener;
using VeHeartBeat::VisitMmapChannels;

struct Handed {
    int fd;
    HeartBeatMessage record;
    HeartChannelType channel;
};
std::vector<Handed> handed;
void Recording(const int& fd, const HeartBeatMessage& record, HeartChannelType channel) {
    handed.push_back({fd, record, channel});
}

uint64_t Address(void* page) { return reinterpret_cast<uintptr_t>(page); }

// Waits up to 8 s, reading the head under the listener's lock.
bool WaitForHead(void* page, uint32_t head) {
    for (int i = 0; i < 800; ++i) {
        std::unique_lock<std::mutex> lock(MmapListener().mmapListenMutex);
        if (Head(page) == head) {
            return true;
        }
        lock.unlock();
        usleep(10000);
    }
    return false;
}

TEST(MmapListenVisitTest, TakesEachNewRecordOnceAndReportsSilentSenders) {
    void* empty = mmap_test::AnonymousPage();
    void* fresh = mmap_test::AnonymousPage();
    void* garbage = mmap_test::AnonymousPage();
    mmap_test::Send(fresh, "b", 5);
    mmap_test::SetHead(garbage, 7);
    MmapListener().mmapChannelMap = {{"a", Address(empty)}, {"b", Address(fresh)}, {"c", Address(garbage)}, {"d", 0}};

    VisitMmapChannels(Recording);
    ASSERT_EQ(handed.size(), 1U);
    EXPECT_EQ(handed[0].fd, -1);
    EXPECT_EQ(handed[0].channel, HEART_CHANNEL_MMAP);
    EXPECT_STREQ(handed[0].record.clientName, "b");
    EXPECT_EQ(handed[0].record.order, 5U);
    EXPECT_EQ(Head(fresh), 2U);
    EXPECT_EQ(Head(empty), 0U);
    EXPECT_EQ(Head(garbage), 7U);
    ASSERT_EQ(log_capture::Lines().size(), 1U);
    EXPECT_EQ(log_capture::CountMessage("Receive heart failed: mmap buf=null, client=d."), 1U);

    log_capture::Clear();
    VisitMmapChannels(Recording);
    EXPECT_EQ(handed.size(), 1U);
    EXPECT_EQ(log_capture::CountMessage("Receive heart failed: client heart beat is not updated."), 1U);
    EXPECT_EQ(log_capture::Lines().size(), 2U);

    mmap_test::Send(fresh, "b", 6);
    mmap_test::Send(fresh, "b", 7);  // only the latest record survives
    VisitMmapChannels(Recording);
    ASSERT_EQ(handed.size(), 2U);
    EXPECT_EQ(handed[1].record.order, 7U);
}

TEST(MmapListenVisitTest, RecordWithoutATerminatorIsHandedOnAsReadAndHarmsNothing) {
    void* page = mmap_test::AnonymousPage();
    memset(page, 'A', 4096);
    mmap_test::SetHead(page, 1);
    MmapListener().mmapChannelMap = {{"a", Address(page)}};
    VisitMmapChannels(Recording);
    ASSERT_EQ(handed.size(), 1U);
    EXPECT_EQ(memcmp(&handed[0].record, static_cast<char*>(page) + 4, sizeof(HeartBeatMessage)), 0);
    mmap_test::SetHead(page, 1);
    VisitMmapChannels();  // the real intake must bound the name by its field
    EXPECT_EQ(Head(page), 2U);
}

TEST(MmapListenerTest, ListsEachNameOnceAndOneThreadServesAllPages) {
    void* first = mmap_test::AnonymousPage();
    void* second = mmap_test::AnonymousPage();
    mmap_test::Send(first, "x", 0);
    ASSERT_TRUE(VeHeartBeat::StartListeningHeartBeatMmapChannel("x", first));
    EXPECT_FALSE(VeHeartBeat::StartListeningHeartBeatMmapChannel("x", second));
    EXPECT_EQ(log_capture::CountMessage("Register receive heart failed: x's heartbeat has been registered.\n"), 1U);

    EXPECT_TRUE(WaitForHead(first, 2));  // the first channel kept its entry
    EXPECT_EQ(mmap_test::ThreadsNamed("ReceiveHeartMmap"), 1);
    VeHeartBeat::StopListenHeartBeatMmapChannel("x");
    EXPECT_TRUE(VeHeartBeat::StartListeningHeartBeatMmapChannel("x", second));
    EXPECT_EQ(mmap_test::ThreadsNamed("ReceiveHeartMmap"), 1);
}

TEST(MmapChannelTest, ThreadsThatCannotStartAreReportedAndTheListenerRetries) {
    const std::string client = "mmapnothread" + std::to_string(getpid());
    const std::string path = "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
    void* peer = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(chown(path.c_str(), geteuid() == 0 ? 65534 : geteuid(), static_cast<gid_t>(-1)), 0);
    int rc = child_process::Run([&] {
        if (!mmap_test::AllowThreads(false)) {
            return 10;
        }
        if (VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 5) != -11 ||
            log_capture::CountMessage("Register send heart failed: create heart beat thread, " + client +
                                      " to procmgr.\n") != 2 ||
            VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 5) != -16 ||  // channel still open
            VeHeartBeat::UnregisterSendHeartBeatWithMmap() != 0 || access(path.c_str(), F_OK) == 0) {
            return 11;
        }
        if (VeHeartBeat::StartListeningHeartBeatMmapChannel("x", peer) ||
            log_capture::CountMessage("Register receive heart failed: create listen heartbeat thread.\n") != 1) {
            return 12;
        }
        return mmap_test::AllowThreads(true) && VeHeartBeat::StartListeningHeartBeatMmapChannel("x", peer) &&
                       MmapListener().mmapListenThread.joinable()
                   ? 0
                   : 13;
    });
    EXPECT_EQ(rc, 0);
    unlink(path.c_str());
}

void IgnoreFault(const char*, size_t, int32_t, uint32_t) {}

TEST(MmapChannelTest, RecordOfASendingProcessIsTakenAndDroppedByThePipeCheck) {
    const std::string client = "mmappeer" + std::to_string(getpid());
    const std::string path = "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
    void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_NE(page, nullptr);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    fflush(nullptr);
    const pid_t sender = fork();
    if (sender == 0) {
        char byte;
        _exit(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 4) == 0 && read(stop[0], &byte, 1) == 1 ? 0 : 1);
    }
    ASSERT_GT(sender, 0);
    fake_lumo::QueueOpenResults({42});
    EXPECT_EQ(RegisterCheckHeartBeat(client.c_str(), client.size(), getgid(), IgnoreFault), 0);

    MmapListener().mmapChannelMap = {{client, Address(page)}};
    EXPECT_TRUE(WaitForHead(page, 1));
    VisitMmapChannels([](const int& fd, const HeartBeatMessage& record, HeartChannelType channel) {
        Recording(fd, record, channel);
        GetHeartBeatMessageFromClient(fd, record, channel);
    });
    EXPECT_EQ(Head(page), 2U);
    ASSERT_EQ(handed.size(), 1U);
    EXPECT_EQ(handed[0].record.clientName, client);
    EXPECT_EQ(handed[0].record.pid, sender);
    EXPECT_EQ(log_capture::CountMessage("Pipe to " + client + " fd 42 is different from msg fd -1\n"), 1U);

    EXPECT_EQ(write(stop[1], "x", 1), 1);
    int status = -1;
    EXPECT_EQ(waitpid(sender, &status, 0), sender);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    DisableAllCheckHeartBeat();
    VeHeartBeat::FiniHeartBeatMmapChannel(page, path);
}

TEST(MmapChannelTest, ProcessExitsCleanlyWhileBothThreadsRun) {
    const std::string client = "mmapexit" + std::to_string(getpid());
    const std::string path = "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
    int rc = child_process::Run([&] {
        void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
        if (page == nullptr || !VeHeartBeat::StartListeningHeartBeatMmapChannel(client, page) ||
            VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 0) != 0) {
            return 1;
        }
        std::exit(0);  // static destructors run with both threads alive
    });
    EXPECT_EQ(rc, 0);
    unlink(path.c_str());
}

}  // namespace
