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
    const std::vector<std::string> serverArgs = {"--storm", "stormed", "crashing"};
    Scenario scenario("e2e_life_srv");
    auto server = scenario.Server(serverArgs);
    ASSERT_EQ(server->WaitFor(Kind("ready"), 10s).value_or(Event{}).text, "rc=0");
    // Half a check cycle apart from the server's cycles, a client's heartbeats
    // leave a loss one cycle early or late plain in its timing.
    std::this_thread::sleep_for(1500ms);
    auto stormed = scenario.Client("stormed", {"--storm"});
    auto crashing = scenario.Client("crashing");
    ASSERT_TRUE(server->WaitFor(Beat("crashing"), 8s)) << "crashing sent nothing";

    crashing->Kill(SIGKILL);
    const auto lost = server->WaitFor(Report("crashing", 1), 18s);
    ASSERT_TRUE(lost);
    const int64_t silent = lost->ms - Select(*server, Beat("crashing")).back().ms;
    EXPECT_GE(silent, 6000 - 100) << "check cycles cut short";
    EXPECT_LE(silent, 9000 + 1000) << "check cycles stretched";
    // Four heartbeats, three intervals of the stormed client's cadence.
    ASSERT_TRUE(server->WaitFor([](const Event& e) { return Beat("stormed")(e) && e.Arg(2) >= 3; }, 10s));
    ExpectSteady(*server, "stormed");

    // The server restarts after the client had a send fail; the client's
    // heartbeats reach the new server within one cycle of its start.
    server.reset();
    std::this_thread::sleep_for(3500ms);
    server = scenario.Server(serverArgs);
    const auto ready = server->WaitFor(Kind("ready"), 10s);
    ASSERT_TRUE(ready);
    const auto back = server->WaitFor(Beat("stormed"), 6s);
    ASSERT_TRUE(back) << "the client did not come back";
    EXPECT_LE(back->ms - ready->ms, 3000 + 700);
    // Exit status 0 also says that the storm went on through unregistering.
    stormed->CloseInput();
    EXPECT_TRUE(stormed->ExitsCleanly(15s));
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
    EXPECT_TRUE(Select(*server, Kind("report")).empty()) << "the restarted server reported a client";
}

}  // namespace
