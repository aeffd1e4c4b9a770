// A neighbour that can write a channel file, plant something at its path or
// hand the client operations a name at the edge of its memory, and a host
// that forks without exec: none of them may kill, blind or fool the library.
// What would crash runs in a child process, so that a crash is a failure.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "client/heartbeat_internal.h"
#include "heartbeat.h"
#include "heartbeat_mmap.h"
#include "log/restrained_log_internal.h"
#include "mmap/mmap_internal.h"
#include "support/child_process.h"
#include "support/fake_lumo.h"
#include "support/log_capture.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HB_HOSTILE_CLANG_TSAN 1
#endif
#endif

namespace {

using namespace VeHeartBeat;

std::string ChannelPath(const std::string& client) { return "/dev/shm/" + client + "__to__procmgr_mmap_heartbeat"; }
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
    const std::string victim = Unique("victim"), other = Unique("other"), path = ChannelPath(victim);
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
        MmapListenerState& listener = MmapListener();
        for (const std::string& client : {victim, other}) {
            void* page = InitHeartBeatMmapChannel(ChannelPath(client), true, getgid());
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
            VisitMmapChannels(Record);
            std::multimap<std::string, uint32_t> expected{{other, order}};
            if (attack.second) expected.emplace(victim, order);
            failed += ready && handed == expected ? 0 : 1 << order;
        }
        // Broken twice, logged once: the neighbour decides how often it breaks.
        return failed + (log_capture::CountContaining("mmap channel of " + victim + " is broken") == 1 ? 0 : 1);
    });
    unlink(path.c_str()), unlink(ChannelPath(other).c_str());
    EXPECT_EQ(failures, 0);
}

TEST(HostileNeighbour, PlantedChannelFileIsRefusedUntouchedAndANewOneIs0660DespiteTheUmask) {
    const std::string path = ChannelPath(Unique("planted"));
    const unsigned gid = geteuid() == 0 ? 4321U : getgid();  // root can give any group
    umask(022);  // the usual one, which takes the group's write access away
    void* page = InitHeartBeatMmapChannel(path, true, gid);
    struct stat st = {};
    ASSERT_TRUE(page != nullptr && stat(path.c_str(), &st) == 0);
    EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_gid), std::make_tuple(0660u, gid));
    FiniHeartBeatMmapChannel(page, path);
    // A link to a file of ours elsewhere, a file of another user (only root can
    // make one) and a FIFO: the creating side takes none of them and leaves each
    // as it was; the opening side refuses all but another user's regular file.
    const std::string target = "/tmp/" + Unique("hb_link_target");
    auto tenBytes = [](const std::string& file) {
        const int fd = open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        return fd >= 0 && write(fd, "ten bytes.", 10) == 10 && close(fd) == 0;
    };
    // What must stay as it was, how it is planted, and whether opening refuses it.
    const std::tuple<std::string, std::function<bool()>, bool> planted[] = {
        {target, [&] { return tenBytes(target) && symlink(target.c_str(), path.c_str()) == 0; }, true},
        {path, [&] { return tenBytes(path) && chown(path.c_str(), 65534, 65534) == 0; }, false},
        {path, [&] { return mkfifo(path.c_str(), 0660) == 0; }, true},
    };
    for (const auto& [file, plant, openRefused] : planted) {
        if (geteuid() != 0 && !openRefused) continue;
        struct stat before = {}, after = {};
        ASSERT_TRUE(plant() && stat(file.c_str(), &before) == 0) << file;
        EXPECT_EQ(InitHeartBeatMmapChannel(path, true, gid), nullptr) << file;
        EXPECT_TRUE(!openRefused || InitHeartBeatMmapChannel(path, false, 0) == nullptr);
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_size, after.st_mode, after.st_uid, after.st_gid),
                  std::make_tuple(before.st_size, before.st_mode, before.st_uid, before.st_gid));
        unlink(path.c_str()), unlink(target.c_str());
    }
    EXPECT_GE(log_capture::CountContaining("refuse mmap file " + path), 2u);  // the FIFO, both sides
}

