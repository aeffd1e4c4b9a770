// A server process supervising three client processes through the real IPC
// library, every thread of the server and of one client interrupted by a
// signal every millisecond, and a fault callback that takes 400 ms: one client
// stays healthy, one is killed and started again, one has a watched thread
// that stalls and recovers; then the server itself restarts.
#include "harness.h"

namespace {

using namespace e2e;

// Clients send every 3 s and are lost after 2 silent check cycles: loss is
// seen 2 to 3 cycles after the last heartbeat (more under the slow callback),
// recovery 2 cycles after the first new one. A sleep that ends at the first
// EINTR cuts cycles short, one that starts over after each stretches them.
TEST(EndToEnd, ReportsKilledAndStalledClientsAndTheirRecoveryThroughSignalStormsAndAServerRestart) {
    const std::vector<std::string> names = {"healthy", "crashing", "stalling"};
    std::vector<std::string> serverArgs = {"--storm", "--delay", "400"};
    serverArgs.insert(serverArgs.end(), names.begin(), names.end());
    Scenario scenario("e2e_life_srv");
    auto server = scenario.Server(serverArgs);
    ASSERT_EQ(server->WaitFor(Kind("ready"), 10s).value_or(Event{}).text, "rc=0");
    // Half a check cycle apart from the server's cycles, a client's heartbeats
    // leave a loss one cycle early or late plain in its timing.
    std::this_thread::sleep_for(1500ms);
    auto healthy = scenario.Client("healthy", {"--storm", "--dog", "1"});
    auto crashing = scenario.Client("crashing");
    auto stalling = scenario.Client("stalling", {"--dog", "1"});
    for (const std::string& name : names) {
        ASSERT_TRUE(server->WaitFor(Beat(name), 8s)) << name << " sent nothing";
    }

    // A SIGKILL and a watched thread that stops kicking, at the same time.
    const int killedPid = crashing->Pid();
    crashing->Kill(SIGKILL);
    ASSERT_TRUE(stalling->Send("stall"));
    const auto killedLost = server->WaitFor(Report("crashing", 1), 18s);
    ASSERT_TRUE(killedLost);
    EXPECT_EQ(killedLost->Arg(1), killedPid);
    const int64_t silent = killedLost->ms - Select(*server, Beat("crashing")).back().ms;
    EXPECT_GE(silent, 6000 - 100) << "check cycles cut short";
    EXPECT_LE(silent, 9000 + 800 + 1200) << "check cycles stretched";
    const auto stalledLost = server->WaitFor(Report("stalling", 1), 15s);
    ASSERT_TRUE(stalledLost);
    EXPECT_EQ(stalledLost->Arg(1), stalling->Pid());
    // Lost while its heartbeats, marked, still arrive.
    EXPECT_TRUE(server->WaitFor(
        [&](const Event& e) {
            return Beat("stalling")(e) && e.args[4] == "1" && e.ms >= stalledLost->ms;
        },
        5s));

    // Started again (new pid, order from 0); the stalled thread kicks again.
    crashing = scenario.Client("crashing");
    ASSERT_TRUE(stalling->Send("kick"));
    const auto restarted = server->WaitFor(Report("crashing", 0), 12s);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->Arg(1), crashing->Pid());
    EXPECT_TRUE(server->WaitFor(Report("stalling", 0), 12s));
    EXPECT_EQ(Select(*server, Report("crashing")).size(), 2u);
    EXPECT_EQ(Select(*server, Report("stalling")).size(), 2u);
    ExpectSteady(*server, "healthy");

    // The server restarts after every client had a send fail; each client's
    // heartbeats reach the new server within one cycle of its start.
    server->Kill(SIGKILL);
    ASSERT_FALSE(server->ExitsCleanly(5s));
    std::this_thread::sleep_for(3500ms);
    server = scenario.Server(serverArgs);
    const auto ready = server->WaitFor(Kind("ready"), 10s);
    ASSERT_TRUE(ready);
    for (const std::string& name : names) {
        const auto beat = server->WaitFor(Beat(name), 6s);
        ASSERT_TRUE(beat) << name << " did not come back";
        EXPECT_LE(beat->ms - ready->ms, 3000 + 700) << name;
    }
    for (auto* client : {healthy.get(), crashing.get(), stalling.get()}) {
        client->CloseInput();
    }
    const auto quit = healthy->WaitFor(Kind("quit"), 15s);
    ASSERT_TRUE(quit);
    EXPECT_GT(quit->Arg(1), 5000) << "no storm";
    for (auto* client : {healthy.get(), crashing.get(), stalling.get()}) {
        EXPECT_TRUE(client->ExitsCleanly(15s));
    }
    server->CloseInput();
    const auto signals = server->WaitFor(Kind("signals"), 10s);
    ASSERT_TRUE(signals);
    EXPECT_GT(signals->Arg(0), 5000) << "no storm in the server";
    EXPECT_TRUE(server->ExitsCleanly(10s));
    EXPECT_FALSE(server->WaitFor(Kind("report"), 0ms)) << "the restarted server reported a client";
}

}  // namespace
