// A server process and two client processes through the real IPC library,
// every thread of the server and of one client interrupted by a signal every
// millisecond: the interrupted client keeps its cadence, a killed client is
// reported lost neither early nor late, and after the server is killed and
// started again the client comes back to it and exits cleanly.
#include "harness.h"

namespace {

using namespace e2e;

// Clients send every 3 s and are lost after 2 silent check cycles: loss is
// seen 2 to 3 cycles after the last heartbeat. A sleep that ends at the first
// EINTR cuts cycles short, one that starts over after each stretches them.
TEST(EndToEnd, SignalStormsKeepCheckAndSendCyclesAndAClientReturnsToARestartedServer) {
    const Words serverArgs = {"server", "--storm", "stormed", "crashing"};
    Scenario scenario{"e2e_life_srv"};
    auto server = scenario.Start(serverArgs);
    ASSERT_TRUE(server->WaitFor({"ready", "rc=0"}, 10s));
    // Half a check cycle apart from the server's cycles, a client's heartbeats
    // leave a loss one cycle early or late plain in its timing.
    std::this_thread::sleep_for(1500ms);
    auto stormed = scenario.Start({"client", "stormed", "--storm"});
    auto crashing = scenario.Start({"client", "crashing"});
    ASSERT_TRUE(server->WaitFor({"beat", "crashing"}, 8s)) << "crashing sent nothing";

    crashing->Kill(SIGKILL);
    const auto lost = server->WaitFor({"report", "crashing", "1"}, 18s);
    ASSERT_TRUE(lost);
    const int64_t silent = lost->ms - server->Select({"beat", "crashing"}).back().ms;
    EXPECT_TRUE(silent >= 6000 - 100 && silent <= 9000 + 1000) << "lost after " << silent << " ms";
    // The stormed client's heartbeats (order, sendTime: words 3 and 4) come
    // without a gap, each within a cycle of being sent, 3 s plus at most
    // 400 ms apart; four of them, three intervals of its cadence.
    ASSERT_TRUE(Within(10s, [&] { return server->Select({"beat", "stormed"}).size() >= 4; }));
    const auto beats = server->Select({"beat", "stormed"});
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].Arg(3), beats[i - 1].Arg(3) + 1) << "a heartbeat was lost";
        EXPECT_LT(beats[i].ms - beats[i].Arg(4), 3000) << "a heartbeat was held up";
        const long apart = beats[i].Arg(4) - beats[i - 1].Arg(4);
        EXPECT_TRUE(apart >= 3000 && apart <= 3400) << "sent " << apart << " ms after the last";
    }
    EXPECT_EQ(server->Select({"report"}).size(), 1u) << "another report";

    // The server restarts after the client had a send fail; the client's
    // heartbeats reach the new server within one cycle of its start.
    server.reset();
    std::this_thread::sleep_for(3500ms);
    server = scenario.Start(serverArgs);
    const auto ready = server->WaitFor({"ready"}, 10s);
    ASSERT_TRUE(ready);
    const auto back = server->WaitFor({"beat", "stormed"}, 6s);
    ASSERT_TRUE(back) << "the client did not come back";
    EXPECT_LE(back->ms - ready->ms, 3000 + 700);
    // Exit status 0 also says that the storm went on through unregistering.
    EXPECT_TRUE(stormed->Quits(15s));
    EXPECT_TRUE(server->Quits(10s));
    EXPECT_TRUE(server->Select({"report"}).empty()) << "the restarted server reported a client";
}

}  // namespace
