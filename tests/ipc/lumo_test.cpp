// Our IPC pipe library through its C interface. Every test runs in a fresh
// process.
#include <atomic>
#include <climits>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "lumo_test_support.h"

namespace {

using namespace lumo_test;
using std::chrono::seconds;

using LumoPipeTest = PipeDirTest;

// Names too long for a socket address meet all the same; a restarted client
// arrives under the same listener handle, with its own pid. Messages of 1 byte
// to 64 KiB arrive whole; a larger one is refused before it is sent.
TEST_F(LumoPipeTest, CarriesMessagesBetweenProcessesUnderTheListenerHandle) {
    const std::string server(199, 's'), client(199, 'c');
    const int listener = Open(server, client, true, inbox.Callback(), UINT32_MAX, 0);
    Lines expected;
    for (int i = 0; i < 2; ++i) {  // the second one is the first restarted
        const pid_t pid = Child([&] {
            const int handle = Open(client, server, false);
            return Send(handle, 65537) == -EMSGSIZE && Send(handle, 1) == 0 && Send(handle, 65536) == 0 ? 0 : 1;
        });
        EXPECT_EQ(ExitCode(pid), 0);
        expected.insert(expected.end(), {Line(listener, pid, "1"), Line(listener, pid, "65536")});
        EXPECT_EQ(inbox.WaitFor(expected.size()), expected);
    }
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
    for (int i = 0; i < 100000 && rc == 0; ++i) rc = Send(sender, 232);
    EXPECT_EQ(rc, -ETIMEDOUT);
    EXPECT_EQ(LumoClosePipe(stuck), -EBUSY);
    release.set_value();
}

// Senders on shared handles while another thread closes and reopens them and
// both ends' callbacks send back: every result is one the contract names,
// every close eventually succeeds, and no descriptor or socket file is left
// behind (the thread sanitizer checks the rest).
TEST_F(LumoPipeTest, SendsClosesAndCallbacksOnTheSameHandlesAtOnce) {
    Open("srv", "cli", true, [](int handle, LumoRequest* request) {
        if (request != nullptr) Send(handle, 8);  // to the newest connection, which may be going
    });
    const size_t descriptors = Count("/proc/self/fd");
    std::atomic<int> current{0}, odd{0};
    std::atomic<bool> done{false};
    auto sending = [&] {
        while (!done.load()) {
            const int handle = current.load();
            const int rc = handle > 0 ? Send(handle, 232) : 0;
            // A busy machine may leave the receive thread behind: -ETIMEDOUT.
            odd += rc != 0 && rc != -ENOENT && rc != -EPIPE && rc != -ETIMEDOUT ? 1 : 0;
        }
    };
    std::thread first(sending), second(sending);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(LumoClosePipe(Open("other", "cli", true)), 0);
        EXPECT_EQ(Open("cli", "nobody", false, nullptr, UINT32_MAX, 0), -ETIMEDOUT);
        const int handle = Open("cli", "srv", false, [](int, LumoRequest*) {});
        current.store(handle);
        usleep(200);
        current.store(0);
        int rc;
        while ((rc = LumoClosePipe(handle)) == -EBUSY) usleep(1000);  // its callback runs: as users do, again
        EXPECT_EQ(rc, 0);
    }
    done.store(true);
    first.join(), second.join();
    EXPECT_EQ(odd.load(), 0);
    // The listener closes its end of the last connection.
    EXPECT_TRUE(Eventually([&] { return Count("/proc/self/fd") == descriptors; }));
    EXPECT_EQ(Count(dir_), 1U);  // the listener's own
}

// A connecting end is told when its listener goes.
TEST_F(LumoPipeTest, FailuresAnswerNegativeErrnoAndASenderIsToldWhenItsListenerGoes) {
    // A listener that dies without its exit handlers leaves a stale file.
    ASSERT_EQ(ExitCode(Child([] { return Open("srv", "cli", true) > 0 ? 0 : 1; })), 0);
    EXPECT_EQ(Open("cli", "srv", false, nullptr, UINT32_MAX, 50), -EPIPE);
    const int listener = Open("srv", "cli", true);  // over the stale file
    EXPECT_GT(listener, 0);

    EXPECT_EQ(LumoOpen(nullptr), -EINVAL);
    const int sender = Open("cli", "srv", false);
    EXPECT_EQ(Send(sender, 0), -EINVAL);  // nothing to send
    EXPECT_EQ(LumoClosePipe(sender), 0);
    EXPECT_EQ(LumoClosePipe(sender), -ENOENT);
    EXPECT_EQ(Send(sender, 1), -ENOENT);

    const int told = Open("cli", "srv", false, inbox.Callback());
    EXPECT_EQ(LumoClosePipe(listener), 0);
    EXPECT_EQ(inbox.WaitFor(1), Lines{Line(told, -1, "gone")});
    EXPECT_EQ(Send(told, 232), -EPIPE);
}

}  // namespace
