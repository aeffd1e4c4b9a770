// A neighbour that can write a channel file, plant something at its path or
// hand the client operations a name at the edge of its memory, and a host
// that forks without exec: none of them may kill, blind or fool the library.
// What would crash runs in a child process, so that a crash is a failure.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "heartbeat.h"
#include "heartbeat_mmap.h"
#include "log/restrained_log_internal.h"
#include "lumo.h"
#include "mmap/mmap_internal.h"
#include "support/child_process.h"
#include "support/log_capture.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HB_HOSTILE_CLANG_TSAN 1
#endif
#endif

namespace {

std::string ChannelPath(const std::string& client) {
    return "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat";
}
std::string Unique(const char* what) { return what + std::to_string(getpid()); }

// What a sender of another process does: the record, then head 1, through a
// descriptor of its own.
bool SendLike(const std::string& path, const std::string& client, uint32_t order) {
    HeartBeatMessage record{};
    record.order = order;
    snprintf(record.clientName, sizeof(record.clientName), "%s", client.c_str());
    const uint32_t head = 1;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    const bool sent = fd >= 0 && pwrite(fd, &record, sizeof(record), 4) == sizeof(record) &&
                      pwrite(fd, &head, sizeof(head), 0) == sizeof(head);
    close(fd);
    return sent;
}

std::multimap<std::string, uint32_t> handed;  // what the listener handed on
void Record(const int&, const HeartBeatMessage& record, HeartChannelType) {
    handed.emplace(std::string(record.clientName, strnlen(record.clientName, 200)), record.order);
}

TEST(HostileNeighbour, CutExtendedOrReplacedChannelNeitherKillsNorFoolsTheListener) {
    const std::string victim = Unique("victim");
    const std::string other = Unique("other");
    const std::string path = ChannelPath(victim);
    // Each attack, and whether the victim's record is still handed on after it.
    const std::pair<std::function<bool()>, bool> attacks[] = {
        {[&] { return truncate(path.c_str(), 0) == 0; }, false},
        {[&] { return truncate(path.c_str(), 100) == 0; }, false},  // inside the record
        {[&] { return truncate(path.c_str(), 8192) == 0; }, true},
        {[&] {  // a forged record in a file of the neighbour's, renamed over it
             const std::string forged = path + ".forged";
             close(open(forged.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
             return truncate(forged.c_str(), 4096) == 0 && SendLike(forged, "forger", 99) &&
                    rename(forged.c_str(), path.c_str()) == 0;
         },
         true},
    };
    // The child is the checking process: killed by SIGBUS, it reports -1.
    const int failures = child_process::Run([&] {
        VeHeartBeat::MmapListenerState& listener = VeHeartBeat::MmapListener();
        for (const std::string& client : {victim, other}) {
            void* page = VeHeartBeat::InitHeartBeatMmapChannel(ChannelPath(client), true, getgid());
            hb::MutexLock lock(&listener.mmapListenMutex);
            listener.mmapChannelMap.emplace(client, reinterpret_cast<uintptr_t>(page));
        }
        int failed = 0;
        uint32_t order = 0;
        for (const auto& attack : attacks) {
            handed.clear();
            ++order;
            const bool ready = SendLike(path, victim, order) && attack.first() &&
                               SendLike(ChannelPath(other), other, order);
            VeHeartBeat::VisitMmapChannels(Record);
            std::multimap<std::string, uint32_t> expected{{other, order}};
            if (attack.second) expected.emplace(victim, order);
            failed += ready && handed == expected ? 0 : 1 << order;
        }
        // Broken twice, logged once: the neighbour decides how often it breaks.
        return failed + (log_capture::CountContaining("mmap channel of " + victim + " is broken") == 1 ? 0 : 1);
    });
    unlink(path.c_str());
    unlink(ChannelPath(other).c_str());
    EXPECT_EQ(failures, 0);
}

TEST(HostileNeighbour, SenderGivenAnEmptyChannelFileWritesItWithoutDying) {
    const std::string client = Unique("empty");
    const std::string path = ChannelPath(client);
    const int outcome = child_process::Run([&] {
        close(open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
        if (VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 3) != 0) return 1;
        HeartBeatMessage message{};
        uint64_t previous = 0;
        VeHeartBeat::SendHeartBeatMmapCycle(message, previous);
        uint32_t head = 0;
        char name[sizeof(message.clientName)] = {};
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const bool written = pread(fd, &head, 4, 0) == 4 && pread(fd, name, sizeof(name), 16) > 0;
        return written && head == 1 && client == name ? 0 : 2;
    });
    unlink(path.c_str());
    EXPECT_EQ(outcome, 0);
}

TEST(HostileNeighbour, PlantedChannelFileIsRefusedUntouchedAndANewOneIs0660WhateverTheUmask) {
    const std::string path = ChannelPath(Unique("planted"));
    const unsigned gid = geteuid() == 0 ? 4321U : getgid();  // root can give any group
    for (const mode_t mask : {mode_t{0}, mode_t{022}}) {
        umask(mask);
        void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, gid);
        struct stat st = {};
        ASSERT_TRUE(page != nullptr && stat(path.c_str(), &st) == 0);
        EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_gid), std::make_tuple(0660u, gid)) << mask;
        VeHeartBeat::FiniHeartBeatMmapChannel(page, path);
    }
    // A link to a file of ours elsewhere, a file of another user (only root can
    // make one) and a FIFO: the creating side takes none of them and leaves each
    // as it was; the opening side refuses all but another user's regular file.
    const std::string target = "/tmp/" + Unique("hb_link_target");
    auto tenBytes = [](const std::string& file) {
        const int fd = open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        return fd >= 0 && write(fd, "ten bytes.", 10) == 10 && close(fd) == 0;
    };
    struct Planted {
        std::string file;  // what must stay as it was
        std::function<bool()> plant;
        bool openRefused;
    };
    const Planted planted[] = {
        {target, [&] { return tenBytes(target) && symlink(target.c_str(), path.c_str()) == 0; }, true},
        {path, [&] { return tenBytes(path) && chown(path.c_str(), 65534, 65534) == 0; }, false},
        {path, [&] { return mkfifo(path.c_str(), 0660) == 0; }, true},
    };
    for (const Planted& p : planted) {
        if (geteuid() != 0 && !p.openRefused) continue;
        struct stat before = {}, after = {};
        ASSERT_TRUE(p.plant() && stat(p.file.c_str(), &before) == 0) << p.file;
        EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, true, gid), nullptr) << p.file;
        EXPECT_TRUE(!p.openRefused || VeHeartBeat::InitHeartBeatMmapChannel(path, false, 0) == nullptr);
        ASSERT_EQ(stat(p.file.c_str(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_size, after.st_mode, after.st_uid, after.st_gid),
                  std::make_tuple(before.st_size, before.st_mode, before.st_uid, before.st_gid));
        unlink(path.c_str());
        unlink(target.c_str());
    }
    EXPECT_GE(log_capture::CountContaining("refuse mmap file " + path), 2u);  // the FIFO, both sides
}

