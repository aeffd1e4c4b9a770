#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "payload.h"

extern char** environ;

namespace {

using Lines = std::vector<std::string>;
using payload::Expected;

// A lumo_peer process (see lumo_peer.cpp) and the lines it prints.
class Peer {
public:
    explicit Peer(const std::vector<std::string>& args) {
        std::istringstream command(LUMO_PEER);  // [emulator...] program
        for (std::string word; command >> word;) {
            words_.push_back(word);
        }
        words_.insert(words_.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words_) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        EXPECT_EQ(posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    // The next line printed, or "" when none comes within 3 s.
    std::string Line() {
        size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) {
            pollfd pfd{out_, POLLIN, 0};
            char chunk[256];
            ssize_t n = poll(&pfd, 1, 3000) == 1 ? read(out_, chunk, sizeof(chunk)) : 0;
            if (n <= 0) {
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }
    // The handle from the "open" line (0 when missing).
    int Opened() {
        std::string line = Line();
        return line.rfind("open ", 0) == 0 ? atoi(line.c_str() + 5) : 0;
    }
    pid_t pid() const { return pid_; }

private:
    std::vector<std::string> words_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// The callbacks of this process's ends, as lines. The callback shares the
// inbox's state, so a late callback never outlives it.
class Inbox {
public:
    LumoCallback Callback() {
        return [box = box_](int handle, LumoRequest* request) {
            std::lock_guard<std::mutex> lock(box->mutex);
            box->lines.push_back(payload::Describe(handle, request));
            box->cv.notify_all();
        };
    }
    // All lines once `count` came (or after 3 s), sorted when there are
    // several connections, as their messages have no order between them.
    Lines WaitFor(size_t count, bool sorted = false) {
        std::unique_lock<std::mutex> lock(box_->mutex);
        box_->cv.wait_for(lock, std::chrono::seconds(3), [&] { return box_->lines.size() >= count; });
        Lines lines = box_->lines;
        if (sorted) {
            std::sort(lines.begin(), lines.end());
        }
        return lines;
    }

private:
    struct Box {
        std::mutex mutex;
        std::condition_variable cv;
        Lines lines;
    };
    std::shared_ptr<Box> box_ = std::make_shared<Box>();
};

int Open(const std::string& self, const std::string& peer, bool listening,
         LumoCallback callback = nullptr, uint32_t timeoutMs = 3000, uint32_t gid = UINT32_MAX) {
    LumoOpenParam param{};
    param.selfName = self.c_str();
    param.peerName = peer.c_str();
    param.isServer = listening ? 1 : 0;
    param.timeoutMs = timeoutMs;
    param.gid = gid;
    param.enableCallback = 1;
    param.callback = std::move(callback);
    return LumoOpen(&param);
}

// Closes as the library's users do: retried while a callback still runs.
int CloseRetrying(int handle) {
    int rc = LumoClosePipe(handle);
    for (int tries = 0; tries < 2000 && rc == -EBUSY; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        rc = LumoClosePipe(handle);
    }
    return rc;
}

size_t OpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

class LumoPipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lumo-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("LUMO_PIPE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        for (const std::string& name : Files()) {
            unlink((dir_ + "/" + name).c_str());
        }
        rmdir(dir_.c_str());
    }
    Lines Files() const {
        Lines names;
        DIR* dir = opendir(dir_.c_str());
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.push_back(dir_ + "/" + entry->d_name);
            }
        }
        closedir(dir);
        return names;
    }
    std::string dir_;
};

TEST_F(LumoPipeTest, CarriesMessagesBetweenProcessesUnderTheListenerHandle) {
    Inbox inbox;
    const int listener = Open("srv_heartbeat", "cli", true, inbox.Callback());
    ASSERT_GT(listener, 0);
    Lines expected;
    for (int client = 0; client < 2; ++client) {  // the second one is a restarted client
        Peer peer({"connect", "cli", "srv_heartbeat", "232", "1", "65536"});
        const int handle = peer.Opened();
        ASSERT_GT(handle, 0);
        for (size_t size : {232, 1, 65536}) {
            EXPECT_EQ(peer.Line(), "sent 0");
            expected.push_back(Expected(listener, size));
        }
        EXPECT_EQ(inbox.WaitFor(expected.size()), expected);
        EXPECT_EQ(payload::Send(listener, 100), 0);  // answered on the newest connection
        EXPECT_EQ(peer.Line(), Expected(handle, 100));
    }
}

TEST_F(LumoPipeTest, SenderFailsAfterListenerRestartAndSucceedsThroughNewOpen) {
    auto server = std::make_unique<Peer>(Lines{"listen", "srv", "cli"});
    const int remote = server->Opened();
    Inbox inbox;
    const int handle = Open("cli", "srv", false, inbox.Callback());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(payload::Send(handle, 232), 0);
    EXPECT_EQ(server->Line(), Expected(remote, 232));

    server.reset();  // killed: the connecting end is told, and sends fail
    EXPECT_EQ(inbox.WaitFor(1), Lines{"gone " + std::to_string(handle)});
    EXPECT_EQ(payload::Send(handle, 232), -EPIPE);
    EXPECT_EQ(CloseRetrying(handle), 0);

    server = std::make_unique<Peer>(Lines{"listen", "srv", "cli"});  // over the stale file
    const int restarted = server->Opened();
    const int reopened = Open("cli", "srv", false);
    EXPECT_GT(reopened, handle);
    EXPECT_EQ(payload::Send(reopened, 232), 0);
    EXPECT_EQ(server->Line(), Expected(restarted, 232));
}

TEST_F(LumoPipeTest, LongNamesAndNamesWithSeparatorsMeet) {
    for (const auto& [self, peer] : {std::pair{std::string(199, 's'), std::string(199, 'p')},
                                     std::pair{std::string("a/b"), std::string("c@d")}}) {
        Inbox inbox;
        const int listener = Open(self, peer, true, inbox.Callback());
        ASSERT_GT(listener, 0);
        ASSERT_EQ(Files().size(), 1u);
        EXPECT_LT(Files()[0].size(), sizeof(sockaddr_un::sun_path));
        Peer client({"connect", peer, self, "232"});
        EXPECT_GT(client.Opened(), 0);
        EXPECT_EQ(inbox.WaitFor(1), Lines{Expected(listener, 232)});
        EXPECT_EQ(CloseRetrying(listener), 0);
        EXPECT_TRUE(Files().empty());  // closing removes the socket file
    }
}

TEST_F(LumoPipeTest, SocketFileHasModeAndGroupOfTheOpen) {
    const uint32_t gid = geteuid() == 0 ? 4242 : getgid();
    const mode_t oldMask = umask(077);
    ASSERT_GT(Open("srv", "cli", true, nullptr, 0, gid), 0);
    umask(oldMask);
    struct stat st{};
    ASSERT_EQ(stat(Files().at(0).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, gid);
}

TEST_F(LumoPipeTest, ConcurrentOpenSendCloseCyclesLeakNoDescriptor) {
    auto cycles = [](const std::string& tag, int count) {
        for (int i = 0; i < count; ++i) {
            const int listener = Open(tag + "srv", tag + "cli", true);
            const int sender = Open(tag + "cli", tag + "srv", false, nullptr, 0);
            EXPECT_EQ(payload::Send(sender, 232), 0);
            EXPECT_EQ(Open(tag + "cli", tag + "nobody", false, nullptr, 0), -ETIMEDOUT);
            EXPECT_EQ(LumoClosePipe(sender), 0);
            EXPECT_EQ(LumoClosePipe(listener), 0);
        }
    };
    cycles("warm", 1);  // starts the receive thread and its epoll set
    const size_t before = OpenDescriptors();
    std::thread other(cycles, "a", 500);
    cycles("b", 500);
    other.join();
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(Files().empty());
}

TEST_F(LumoPipeTest, ReopenedListenerTakesOverAddressAndConnections) {
    Inbox first;
    Inbox second;
    const int older = Open("srv", "cli", true, first.Callback());
    const int sender = Open("cli", "srv", false);
    ASSERT_EQ(payload::Send(sender, 10), 0);
    EXPECT_EQ(first.WaitFor(1), Lines{Expected(older, 10)});

    const size_t descriptors = OpenDescriptors();
    const int newer = Open("srv", "cli", true, second.Callback());
    ASSERT_GT(newer, older);
    EXPECT_EQ(OpenDescriptors(), descriptors);  // socket and connection moved, none added
    EXPECT_EQ(payload::Send(sender, 11), 0);
    EXPECT_EQ(payload::Send(Open("cli", "srv", false), 12), 0);
    const int rc = LumoClosePipe(older);
    EXPECT_TRUE(rc == 0 || rc == -ENOENT || rc == -EINVAL) << rc;
    EXPECT_EQ(payload::Send(sender, 13), 0);
    EXPECT_EQ(second.WaitFor(3, true),
              (Lines{Expected(newer, 11), Expected(newer, 12), Expected(newer, 13)}));
    EXPECT_EQ(first.WaitFor(1).size(), 1u);
}

TEST_F(LumoPipeTest, CloseDuringACallbackWorksInsideItAndIsBusyElsewhere) {
    std::promise<int> insideResult;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // The pipe closed inside its callback holds the last copy of the callback,
    // whose captures may call the library again when they are destroyed.
    std::promise<int> destroyed;
    std::shared_ptr<void> capture(nullptr, [&destroyed](void*) { destroyed.set_value(LumoClosePipe(INT_MAX)); });
    const int selfClosing = Open("srv", "cli", true, [&insideResult, capture](int handle, LumoRequest*) {
        insideResult.set_value(LumoClosePipe(handle));
    });
    capture.reset();
    const int blocking = Open("srv2", "cli", true, [&entered, released](int, LumoRequest*) {
        entered.set_value();
        released.wait();
    });
    ASSERT_EQ(payload::Send(Open("cli", "srv", false), 1), 0);
    auto inside = insideResult.get_future();
    ASSERT_EQ(inside.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(inside.get(), 0);
    EXPECT_EQ(LumoClosePipe(selfClosing), -ENOENT);
    auto afterClose = destroyed.get_future();
    ASSERT_EQ(afterClose.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(afterClose.get(), -ENOENT);

    ASSERT_EQ(payload::Send(Open("cli", "srv2", false), 1), 0);
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(LumoClosePipe(blocking), -EBUSY);
    release.set_value();
    EXPECT_EQ(CloseRetrying(blocking), 0);
}

TEST_F(LumoPipeTest, SendToAStalledPeerGivesUpWithTimeout) {
    Peer server({"listen", "srv", "cli"});
    ASSERT_GT(server.Opened(), 0);
    kill(server.pid(), SIGSTOP);
    const int sender = Open("cli", "srv", false);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i) {
        rc = payload::Send(sender, 232);
    }
    EXPECT_EQ(rc, -ETIMEDOUT);
}

TEST_F(LumoPipeTest, FailuresAnswerNegativeErrno) {
    EXPECT_EQ(Open("cli", "srv", false, nullptr, 50), -ETIMEDOUT);  // no listener
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/srv@cli", dir_.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);  // a stale file: nobody listens on it
    EXPECT_EQ(Open("cli", "srv", false, nullptr, 50), -EPIPE);

    EXPECT_EQ(LumoOpen(nullptr), -EINVAL);
    LumoOpenParam noNames{};
    EXPECT_EQ(LumoOpen(&noNames), -EINVAL);
    EXPECT_EQ(Open(std::string(200, 'n'), "cli", true), -EINVAL);
    EXPECT_EQ(Open("srv", std::string(200, 'n'), false), -EINVAL);
    EXPECT_EQ(Open("", "cli", true), -EINVAL);

    ASSERT_GT(Open("srv", "cli", true), 0);
    const int sender = Open("cli", "srv", false);
    std::vector<uint8_t> big(65537);
    LumoRequest request{};
    EXPECT_EQ(LumoSendRequest(sender, nullptr), -EINVAL);
    EXPECT_EQ(LumoSendRequest(sender, &request), -EINVAL);  // no data
    request.data = big.data();
    EXPECT_EQ(LumoSendRequest(sender, &request), -EINVAL);  // no size
    request.size = 65537;
    EXPECT_EQ(LumoSendRequest(sender, &request), -EMSGSIZE);
    request.size = 1;
    EXPECT_EQ(LumoSendRequest(0, &request), -EINVAL);
    EXPECT_EQ(LumoSendRequest(sender + 1000, &request), -ENOENT);
    EXPECT_EQ(LumoClosePipe(-1), -EINVAL);
    EXPECT_EQ(LumoClosePipe(sender), 0);
    EXPECT_EQ(LumoClosePipe(sender), -ENOENT);
    EXPECT_EQ(LumoSendRequest(sender, &request), -ENOENT);
}

}  // namespace
