// Our IPC pipe library through its C interface. Every test runs in a fresh
// process; a child process that uses the library is forked before its parent
// uses it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lumo.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::seconds;

// Sends `size` bytes, each of them the size's low byte.
int Send(int handle, size_t size) {
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(size));
    LumoRequest request{0, bytes.data(), static_cast<uint32_t>(size), 0};
    return LumoSendRequest(handle, &request);
}

// Every delivery as "<handle>:<size>", "<handle>:corrupt" when a byte is not
// the size's low byte, or "<handle>:gone" for a null request. Never destroyed: a
// callback may still come while the process exits.
std::mutex& mutex = *new std::mutex;
std::condition_variable& delivered = *new std::condition_variable;
Lines& inbox = *new Lines;
std::string Line(int handle, std::string what) { return std::to_string(handle) + ":" + what; }
void Deliver(int handle, LumoRequest* request) {
    std::string what = "gone";
    if (request != nullptr) {
        const auto* data = static_cast<const uint8_t*>(request->data);
        const auto low = static_cast<uint8_t>(request->size);
        what = std::all_of(data, data + request->size, [low](uint8_t byte) { return byte == low; })
                   ? std::to_string(request->size)
                   : "corrupt";
    }
    std::lock_guard<std::mutex> lock(mutex);
    inbox.push_back(Line(handle, what));
    delivered.notify_all();
}
// All deliveries once there are `count` (or after 3 s).
Lines WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    delivered.wait_for(lock, seconds(3), [count] { return inbox.size() >= count; });
    return inbox;
}

// Closes as the library's users do: again while its callback runs.
int Close(int handle) {
    int rc = LumoClosePipe(handle);
    for (int i = 0; i < 3000 && rc == -EBUSY; ++i) {
        usleep(1000);
        rc = LumoClosePipe(handle);
    }
    return rc;
}

int Open(const std::string& self, const std::string& peer, bool listening,
         LumoCallback callback = nullptr, uint32_t timeoutMs = 3000, uint32_t gid = UINT32_MAX) {
    LumoOpenParam param{peer.c_str(), std::move(callback), timeoutMs, listening ? 1U : 0U, gid, 1,
                        self.c_str(),  -1, 1, 0, 0};
    return LumoOpen(&param);
}

size_t Count(const std::string& directory) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

class LumoPipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
        setenv("LUMO_PIPE_DIR", dir_.c_str(), 1);
        inbox.clear();  // for runs of several tests in one process
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_ = "/tmp/lumo-XXXXXX";
};

// Names too long for a socket address meet all the same.
TEST_F(LumoPipeTest, CarriesMessagesBetweenProcessesUnderTheListenerHandle) {
    const std::string server(199, 's');
    const std::string client(199, 'c');
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    for (int i = 0; i < 2; ++i) {  // the second one is the first restarted
        if (fork() == 0) {
            char byte;
            const int handle = read(go[0], &byte, 1) == 1 ? Open(client, server, false) : -1;
            _exit(Send(handle, 232) == 0 && Send(handle, 65536) == 0 ? 0 : 1);
        }
    }
    const uint32_t gid = geteuid() == 0 ? 4242 : getgid();
    umask(077);
    const int listener = Open(server, client, true, Deliver, 0, gid);
    struct stat st = {};
    ASSERT_EQ(stat(std::filesystem::directory_iterator(dir_)->path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode) && (st.st_mode & 07777) == 0660 && st.st_gid == gid);
    for (size_t i = 0; i < 2; ++i) {  // one client at a time
        int status = -1;
        ASSERT_EQ(write(go[1], "g", 1), 1);
        EXPECT_GT(waitpid(-1, &status, 0), 0);
        EXPECT_EQ(status, 0);
        WaitFor(2 * i + 2);  // before the next client
    }
    EXPECT_EQ(WaitFor(4), (Lines{Line(listener, "232"), Line(listener, "65536"),
                                 Line(listener, "232"), Line(listener, "65536")}));
}

TEST_F(LumoPipeTest, SenderIsToldWhenItsListenerGoesAndReachesTheNextOne) {
    const int listener = Open("srv", "cli", true);
    const int sender = Open("cli", "srv", false, Deliver);
    EXPECT_EQ(LumoClosePipe(listener), 0);
    EXPECT_EQ(WaitFor(1), Lines{Line(sender, "gone")});
    EXPECT_EQ(Send(sender, 232), -EPIPE);
    EXPECT_EQ(Close(sender), 0);
    const int next = Open("srv", "cli", true, Deliver);
    EXPECT_EQ(Send(Open("cli", "srv", false), 1), 0);
    EXPECT_EQ(WaitFor(2).back(), Line(next, "1"));
}

