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
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "heartbeat.h"
#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"
#include "support/child_process.h"
#include "support/log_capture.h"

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

std::vector<std::pair<std::string, uint32_t>> handed;  // what the listener handed on
void Record(const int&, const HeartBeatMessage& record, HeartChannelType) {
    handed.emplace_back(std::string(record.clientName, strnlen(record.clientName, 200)), record.order);
}

TEST(HostileNeighbour, CutExtendedOrReplacedChannelNeitherKillsNorFoolsTheListener) {
    const std::string victim = Unique("victim");
    const std::string other = Unique("other");
    struct Attack {
        const char* what;
        std::function<bool(const std::string&)> doIt;
        bool victimHeard;  // the victim's last record still handed on
    };
    const Attack attacks[] = {
        {"cut to nothing", [](const std::string& p) { return truncate(p.c_str(), 0) == 0; }, false},
        {"cut inside the record", [](const std::string& p) { return truncate(p.c_str(), 100) == 0; }, false},
        {"extended", [](const std::string& p) { return truncate(p.c_str(), 8192) == 0; }, true},
        {"replaced by rename",  // a forged record in a file of the neighbour's
         [](const std::string& p) {
             const std::string forged = p + ".forged";
             close(open(forged.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
             return truncate(forged.c_str(), 4096) == 0 && SendLike(forged, "forger", 99) &&
                    rename(forged.c_str(), p.c_str()) == 0;
         },
         true},
    };
    // The child is the checking process: killed by SIGBUS, it reports -1.
    const int failures = child_process::Run([&] {
        VeHeartBeat::MmapListenerState& listener = VeHeartBeat::MmapListener();
        {
            hb::MutexLock lock(&listener.mmapListenMutex);
            for (const std::string& client : {victim, other}) {
                void* page = VeHeartBeat::InitHeartBeatMmapChannel(ChannelPath(client), true, getgid());
                listener.mmapChannelMap.emplace(client, reinterpret_cast<uintptr_t>(page));
            }
        }
        int failed = 0;
        uint32_t order = 0;
        for (const Attack& attack : attacks) {
            handed.clear();
            ++order;
            const bool ready = SendLike(ChannelPath(victim), victim, order) && attack.doIt(ChannelPath(victim)) &&
                               SendLike(ChannelPath(other), other, order);
            VeHeartBeat::VisitMmapChannels(Record);
            std::vector<std::pair<std::string, uint32_t>> expected{{other, order}};
            if (attack.victimHeard) {
                expected.emplace_back(victim, order);
            }
            std::sort(handed.begin(), handed.end());
            std::sort(expected.begin(), expected.end());
            if (!ready || handed != expected) {
                fprintf(stderr, "%s: not as expected\n", attack.what);
                ++failed;
            }
        }
        // Broken twice, logged once: the neighbour decides how often it breaks.
        failed += log_capture::CountContaining("mmap channel of " + victim + " is broken") == 1 ? 0 : 1;
        return failed;
    });
    unlink(ChannelPath(victim).c_str());
    unlink(ChannelPath(other).c_str());
    EXPECT_EQ(failures, 0);
}

TEST(HostileNeighbour, SenderGivenAnEmptyChannelFileWritesItWithoutDying) {
    const std::string client = Unique("empty");
    const std::string path = ChannelPath(client);
    const int outcome = child_process::Run([&] {
        close(open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
        if (VeHeartBeat::InitSendHeartBeatWithMmap(client, "procmgr", 3) != 0) {
            return 1;
        }
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
    const unsigned gid = 4321;  // a group the files below do not have
    for (const mode_t mask : {mode_t{0}, mode_t{022}}) {
        umask(mask);
        void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, gid);
        struct stat st = {};
        ASSERT_TRUE(page != nullptr && stat(path.c_str(), &st) == 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u) << "umask " << mask;
        VeHeartBeat::FiniHeartBeatMmapChannel(page, path);
    }

    // A link to a file of ours elsewhere, and a file of another user (root
    // can give one away): neither side takes them, nothing is cut or re-grouped.
    const std::string target = "/tmp/" + Unique("hb_link_target");
    struct Planted {
        const char* what;
        std::string file;  // made with ten bytes, then planted; must stay as it was
        std::function<bool()> plant;
    };
    const Planted planted[] = {
        {"link", target, [&] { return symlink(target.c_str(), path.c_str()) == 0; }},
        {"another user's file", path, [&] { return chown(path.c_str(), 65534, 65534) == 0; }},
    };
    for (const Planted& p : planted) {
        if (geteuid() != 0 && p.file == path) {
            continue;  // only root can make a file of another user
        }
        const int fd = open(p.file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_TRUE(fd >= 0 && write(fd, "ten bytes.", 10) == 10 && close(fd) == 0 && p.plant()) << p.what;
        struct stat before = {};
        ASSERT_EQ(stat(p.file.c_str(), &before), 0);
        EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, true, gid), nullptr) << p.what;
        struct stat after = {};
        ASSERT_EQ(stat(p.file.c_str(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_size, after.st_mode, after.st_uid, after.st_gid),
                  std::make_tuple(before.st_size, before.st_mode, before.st_uid, before.st_gid))
            << p.what;
        unlink(path.c_str());
        unlink(target.c_str());
    }
    // The opening side never follows a link either.
    ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
    EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, false, 0), nullptr);
    unlink(path.c_str());
}

}  // namespace