// The sending and the checking side alike take a name and its length: 100
// bytes with no NUL right before a page that cannot be read.
TEST(HostileCaller, NameEndingAtAnInaccessiblePageIsNeverReadPastItsLength) {
    const int outcome = child_process::Run([] {
        const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED || mprotect(static_cast<char*>(pages) + size, size, PROT_NONE) != 0) return 1;
        char* name = static_cast<char*>(pages) + size - 100;
        memset(name, 'n', 100);
        const HeartBeatConfig config{0};
        static std::string reported;
        const auto report = [](const char* lost, size_t length, int32_t, uint32_t) { reported.assign(lost, length); };
        const bool sending = RegisterSendHeartBeat(name, 100, name, 100, &config) == 0 &&
                             fake_lumo::Opens().at(0).selfName == std::string(100, 'n') &&
                             RegisterThreadForDog(name, 100, 1) == 0 && KickingTheDog(name, 100) == 0 &&
                             UnregisterThreadForDog(name, 100) == 0;
        const bool checking = RegisterCheckHeartBeat(name, 100, 0, report) == 0 &&
                              ReportHeartBeatLost(name, 100) == 0 && UnregisterCheckHeartBeat(name, 100) == 0;
        const bool named = reported == std::string(100, 'n') && log_capture::CountContaining("name is invalid") == 0;
        return sending && checking && named ? 0 : 2;
    });
    EXPECT_EQ(outcome, 0);
}

// A host that forks without exec while "SendHeart" and "SendHeartMmap" run:
// the child's own registrations must work (not pass silently on the parent's
// flags), its records go out on its own pipe and into its own channel file,
// and its unregister closes only what it opened and deletes only its own
// channel file. That file is one a neighbour left empty: the sender grows it
// by writing, where writing through the mapping would die of SIGBUS.
TEST(HostileHost, ForkedChildSendsOnItsOwnChannelsAndItsUnregisterLeavesTheParentsAlone) {
#if defined(__SANITIZE_THREAD__) || defined(HB_HOSTILE_CLANG_TSAN)
    GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded fork";
#endif
    const std::string parentMmap = Unique("forkparent"), childMmap = Unique("forkchild");
    const int outcome = child_process::Run([&] {
        const HeartBeatConfig config{0};
        if (RegisterSendHeartBeat("forkparent", 10, "forksrv", 7, &config) != 0 ||
            InitHeartBeatMmapChannel(ChannelPath(parentMmap), true, getgid()) == nullptr ||
            InitSendHeartBeatWithMmap(parentMmap, "procmgr", 3) != 0)
            return 1;
        const int parentPipe = heartPipeFd;
        usleep(200000);  // both threads started and in their first sleep: no lock held
        const int child = child_process::Run([&] {
            const int file = open(ChannelPath(childMmap).c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
            if (RegisterSendHeartBeat("forkchild", 9, "forksrv", 7, &config) != 0 ||
                InitSendHeartBeatWithMmap(childMmap, "procmgr", 3) != 0)
                return 1;
            const int ownPipe = heartPipeFd;
            sleep(4);  // its first records go out after one 3-second cycle
            uint32_t head = 0;
            char name[sizeof(HeartBeatMessage::clientName)] = {};
            const bool written = pread(file, &head, 4, 0) == 4 && pread(file, name, sizeof(name), 16) > 0;
            const bool stopped = UnregisterSendHeartBeat() == 0 && UnregisterSendHeartBeatWithMmap() == 0;
            const auto sends = fake_lumo::Sends();
            const bool sentOwn = ownPipe != parentPipe && !sends.empty() && sends.back().handle == ownPipe;
            const bool closedOwn = fake_lumo::Closes() == std::vector<int>{ownPipe};
            return written && head == 1 && childMmap == name && stopped && sentOwn && closedOwn ? 0 : 2;
        });
        return child + (access(ChannelPath(parentMmap).c_str(), F_OK) == 0 ? 0 : 8);
    });
    unlink(ChannelPath(parentMmap).c_str()), unlink(ChannelPath(childMmap).c_str());
    EXPECT_EQ(outcome, 0);
}

TEST(HostileLoad, MillionCallSitesLeaveABoundedTableOnceTheirWindowHasPassed) {
    // Threads that come and go, each logging once from the same line, are as
    // many call sites; the rate limit must not keep them all for good.
    log_internal::PrintTable table;
    constexpr unsigned long kSites = 1000000;
    for (unsigned long key = 0; key < kSites; ++key) ASSERT_EQ(table.Insert(key, 5000), 0) << key;
    EXPECT_EQ(table.Insert(kSites - 1, 5599), -1);  // within its window: quiet, as always
    EXPECT_EQ(table.Insert(kSites, 5600), 0);
    EXPECT_EQ(table.Entries(), 1u);
    EXPECT_LT(table.Buckets(), 100000u);
}

}  // namespace
