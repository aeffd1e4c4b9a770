#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "mmap_test_util.h"

// The descriptor as the library prepares a new channel file.
int preparedFd = -1;
int preparedFlags = -1;
extern "C" int ftruncate(int fd, off_t length) noexcept {
    preparedFd = fd;
    preparedFlags = (fcntl(fd, F_GETFL) & (O_ACCMODE | O_SYNC)) | fcntl(fd, F_GETFD);
    return static_cast<int>(syscall(SYS_ftruncate, fd, length));
}

namespace {

using VeHeartBeat::FiniHeartBeatMmapChannel;
using VeHeartBeat::InitHeartBeatMmapChannel;

// Modes, groups and files planted at the path are the hostile suite's.
TEST(ChannelFileTest, CreatesAndRemovesThePageFileAndItsDescriptor) {
    const std::string path = mmap_test::ShmPath("alarm");
    void* page = InitHeartBeatMmapChannel(path, true, getgid());
    struct stat st = {};
    ASSERT_TRUE(page != nullptr && stat(path.c_str(), &st) == 0);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(preparedFlags, O_RDWR | O_SYNC | FD_CLOEXEC);  // kept, but not across exec
    FiniHeartBeatMmapChannel(page, path);
    EXPECT_EQ(fcntl(preparedFd, F_GETFD), -1);
    EXPECT_EQ(InitHeartBeatMmapChannel(path, false, 0), nullptr);  // gone, and not created
    log_capture::Clear();
    FiniHeartBeatMmapChannel(mmap_test::AnonymousPage(), path);  // the second deletion is silent
    EXPECT_TRUE(log_capture::Lines().empty());
    ASSERT_NE(InitHeartBeatMmapChannel(path, true, getgid()), nullptr);
    FiniHeartBeatMmapChannel(nullptr, path);
    EXPECT_EQ(unlink(path.c_str()), 0);  // no page, no deletion
}

}  // namespace