TEST_F(LumoPipeTest, ConcurrentOpenSendCloseCyclesLeakNothing) {
    auto cycles = [](const std::string& tag, int count) {
        for (int i = 0; i < count; ++i) {
            const int listener = Open(tag + "srv", tag + "cli", true);
            const int sender = Open(tag + "cli", tag + "srv", false, nullptr, 0);
            EXPECT_EQ(Send(sender, 232), 0);
            EXPECT_EQ(Open(tag + "cli", tag + "nobody", false, nullptr, 0), -ETIMEDOUT);
            EXPECT_EQ(LumoClosePipe(sender), 0);
            EXPECT_EQ(LumoClosePipe(listener), 0);
        }
    };
    cycles("warm", 1);  // starts the receive thread and its epoll set
    const size_t descriptors = Count("/proc/self/fd");
    std::thread other(cycles, "a", 500);
    cycles("b", 500);
    other.join();
    EXPECT_EQ(Count("/proc/self/fd"), descriptors);
    EXPECT_EQ(Count(dir_), 0U);
}

TEST_F(LumoPipeTest, CallbacksMayCloseTheirPipeAndAStuckOneNeitherClosesNorBlocksSenders) {
    // Closed inside its callback, the pipe holds the last copy of the callback,
    // whose captures may call the library again when they are destroyed.
    std::promise<int> done;
    std::shared_ptr<void> guard(nullptr, [&](void*) { done.set_value(LumoClosePipe(INT_MAX)); });
    Open("srv", "cli", true, [guard](int handle, LumoRequest*) { LumoClosePipe(handle); });
    guard.reset();
    ASSERT_EQ(Send(Open("cli", "srv", false), 1), 0);
    auto afterwards = done.get_future();
    ASSERT_EQ(afterwards.wait_for(seconds(3)), std::future_status::ready);
    EXPECT_EQ(afterwards.get(), -ENOENT);

    // A callback that waits holds up the one receive thread: its pipe is busy,
    // and a sender that fills the unread queue gives up after its wait bound.
    std::promise<void> release;
    const int stuck = Open("srv2", "cli", true, [released = release.get_future().share()](
                                                    int, LumoRequest*) { released.wait(); });
    const int sender = Open("cli", "srv2", false);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i) {
        rc = Send(sender, 232);
    }
    EXPECT_EQ(rc, -ETIMEDOUT);
    EXPECT_EQ(LumoClosePipe(stuck), -EBUSY);
    release.set_value();
}

// Senders on shared handles while another thread closes and reopens them and
// both ends' callbacks send back: every result is one the contract names, and
// every close eventually succeeds (the thread sanitizer checks the rest).
TEST_F(LumoPipeTest, SendsClosesAndCallbacksOnTheSameHandlesAtOnce) {
    Open("srv", "cli", true, [](int handle, LumoRequest* request) {
        if (request != nullptr) {
            Send(handle, 8);  // to the newest connection, which may be going
        }
    });
    std::atomic<int> current{0};
    std::atomic<bool> done{false};
    std::atomic<int> odd{0};
    auto sending = [&] {
        while (!done.load()) {
            const int handle = current.load();
            const int rc = handle > 0 ? Send(handle, 232) : 0;
            odd += rc != 0 && rc != -ENOENT && rc != -EPIPE ? 1 : 0;
        }
    };
    std::thread first(sending);
    std::thread second(sending);
    for (int i = 0; i < 200; ++i) {
        const int handle = Open("cli", "srv", false, [](int, LumoRequest*) {});
        current.store(handle);
        usleep(200);
        current.store(0);
        EXPECT_EQ(Close(handle), 0);
    }
    done.store(true);
    first.join();
    second.join();
    EXPECT_EQ(odd.load(), 0);
}

TEST_F(LumoPipeTest, FailuresAnswerNegativeErrno) {
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/srv@cli", dir_.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);  // a stale file: nobody listens on it
    EXPECT_EQ(Open("cli", "srv", false, nullptr, 50), -EPIPE);
    EXPECT_GT(Open("srv", "cli", true), 0);  // over the stale file

    EXPECT_EQ(LumoOpen(nullptr), -EINVAL);
    const int sender = Open("cli", "srv", false);
    LumoRequest request{};
    EXPECT_EQ(LumoSendRequest(sender, &request), -EINVAL);  // no data
    EXPECT_EQ(LumoClosePipe(sender), 0);
    EXPECT_EQ(LumoClosePipe(sender), -ENOENT);
    EXPECT_EQ(Send(sender, 1), -ENOENT);
}

}  // namespace
