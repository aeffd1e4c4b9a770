#include <sys/resource.h>

#include <cerrno>
#include <tuple>

#include "mmap_test_util.h"
#include "support/child_process.h"

namespace {

HeartBeatMessage message{};
uint64_t previousTime = 0;
uint64_t now = 0;
bool dogHealthy = true;
void Cycle(uint64_t at, bool healthy = true) {
    now = at;
    dogHealthy = healthy;
    VeHeartBeat::SendHeartBeatMmapCycle(message, previousTime, {[] { return dogHealthy; }, [] { return now; }});
}

TEST(MmapSendCycleTest, WritesEachCycleAndSkipsWhatCannotBeSent) {
    VeHeartBeat::MmapSenderState& sender = VeHeartBeat::MmapSender();
    sender.mmapClientName = "alarm";
    sender.mmapChannelAddr = mmap_test::AnonymousPage();
    sender.mmapTimeoutTimes = 7;
    const char* record = static_cast<char*>(sender.mmapChannelAddr) + 4;
    Cycle(20000);
    Cycle(30000, false);  // 10000 ms later is on time; a failed watchdog is sent, marked
    EXPECT_EQ(mmap_test::Head(sender.mmapChannelAddr), 1U);
    HeartBeatMessage r = message;  // the page holds it byte for byte, as before order += 1
    --r.order;
    EXPECT_EQ(memcmp(record, &r, 232), 0);
    EXPECT_EQ(std::make_tuple(r.order, r.sendTime, r.pid, r.timeoutTimes, +r.watchDogFailed),
              std::make_tuple(1U, uint64_t{30000}, getpid(), 7U, 1));

    sender.mmapClientName = std::string(200, 'n');  // does not fit the record
    Cycle(33000);
    sender.mmapClientName = std::string(199, 'n');
    Cycle(40001);
    EXPECT_EQ(message.order, 3U);  // the skipped cycle is not counted
    EXPECT_EQ(memcmp(record + 12, message.clientName, 200), 0);
    EXPECT_EQ(log_capture::CountMessage("Send heart failed: thread late, cost time=10001 ms.\n"), 1u);
}

TEST(MmapSenderTest, StartsOnAnExistingChannelAndStopDeletesIt) {
    const std::string client = "mmapsend" + std::to_string(getpid());
    const std::string path = mmap_test::ShmPath("mmapsend");
    EXPECT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 9), -1);
    void* peer = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 0), 0);
    EXPECT_EQ(VeHeartBeat::InitSendHeartBeatWithMmap("other", "procmgr", 3), -EBUSY);  // one sender
    usleep(200000);  // into its first sleep
    EXPECT_EQ(VeHeartBeat::UnregisterSendHeartBeatWithMmap(), 0);  // the cycle still writes
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_STREQ(static_cast<char*>(peer) + 16, client.c_str());  // clientName at 4 + 12

    // No thread can be created: two attempts, then -EAGAIN. Root, whom the limit
    // does not bind, becomes nobody, in a child, as that process cannot even end cleanly.
    const struct rlimit none = {0, 0};
    EXPECT_EQ(child_process::Run([&] {
                  return !((geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) &&
                           setrlimit(RLIMIT_NPROC, &none) == 0 &&
                           VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid()) != nullptr &&
                           VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 5) == -EAGAIN &&
                           log_capture::CountContaining("create heart beat thread") == 2 && unlink(path.c_str()) == 0);
              }),
              0);
}

}  // namespace
