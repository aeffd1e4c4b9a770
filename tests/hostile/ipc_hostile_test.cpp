// Our IPC library against a hostile neighbour: unsafe pipe directories, a
// socket file swapped for a symlink, peers outside the pipe's group, a
// connection hoarder, a forked child, an unloading host. Runs as root: the
// neighbour is a child that drops to uid 65534.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "ipc/lumo_test_support.h"

namespace {

using namespace lumo_test;
using std::filesystem::exists;
constexpr uid_t kNobody = 65534;
constexpr gid_t kPipeGroup = 4242;

// Whether the listening end closed `fd` within `ms`.
bool ClosedByPeer(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    char byte;
    return poll(&pfd, 1, ms) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The permission bits and the group of `path` itself.
std::pair<mode_t, gid_t> ModeAndGroup(const std::string& path) {
    struct stat st{};
    (void)lstat(path.c_str(), &st);
    return {st.st_mode & 07777, st.st_gid};
}

class LumoHostileTest : public PipeDirTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the neighbour is a child that drops it";
        PipeDirTest::SetUp();
    }
};

TEST_F(LumoHostileTest, OnlyTrustedDirectoriesAndLinksLeadToAPipe) {
    auto make = [&](const char* name, mode_t mode, uid_t owner) {
        const std::string path = dir_ + name;
        return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0 && chown(path.c_str(), owner, owner) == 0;
    };
    ASSERT_TRUE(make("/real", 0700, 0) && make("/target", 0700, 0) && make("/open", 0777, 0) &&
                make("/theirs", 0700, kNobody) && make("/sticky", 01777, 0));
    ASSERT_EQ(symlink("real", (dir_ + "/link").c_str()), 0);  // root's, like /var/run -> /run
    ASSERT_EQ(symlink((dir_ + "/target").c_str(), (dir_ + "/their-link").c_str()), 0);
    ASSERT_EQ(lchown((dir_ + "/their-link").c_str(), kNobody, kNobody), 0);
    // The pipe directory and what it answers (0: opens). Only the link that
    // is the pipe directory itself or owned by someone else is refused.
    const std::pair<const char*, int> cases[] = {
        {"/link", -ELOOP},     {"/link/sub", 0},     {"/their-link/sub", -ELOOP}, {"/open", -EPERM},
        {"/open/sub", -EPERM}, {"/theirs", -EPERM}, {"/sticky/sub", 0},
    };
    for (const auto& [dir, expected] : cases) {
        setenv("LUMO_PIPE_DIR", (dir_ + dir).c_str(), 1);
        const int handle = Open("srv", "cli", true);
        EXPECT_EQ(handle > 0 ? LumoClosePipe(handle) : handle, expected) << dir;
    }
    EXPECT_FALSE(exists(dir_ + "/target/sub") || exists(dir_ + "/open/sub"));
}

