// heartbeat-send's parts without the tool: its command line, what it makes of
// notifications and of /proc, and whom it believes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/send_health.h"
#include "tools/send_notify.h"
#include "tools/send_options.h"

namespace {

using hbsend::Mode;
using hbsend::Verdict;

hbsend::ParseResult Parse(std::vector<const char*> args, hbsend::SendOptions* options) {
    args.insert(args.begin(), "heartbeat-send");
    return hbsend::ParseSendCommandLine(static_cast<int>(args.size()), args.data(), options);
}

TEST(SendOptionsTest, SupervisionOptionsAndTheNotifySubcommand) {
    hbsend::SendOptions options;
    ASSERT_EQ(Parse({"--name", "a", "--server", "S", "--notify", "--ping-timeout", "1.25", "--check",
                     "test -e x", "--", "prog", "--flag"}, &options).mode, Mode::kSend);
    EXPECT_TRUE(options.notify);
    EXPECT_EQ(options.pingTimeoutMs, 1250U);
    EXPECT_EQ(options.check, "test -e x");
    EXPECT_EQ(options.command, (std::vector<std::string>{"prog", "--flag"}));
    // The watchdog time-out is the client's: timeoutTimes cycles of 3 s.
    EXPECT_EQ(hbsend::PingTimeoutMs(hbsend::SendOptions{}), 30000U);

    hbsend::SendOptions notify;
    ASSERT_EQ(Parse({"notify", "READY=1", "STATUS=a b"}, &notify).mode, Mode::kNotify);
    EXPECT_EQ(notify.messages, (std::vector<std::string>{"READY=1", "STATUS=a b"}));
}

TEST(SendOptionsTest, EachBadSupervisionArgumentGetsItsLine) {
    const std::string longName(100, 's');
    const std::vector<std::pair<std::vector<const char*>, std::vector<std::string>>> cases = {
        {{"--name", "a", "--server", "S", "--ping-timeout", "2", "--", "p"}, {"--ping-timeout needs --notify"}},
        {{"--name", "a", "--server", "S", "--notify", "--ping-timeout", "1e3", "--", "p"},
         {"--ping-timeout needs seconds from 0.001 to 86400, not '1e3'"}},
        {{"--name", "a", "--server", "S", "--notify", "--ping-timeout", "0.0001", "--", "p"},
         {"--ping-timeout needs seconds from 0.001 to 86400, not '0.0001'"}},
        {{"--name", "a", "--server", "S", "--check", "true"}, {"--check needs a command to watch (after '--')"}},
        {{"--bogus", "--name", "a", "--server", longName.c_str(), "--", "p"},
         {"unknown option '--bogus'",
          "server name for --server 'ssssssssssssssss...' is too long (100 characters, at most 99)"}},
        {{"notify", "READY", "A=1\nREADY=1"},
         {"notify message 'READY' is not VARIABLE=VALUE", "notify message 'A=1\nREADY=1' is not VARIABLE=VALUE"}},
    };
    for (const auto& [args, lines] : cases) {
        hbsend::SendOptions options;
        const hbsend::ParseResult result = Parse(args, &options);
        EXPECT_EQ(result.mode, Mode::kUsage) << lines[0];
        std::vector<std::string> expected;
        for (const std::string& line : lines) {
            expected.push_back("heartbeat-send: " + line);
        }
        EXPECT_EQ(result.errors, expected);
    }
}

TEST(SendNotifyTest, OnlyWholeKnownLinesCount) {
    struct Case {
        std::string datagram;
        bool ready, ping, trigger, stopping;
    };
    const std::vector<Case> cases = {
        {"READY=1\nSTATUS=up\nWATCHDOG=1", true, true, false, false},
        {"WATCHDOG=trigger\n", false, false, true, false},
        {"STOPPING=1", false, false, false, true},
        {"READY=10\nXWATCHDOG=1\nWATCHDOG=1 \n\n", false, false, false, false},
        {std::string("READY=1\0", 8), false, false, false, false},
        {"", false, false, false, false},
    };
    for (const Case& c : cases) {
        hbsend::NotifyEvents events;
        hbsend::ParseNotifyDatagram(c.datagram.data(), c.datagram.size(), &events);
        EXPECT_EQ(events.ready, c.ready) << c.datagram;
        EXPECT_EQ(events.ping, c.ping) << c.datagram;
        EXPECT_EQ(events.trigger, c.trigger) << c.datagram;
        EXPECT_EQ(events.stopping, c.stopping) << c.datagram;
    }
}

TEST(SendNotifyTest, StatLinesWithHostileNames) {
    hbsend::ProcStat stat;
    ASSERT_TRUE(hbsend::ParseProcStat("12 (a) T 99 (x) S 1 2", &stat));  // the name is "a) T 99 (x"
    EXPECT_EQ(stat.state, 'S');
    EXPECT_EQ(stat.ppid, 1);
    for (const char* bad : {"", "12 (x) R", ") (", "12 x R 1", "12 (x) R -4"}) {
        EXPECT_FALSE(hbsend::ParseProcStat(bad, &stat)) << bad;
    }
}

TEST(SendHealthTest, VerdictFromStateAndNotifications) {
    hbsend::HealthInputs base;
    base.exists = true;
    base.state = 'S';
    base.ready = true;
    base.lastPingMs = 1000;
    base.pingTimeoutMs = 2000;
    base.nowMs = 3000;
    auto with = [&base](auto change) {
        hbsend::HealthInputs in = base;
        change(in);
        return hbsend::Evaluate(in);
    };
    using In = hbsend::HealthInputs;
    EXPECT_EQ(with([](In&) {}), Verdict::kHealthy);
    EXPECT_EQ(with([](In& in) { in.state = 'T'; }), Verdict::kStopped);
    EXPECT_EQ(with([](In& in) { in.state = 't'; }), Verdict::kStopped);
    EXPECT_EQ(with([](In& in) { in.state = 'Z'; }), Verdict::kGone);
    EXPECT_EQ(with([](In& in) { in.exists = false; }), Verdict::kGone);
    base.notify = true;
    EXPECT_EQ(with([](In&) {}), Verdict::kHealthy);  // a ping exactly the time-out ago still counts
    EXPECT_EQ(with([](In& in) { in.nowMs = 3001; }), Verdict::kPingLate);
    EXPECT_EQ(with([](In& in) { in.ready = false; }), Verdict::kNotReady);
    EXPECT_EQ(with([](In& in) { in.stopping = true; }), Verdict::kStopping);
    EXPECT_FALSE(hbsend::IsFault(Verdict::kNotReady) || hbsend::IsFault(Verdict::kStopping));
}

// Sends `text` to `path` with `fd` attached, as a process outside any tree
// but this test's own would.
void SendWithFd(const std::string& path, const std::string& text, int fd) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(hbsend::SendWithDescriptor(sock, addr, sizeof(addr), text, fd), 0);
    close(sock);
}

// Only the command's tree is believed, and every descriptor that came along
// is closed either way (a sender's barrier is released, nothing leaks).
TEST(SendNotifyTest, BelievesOnlyTheTreeAndClosesCarriedDescriptors) {
    hbsend::NotifySocket socket;
    ASSERT_EQ(socket.Open(), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    EXPECT_TRUE(hbsend::InProcessTree(child, getpid()));
    EXPECT_FALSE(hbsend::InProcessTree(getpid(), child));

    for (const pid_t root : {child, getpid()}) {  // this test is outside the child's tree, inside its own
        int barrier[2];
        ASSERT_EQ(pipe2(barrier, O_CLOEXEC), 0);
        SendWithFd(socket.path(), "READY=1", barrier[1]);
        close(barrier[1]);
        const hbsend::NotifyEvents events = socket.Drain(root);
        EXPECT_EQ(events.ready, root != child);
        EXPECT_EQ(events.foreign, root == child ? 1U : 0U);
        pollfd pfd{barrier[0], 0, 0};
        EXPECT_EQ(poll(&pfd, 1, 0), 1);  // hung up: the received copy is closed
        close(barrier[0]);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
