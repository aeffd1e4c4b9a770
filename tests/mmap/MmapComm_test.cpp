#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "heartbeat_mmap.h"
#include "mmap_test_util.h"
#include "support/log_capture.h"

// The descriptor as the library prepares a new channel file, and a group that
// fchown refuses even to root, for the preparation's failure path.
int preparedStatusFlags = -1;
int preparedFdFlags = -1;
constexpr unsigned kRefusedGid = 4000000000U;
extern "C" int ftruncate(int fd, off_t length) noexcept {
    preparedStatusFlags = fcntl(fd, F_GETFL);
    preparedFdFlags = fcntl(fd, F_GETFD);
    return static_cast<int>(syscall(SYS_ftruncate, fd, length));
}
extern "C" int fchown(int fd, uid_t owner, gid_t group) noexcept {
    if (group == kRefusedGid) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fchown, fd, owner, group));
}

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(ChannelFileTest, CreatesOneSharedPageWithModeAndGroupAndFiniDeletesIt) {
    mmap_test::ShmDir dir;
    const std::string path = dir.File("alarm__to__procmgr_mmap_heartbeat");
    umask(0);
    const unsigned gid = geteuid() == 0 ? 4321U : getgid();
    void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, gid);
    ASSERT_NE(page, nullptr);
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 07777, 0660U);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(preparedStatusFlags & (O_ACCMODE | O_SYNC), O_RDWR | O_SYNC);
    EXPECT_EQ(preparedFdFlags, 0);
    EXPECT_EQ(std::string(static_cast<char*>(page), 4096), std::string(4096, '\0'));

    void* opened = VeHeartBeat::InitHeartBeatMmapChannel(path, false, 0);
    ASSERT_NE(opened, nullptr);
    mmap_test::SetHead(page, 1);
    EXPECT_EQ(mmap_test::Head(opened), 1U);
    VeHeartBeat::FiniHeartBeatMmapChannel(page, path);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(mmap_test::Head(opened), 1U);                // outlives the file
    VeHeartBeat::FiniHeartBeatMmapChannel(opened, path);  // second deletion: silent
    EXPECT_TRUE(log_capture::Lines().empty());
}

TEST(ChannelFileTest, CreatingOverAnExistingFileKeepsItsBytesAndFixesItsLength) {
    mmap_test::ShmDir dir;
    const std::string path = dir.File("c");
    std::string stale(4096, '\0');
    stale[0] = 2;  // head word of an earlier channel
    for (const std::string& content : {stale, std::string("short"), std::string(8192, 'y')}) {
        std::ofstream(path, std::ios::binary) << content;
        void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
        ASSERT_NE(page, nullptr);
        std::string expected = content.substr(0, 4096);
        expected.resize(4096, '\0');
        EXPECT_EQ(std::string(static_cast<char*>(page), 4096), expected);
        struct stat st = {};
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 4096);
        VeHeartBeat::FiniHeartBeatMmapChannel(page, path);
    }
}

TEST(ChannelFileTest, FailuresAreReportedAndOnlyAFileThatCannotServeIsRemoved) {
    mmap_test::ShmDir dir;
    const std::string path = dir.File("x");
    EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, false, 0), nullptr);
    EXPECT_EQ(log_capture::CountMessage("Init heart channel failed: open mmap file " + path + ", errno=2.\n"), 1U);
    EXPECT_FALSE(Exists(path));  // opening never creates

    // A FIFO opens but can be neither mapped nor truncated.
    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0);
    EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, false, 0), nullptr);
    EXPECT_EQ(log_capture::CountContaining("Init heart channel failed: mmap " + path + ", fd="), 1U);
    EXPECT_FALSE(Exists(path));
    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0);
    EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid()), nullptr);
    EXPECT_EQ(log_capture::CountContaining("Open mmap channel failed: ftruncate " + path + " to 4096 bytes, fd="), 1U);
    EXPECT_EQ(log_capture::CountMessage("Init heart channel failed: open mmap file " + path + ", errno=22.\n"), 1U);
    EXPECT_FALSE(Exists(path));

    // A group that cannot be given: closed and deleted, then the open failure
    // with the errno of the refusal.
    log_capture::Clear();
    EXPECT_EQ(VeHeartBeat::InitHeartBeatMmapChannel(path, true, kRefusedGid), nullptr);
    ASSERT_EQ(log_capture::Lines().size(), 2U);
    EXPECT_EQ(log_capture::MessageOf(log_capture::Lines()[0].text).rfind("Open mmap channel failed: change " + path + " to 4000000000, fd=", 0), 0U);
    EXPECT_EQ(log_capture::MessageOf(log_capture::Lines()[1].text), "Init heart channel failed: open mmap file " + path + ", errno=1.\n");
    EXPECT_FALSE(Exists(path));

    void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
    ASSERT_NE(page, nullptr);
    VeHeartBeat::FiniHeartBeatMmapChannel(nullptr, path);
    EXPECT_EQ(log_capture::CountMessage("Fini heart channel failed: mmap " + path + " buf=null.\n"), 1U);
    EXPECT_TRUE(Exists(path));  // no page, no deletion
    VeHeartBeat::FiniHeartBeatMmapChannel(static_cast<char*>(page) + 1, path);
    EXPECT_EQ(log_capture::CountMessage("Fini heart channel: munmap " + path + ", errno=22.\n"), 1U);
    EXPECT_FALSE(Exists(path));
    VeHeartBeat::FiniHeartBeatMmapChannel(page, dir.path);  // a directory cannot be unlinked
    EXPECT_EQ(log_capture::CountMessage("Fini heart channel: unlink " + dir.path + ", errno=21.\n"), 1U);
}

}  // namespace