TEST(HostileCaller, NameEndingAtAnInaccessiblePageIsNeverReadPastItsLength) {
    EXPECT_EQ(child_process::Run([] {
                  const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
                  char* pages = static_cast<char*>(
                      mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
                  if (pages == MAP_FAILED || mprotect(pages + size, size, PROT_NONE) != 0) return 1;
                  char* name = pages + size - 100;  // 100 bytes, no NUL, then the guard page
                  memset(name, 'n', 100);
                  const HeartBeatConfig config{0};
                  // No server listens: the open fails after its wait, but the names are taken.
                  RegisterSendHeartBeat(name, 100, name, 100, &config);
                  return RegisterThreadForDog(name, 100, 1) == 0 && KickingTheDog(name, 100) == 0 &&
                                 UnregisterThreadForDog(name, 100) == 0 &&
                                 log_capture::CountContaining("name is invalid") == 0
                             ? 0
                             : 2;
              }),
              0);
}

// What the checking side of the fork test receives: client name, pid.
std::mutex receivedMutex;
std::vector<std::pair<std::string, int32_t>> received;

long CountOf(const char* name, bool fromClient, pid_t clientPid) {
    std::lock_guard<std::mutex> lock(receivedMutex);
    return std::count_if(received.begin(), received.end(), [&](const std::pair<std::string, int32_t>& r) {
        return r.first == name && (r.second == clientPid) == fromClient;
    });
}

int ServerEnd(const char* peer) {
    LumoOpenParam param{};
    param.peerName = peer;
    param.selfName = "forksrv_heartbeat";
    param.callback = [](int, LumoRequest* request) {
        if (request != nullptr && request->size == sizeof(HeartBeatMessage)) {
            HeartBeatMessage record;
            memcpy(&record, request->data, sizeof(record));
            std::lock_guard<std::mutex> lock(receivedMutex);
            received.emplace_back(record.clientName, record.pid);
        }
    };
    param.isServer = 1;
    param.gid = getgid();
    param.pipeMode = 1;
    param.bindCore = -1;
    param.enableCallback = 1;
    return LumoOpen(&param);
}

TEST(HostileHost, ForkedChildSendsOnItsOwnPipeAndItsUnregisterLeavesTheParentsAlone) {
#if defined(__SANITIZE_THREAD__) || defined(HB_HOSTILE_CLANG_TSAN)
    GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded fork";
#endif
    const std::string dir = "/tmp/" + Unique("hb_fork") + "/";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    setenv("LUMO_PIPE_DIR", dir.c_str(), 1);
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    // The client process is forked before this one opens anything; it then
    // forks a child of its own while "SendHeart" and "SendHeartMmap" run, and
    // reports how the child ended (0: every call answered 0; 1: a call failed;
    // 2: it hung; 3: it crashed; +8: the parent's channel file is gone).
    const std::string parentMmap = Unique("forkparent");
    const std::string childMmap = Unique("forkchild");
    const pid_t client = fork();
    if (client == 0) {
        const HeartBeatConfig config{0};
        if (RegisterSendHeartBeat("forkparent", 10, "forksrv", 7, &config) != 0 ||
            VeHeartBeat::InitHeartBeatMmapChannel(ChannelPath(parentMmap), true, getgid()) == nullptr ||
            VeHeartBeat::InitSendHeartBeatWithMmap(parentMmap, "procmgr", 3) != 0) {
            _exit(1);
        }
        const pid_t child = fork();
        if (child == 0) {
            const int registered = RegisterSendHeartBeat("forkchild", 9, "forksrv", 7, &config) |
                                   (VeHeartBeat::InitHeartBeatMmapChannel(ChannelPath(childMmap), true, getgid()) == nullptr) |
                                   VeHeartBeat::InitSendHeartBeatWithMmap(childMmap, "procmgr", 3);
            sleep(4);  // its first record goes out after one 3-second cycle
            _exit(registered == 0 && UnregisterSendHeartBeat() == 0 &&
                          VeHeartBeat::UnregisterSendHeartBeatWithMmap() == 0 ? 0 : 1);
        }
        int status = 0;
        pid_t done = 0;
        // Each stop waits for its thread's cycle: about 7 s in all, 20 s at most.
        for (int i = 0; i < 200 && (done = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(100000);
        if (done != child) kill(child, SIGKILL);
        char ended = done != child ? 2 : WIFEXITED(status) ? static_cast<char>(WEXITSTATUS(status)) : 3;
        ended = static_cast<char>(ended + (access(ChannelPath(parentMmap).c_str(), F_OK) == 0 ? 0 : 8));
        (void)!write(report[1], &ended, 1);
        pause();  // sends on until killed
        _exit(0);
    }
    close(report[1]);
    const int ends[] = {ServerEnd("forkparent"), ServerEnd("forkchild")};
    char ended = 4;
    pollfd waitReport = {report[0], POLLIN, 0};
    const bool reported = poll(&waitReport, 1, 25000) == 1 && read(report[0], &ended, 1) == 1;
    const long parentBefore = CountOf("forkparent", true, client);
    for (int i = 0; i < 80 && CountOf("forkparent", true, client) == parentBefore; ++i) {
        usleep(100000);  // the parent's next cycle, on its own pipe
    }
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    LumoClosePipe(ends[0]);
    LumoClosePipe(ends[1]);
    std::filesystem::remove_all(dir);
    unlink(ChannelPath(parentMmap).c_str());
    unlink(ChannelPath(childMmap).c_str());

    EXPECT_TRUE(ends[0] > 0 && ends[1] > 0);
    EXPECT_TRUE(reported && ended == 0) << "the child ended with " << int{ended};
    EXPECT_GE(CountOf("forkchild", false, client), 1) << "nothing came from the child's own process";
    EXPECT_GT(CountOf("forkparent", true, client), parentBefore) << "the parent's pipe went quiet";
}

TEST(HostileLoad, MillionCallSitesLeaveABoundedTableOnceTheirWindowHasPassed) {
    // Threads that come and go, each logging once from the same line, are as
    // many call sites; the rate limit must not keep them all for good.
    log_internal::PrintTable table;
    constexpr unsigned long kSites = 1000000;
    unsigned long printed = 0;
    for (unsigned long key = 0; key < kSites; ++key) {
        printed += table.Insert(key, 5000) == 0 ? 1 : 0;
    }
    EXPECT_EQ(printed, kSites);
    EXPECT_EQ(table.Insert(kSites - 1, 5599), -1);  // within its window: quiet, as always
    EXPECT_EQ(table.Insert(kSites, 5600), 0);
    EXPECT_EQ(table.Entries(), 1u);
    EXPECT_LT(table.Buckets(), 100000u);
}

}  // namespace
