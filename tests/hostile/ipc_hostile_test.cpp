// Our IPC library against a hostile neighbour: unsafe pipe directories, a
// socket file swapped for a symlink, peers outside the pipe's group, a
// connection hoarder, a forked child, an unloading host. Runs as root: the
// neighbour is a child that drops to uid 65534.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumo.h"
#include "lumo_peer.h"

extern char** environ;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kPipeGroup = 4242;

int Open(const std::string& self, const std::string& peer, bool listening, LumoCallback callback = nullptr,
         uint32_t gid = UINT32_MAX) {
    LumoOpenParam param{peer.c_str(), std::move(callback), 3000, listening ? 1U : 0U, gid, 1,
                        self.c_str(),  -1, 1, 0, 0};
    return LumoOpen(&param);
}

int Send(int handle, size_t size) {
    std::vector<char> bytes(size, 'x');
    LumoRequest request{0, bytes.data(), static_cast<uint32_t>(size), 0};
    return LumoSendRequest(handle, &request);
}

// A raw client of the listening end at `path`; -1 when it cannot connect.
int Connect(const std::string& path) {
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the listening end closed `fd` within `ms`.
bool ClosedByPeer(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    char byte;
    return poll(&pfd, 1, ms) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

mode_t Mode(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int ExitCode(pid_t pid) {
    int status = -1;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Deliveries of one listening end, as "<pid>:<uid>:<size>" from the kernel's
// word on the sender. Never destroyed: a callback may come during exit.
struct Inbox {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> lines;

    LumoCallback Callback(bool markAccepted = false) {
        return [this, markAccepted](int, LumoRequest* request) {
            if (request == nullptr) {
                return;
            }
            LumoPeerCred peer{};
            const int rc = LumoGetRequestPeer(request, &peer);
            if (markAccepted) {
                LumoMarkRequestAccepted(request);
            }
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(rc != 0 ? "no peer" : std::to_string(peer.pid) + ":" + std::to_string(peer.uid) + ":" +
                                                      std::to_string(request->size));
            cv.notify_all();
        };
    }
    std::vector<std::string> WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(3), [&] { return lines.size() >= count; });
        return lines;
    }
};
Inbox& inbox = *new Inbox;

class LumoHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: the neighbour is a child that drops it";
        }
        ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
        setenv("LUMO_PIPE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& self, const std::string& peer) const { return dir_ + "/" + self + "@" + peer; }
    std::string dir_ = "/tmp/lumo-hostile-XXXXXX";
};

TEST_F(LumoHostileTest, UnsafePipeDirectoriesAreRefused) {
    const std::string base = dir_;
    ASSERT_EQ(mkdir((base + "/real").c_str(), 0700), 0);
    ASSERT_EQ(symlink("real", (base + "/link").c_str()), 0);  // root's, like /var/run -> /run
    ASSERT_EQ(mkdir((base + "/target").c_str(), 0700), 0);
    ASSERT_EQ(symlink((base + "/target").c_str(), (base + "/their-link").c_str()), 0);
    ASSERT_EQ(lchown((base + "/their-link").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(mkdir((base + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base + "/open").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((base + "/theirs").c_str(), 0700), 0);
    ASSERT_EQ(chown((base + "/theirs").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(mkdir((base + "/sticky").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base + "/sticky").c_str(), 01777), 0);
    const struct {
        const char* dir;
        int expected;  // 0: opens
    } cases[] = {
        {"/link", -ELOOP},  // the pipe directory itself is never a link
        {"/link/sub", 0},         {"/their-link/sub", -ELOOP}, {"/open", -EPERM},
        {"/open/sub", -EPERM},    {"/theirs", -EPERM},    {"/sticky/sub", 0},
    };
    for (const auto& c : cases) {
        setenv("LUMO_PIPE_DIR", (base + c.dir).c_str(), 1);
        const int handle = Open("srv", "cli", true);
        EXPECT_EQ(handle > 0 ? 0 : handle, c.expected) << c.dir;
        if (handle > 0) {
            EXPECT_EQ(LumoClosePipe(handle), 0);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(base + "/target/sub"));
    EXPECT_FALSE(std::filesystem::exists(base + "/open/sub"));
}

TEST_F(LumoHostileTest, CreatedDirectoriesAndSocketFilesIgnoreTheUmask) {
    for (const mode_t mask : {0000, 0022, 0077}) {
        const std::string top = dir_ + "/u" + std::to_string(mask);
        setenv("LUMO_PIPE_DIR", (top + "/a").c_str(), 1);
        const mode_t old = umask(mask);
        const int handle = Open("srv", "cli", true);
        umask(old);
        EXPECT_EQ(Mode(top), 0770U) << mask;
        EXPECT_EQ(Mode(top + "/a"), 0770U) << mask;
        EXPECT_EQ(Mode(top + "/a/srv@cli"), 0660U) << mask;
        EXPECT_EQ(LumoClosePipe(handle), 0);
    }
}

TEST_F(LumoHostileTest, ReopenNeverChangesWhatASwappedSocketFileLinksTo) {
    std::string elsewhere = "/tmp/lumo-target-XXXXXX";
    ASSERT_NE(mkdtemp(&elsewhere[0]), nullptr);
    const std::string target = elsewhere + "/precious";
    close(open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_GT(Open("srv", "cli", true, nullptr, kPipeGroup), 0);
    ASSERT_EQ(symlink(target.c_str(), (dir_ + "/swap").c_str()), 0);
    ASSERT_EQ(rename((dir_ + "/swap").c_str(), Path("srv", "cli").c_str()), 0);
    EXPECT_GT(Open("srv", "cli", true, nullptr, kPipeGroup), 0);  // the periodic reopen
    struct stat st{};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(st.st_gid, 0U);
    std::filesystem::remove_all(elsewhere);
}

// A neighbour that can reach the socket file (its mode opened up here) is
// still closed unless its groups hold the pipe's group; a member's messages
// come with its real pid.
TEST_F(LumoHostileTest, PeersOutsideThePipesGroupAreClosedAndMembersNamedByTheKernel) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_GT(Open("srv", "cli", true, inbox.Callback(), kPipeGroup), 0);
    ASSERT_EQ(chmod(Path("srv", "cli").c_str(), 0666), 0);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto neighbour = [&](std::vector<gid_t> groups, bool member) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(groups.size(), groups.data()) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0) {
                _exit(2);
            }
            const int fd = Connect(Path("srv", "cli"));
            // An outsider may find itself closed before its send.
            if (fd < 0 || (send(fd, "hi", 2, MSG_NOSIGNAL) != 2 && member)) {
                _exit(3);
            }
            char byte;
            _exit(member ? (read(go[0], &byte, 1) == 1 ? 0 : 4) : (ClosedByPeer(fd, 3000) ? 0 : 5));
        }
        return pid;
    };
    EXPECT_EQ(ExitCode(neighbour({}, false)), 0);  // closed at once, its message dropped
    const pid_t member = neighbour({1, kPipeGroup}, true);
    EXPECT_EQ(inbox.WaitFor(1), std::vector<std::string>{std::to_string(member) + ":65534:2"});
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(ExitCode(member), 0);
    LumoPeerCred cred{};
    LumoRequest request{};
    EXPECT_EQ(LumoGetRequestPeer(&request, &cred), -EINVAL);  // outside a callback
}

// Four connections per listening end: the one that carried an accepted
// message stays, the oldest of the others make room for newcomers.
TEST_F(LumoHostileTest, NewConnectionsEvictTheOldestThatCarriedNothingAccepted) {
    ASSERT_GT(Open("srv", "cli", true, inbox.Callback(true)), 0);
    const int accepted = Connect(Path("srv", "cli"));
    ASSERT_EQ(send(accepted, "a", 1, 0), 1);
    inbox.WaitFor(1);
    std::vector<int> others;
    for (int i = 0; i < 8; ++i) {
        others.push_back(Connect(Path("srv", "cli")));
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ClosedByPeer(others[i], i < 5 ? 3000 : 100), i < 5) << i;
    }
    ASSERT_EQ(send(accepted, "b", 1, 0), 1);
    EXPECT_EQ(inbox.WaitFor(2).size(), 2U);
}

// A neighbour holding 200 connections to a server at ulimit -n 64 cannot
// keep a client out.
TEST_F(LumoHostileTest, AConnectionHoarderCannotLockOutAClient) {
    int ready[2];
    int delivered[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(delivered), 0);
    const pid_t server = fork();
    if (server == 0) {
        const rlimit limit{64, 64};
        const int fd = delivered[1];
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0 ||
            Open("srv", "cli", true, [fd](int, LumoRequest* r) { (void)!write(fd, r ? "m" : "-", 1); }) <= 0) {
            _exit(2);
        }
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    std::vector<int> hoard;
    for (int i = 0; i < 200; ++i) {
        hoard.push_back(Connect(Path("srv", "cli")));
    }
    const int client = Connect(Path("srv", "cli"));
    ASSERT_GE(client, 0);
    ASSERT_EQ(send(client, "hello", 5, 0), 5);
    pollfd pfd{delivered[0], POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 5000), 1);
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    for (int fd : hoard) {
        close(fd);
    }
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
    EXPECT_FALSE(std::filesystem::exists(Path("kid", "cli")));
    EXPECT_TRUE(std::filesystem::exists(Path("srv", "cli")));
    EXPECT_EQ(Send(sender, 3), 0);
    EXPECT_EQ(Send(Open("cli", "srv", false), 4), 0);  // still accepting
    EXPECT_EQ(inbox.WaitFor(3).size(), 3U);
}

TEST_F(LumoHostileTest, UnloadingWhileACallbackThatClosedItsPipeRunsLeavesNoThreadInGoneCode) {
    char helper[] = UNLOAD_HELPER;
    char library[] = LUMO_LIBRARY;
    char* argv[] = {helper, library, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, helper, nullptr, nullptr, argv, environ), 0);
    EXPECT_EQ(ExitCode(pid), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 0);
}

}  // namespace
