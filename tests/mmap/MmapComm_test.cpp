#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "mmap_test_util.h"

// The descriptor as the library prepares a new channel file.
int preparedFlags = -1;
extern "C" int ftruncate(int fd, off_t length) noexcept {
    preparedFlags = (fcntl(fd, F_GETFL) & (O_ACCMODE | O_SYNC)) | fcntl(fd, F_GETFD);
    return static_cast<int>(syscall(SYS_ftruncate, fd, length));
}

namespace {

using VeHeartBeat::FiniHeartBeatMmapChannel;
using VeHeartBeat::InitHeartBeatMmapChannel;

TEST(ChannelFileTest, CreatesAndRemovesThePageFileAndReportsEachFailure) {
    const std::string path = mmap_test::ShmPath("alarm");
    umask(0);
    const unsigned gid = geteuid() == 0 ? 4321U : getgid();
    void* page = InitHeartBeatMmapChannel(path, true, gid);
    struct stat st = {};
    ASSERT_TRUE(page != nullptr && stat(path.c_str(), &st) == 0);
    EXPECT_TRUE(st.st_size == 4096 && (st.st_mode & 07777) == 0660 && st.st_gid == gid);
    EXPECT_EQ(preparedFlags, O_RDWR | O_SYNC | FD_CLOEXEC);  // kept, but not across exec
    FiniHeartBeatMmapChannel(page, path);
    FiniHeartBeatMmapChannel(mmap_test::AnonymousPage(), path);  // the second deletion is silent
    EXPECT_EQ(InitHeartBeatMmapChannel(path, false, 0), nullptr);  // gone, and not created

    // A FIFO is no channel file: refused on both sides, and not ours to delete.
    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0);
    EXPECT_EQ(InitHeartBeatMmapChannel(path, false, 0), nullptr);
    EXPECT_EQ(InitHeartBeatMmapChannel(path, true, gid), nullptr);
    FiniHeartBeatMmapChannel(nullptr, path);
    EXPECT_EQ(unlink(path.c_str()), 0);  // no page, no deletion

    const std::string refused = "Init heart channel failed: refuse mmap file " + path +
                                ", mode=010660, uid=" + std::to_string(geteuid()) + ".\n|";
    EXPECT_EQ(mmap_test::Messages(),
              "Init heart channel failed: open mmap file " + path + ", errno=2.\n|" + refused +
                  refused + "Fini heart channel failed: mmap " + path + " buf=null.\n|");
}

}  // namespace