// Created directories are 0770 and socket files 0660, in the pipe's group,
// whatever the umask. A socket file swapped for a link to a file of ours
// leads the periodic reopen nowhere: the file keeps its mode and group.
TEST_F(LumoHostileTest, CreatedFilesTakeTheirModeWhateverTheUmaskAndASwappedLinkIsNotFollowed) {
    const std::string precious = dir_ + "/precious";
    close(open(precious.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    for (const mode_t mask : {0000, 0022, 0077}) {
        const std::string top = dir_ + "/u" + std::to_string(mask);
        setenv("LUMO_PIPE_DIR", (top + "/a").c_str(), 1);
        umask(mask);
        EXPECT_GT(Open("srv", "cli", true, nullptr, kPipeGroup), 0);
        for (const auto& [path, mode] : {std::pair{top, 0770U}, {top + "/a", 0770U}, {top + "/a/srv@cli", 0660U}})
            EXPECT_EQ(ModeAndGroup(path), std::make_pair(mode, kPipeGroup)) << path;
        ASSERT_EQ(symlink(precious.c_str(), (top + "/a/swap").c_str()), 0);
        ASSERT_EQ(rename((top + "/a/swap").c_str(), (top + "/a/srv@cli").c_str()), 0);
        EXPECT_GT(Open("srv", "cli", true, nullptr, kPipeGroup), 0);  // the periodic reopen
    }
    EXPECT_EQ(ModeAndGroup(precious), std::make_pair(0600U, 0U));
}

// A neighbour that can reach the socket file (its mode opened up here) is
// still closed unless its groups hold the pipe's group; a member's messages
// come with its real pid.
TEST_F(LumoHostileTest, PeersOutsideThePipesGroupAreClosedAndMembersNamedByTheKernel) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const int listener = Open("srv", "cli", true, inbox.Callback(), kPipeGroup);
    ASSERT_EQ(chmod(Path("srv", "cli").c_str(), 0666), 0);
    auto neighbour = [&](std::vector<gid_t> groups, bool member) {
        return Child([&] {
            if (setgroups(groups.size(), groups.data()) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0)
                return 2;
            const int fd = Connect(Path("srv", "cli"));
            const bool sent = fd >= 0 && send(fd, "\2\2", 2, MSG_NOSIGNAL) == 2;  // an outsider may be closed first
            return member ? (sent ? 0 : 3) : (fd >= 0 && ClosedByPeer(fd, 3000) ? 0 : 4);
        });
    };
    EXPECT_EQ(ExitCode(neighbour({}, false)), 0);  // closed at once, its message dropped
    const pid_t member = neighbour({1, kPipeGroup}, true);  // the group only as a supplementary one
    EXPECT_EQ(ExitCode(member), 0);
    EXPECT_EQ(inbox.WaitFor(1), Lines{Line(listener, member, "2")});
}

// A server at ulimit -n 64 keeps four connections: the one that carried an
// accepted message stays, the oldest of the others make room for newcomers,
// and 200 connections held by a neighbour keep no client out.
TEST_F(LumoHostileTest, NewConnectionsEvictTheOldestIdleOnesAndAHoarderLocksNobodyOut) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const rlimit limit{64, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    const int listener = Open("srv", "cli", true, [deliver = inbox.Callback()](int handle, LumoRequest* request) {
        LumoMarkRequestAccepted(request);
        deliver(handle, request);
    });
    const int accepted = Connect(Path("srv", "cli"));
    ASSERT_EQ(send(accepted, "\1", 1, 0), 1);
    ASSERT_EQ(inbox.WaitFor(1).size(), 1U);
    int others[8];
    for (int& fd : others) fd = Connect(Path("srv", "cli"));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ClosedByPeer(others[i], i < 5 ? 3000 : 100), i < 5) << i;
    const pid_t hoarder = Child([&] {  // holds 200 connections, then connects and sends as a client
        for (int i = 0; i < 200 && setrlimit(RLIMIT_NOFILE, &old) == 0; ++i) (void)Connect(Path("srv", "cli"));
        return send(Connect(Path("srv", "cli")), "\1", 1, 0) == 1 ? pause() : 1;
    });
    EXPECT_EQ(inbox.WaitFor(2).back(), Line(listener, hoarder, "1"));
    ASSERT_EQ(send(accepted, "\1", 1, 0), 1);
    EXPECT_EQ(inbox.WaitFor(3).back(), Line(listener, getpid(), "1"));
    kill(hoarder, SIGKILL);
    waitpid(hoarder, nullptr, 0);
}

// The child shares the parent's epoll set and sockets: what it does with the
// handles it inherited must not reach them. Its own listening end's file goes
// when it exits normally.
TEST_F(LumoHostileTest, AForkedChildLeavesItsParentsPipesAloneAndRemovesItsOwnFilesAtExit) {
    const int listener = Open("srv", "cli", true, inbox.Callback());
    const int sender = Open("cli", "srv", false);
    ASSERT_EQ(Send(sender, 1), 0);
    ASSERT_EQ(inbox.WaitFor(1).size(), 1U);
    const pid_t child = fork();
    if (child == 0) {
        const bool forgotten = LumoClosePipe(listener) == -ENOENT && LumoClosePipe(sender) == -ENOENT &&
                               Send(sender, 2) == -ENOENT;
        exit(forgotten && Open("kid", "cli", true) > 0 ? 0 : 1);  // exit, not _exit: its handlers run
    }
    EXPECT_EQ(ExitCode(child), 0);
    EXPECT_FALSE(exists(Path("kid", "cli")));
    EXPECT_EQ(Send(sender, 3), 0);
    EXPECT_EQ(Send(Open("cli", "srv", false), 4), 0);  // still accepting
    EXPECT_EQ(inbox.WaitFor(3).size(), 3U);
}

TEST_F(LumoHostileTest, UnloadingWhileACallbackThatClosedItsPipeRunsLeavesNoThreadInGoneCode) {
    EXPECT_EQ(ExitCode(Child([] { return execl(UNLOAD_HELPER, UNLOAD_HELPER, LUMO_LIBRARY, nullptr); })), 0);
}

}  // namespace
