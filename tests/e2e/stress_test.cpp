// Timing under interference: a signal every millisecond to every thread of
// two clients and of the server, whose fault callback takes 400 ms.
#include "harness.h"

namespace {

using namespace e2e;

// A storm must neither cut a cycle short (a sleep that ends at the first
// EINTR) nor stretch it (one that starts over after every EINTR): heartbeats
// are stamped 3 s plus the send's own time apart and none goes missing. Three
// clients killed together are reported 2 to 3 check cycles after their last
// heartbeat, one after the other by the slow callback, and started again they
// are reported recovered: each report once, in order.
TEST(EndToEnd, SignalStormsAndASlowFaultCallbackKeepTimingAndReports) {
    const std::vector<std::string> slow = {"slow1", "slow2", "slow3"};
    Scenario scenario("e2e_storm_srv");
    auto server = scenario.Server({"--storm", "--delay", "400", "storm1", "storm2", "slow1", "slow2", "slow3"});
    ASSERT_EQ(server->WaitForKind("ready", 10s).value_or(Event{}).text, "rc=0");
    auto storm1 = scenario.Client("storm1", {"--storm", "--dog", "1"});
    auto storm2 = scenario.Client("storm2", {"--storm"});
    std::vector<std::unique_ptr<Process>> clients;
    for (const std::string& name : slow) {
        clients.push_back(scenario.Client(name));
        ASSERT_TRUE(server->WaitFor(Beat(name), 8s)) << name;
    }
    for (auto& client : clients) {
        client->Kill(SIGKILL);
    }
    std::vector<long> pids;
    for (size_t i = 0; i < slow.size(); ++i) {
        const auto lost = server->WaitFor(Report(slow[i], 1), 18s);
        ASSERT_TRUE(lost) << slow[i];
        const int64_t silent = lost->ms - Select(*server, Beat(slow[i])).back().ms;
        EXPECT_GE(silent, 6000 - 100) << slow[i] << ": check cycles cut short";
        EXPECT_LE(silent, 9000 + 800 + 1200) << slow[i] << ": check cycles stretched";
        clients[i] = scenario.Client(slow[i]);
        pids.push_back(clients[i]->Pid());
    }
    for (size_t i = 0; i < slow.size(); ++i) {
        ASSERT_TRUE(server->WaitFor(Report(slow[i], 0), 15s)) << slow[i];
        const auto reports = Select(*server, Report(slow[i]));
        ASSERT_EQ(reports.size(), 2u) << slow[i];
        EXPECT_EQ(reports[0].Arg(2), 1);
        EXPECT_EQ(reports[1].Arg(1), pids[i]);
    }

    for (auto* client : {storm1.get(), storm2.get()}) {
        client->CloseInput();
        const auto quit = client->WaitForKind("quit", 15s);
        ASSERT_TRUE(quit);
        EXPECT_GT(quit->Arg(1), 5000) << "no storm";
        EXPECT_TRUE(client->ExitsCleanly(5s));
    }
    for (const char* name : {"storm1", "storm2"}) {
        ExpectSteady(*server, name);
        const auto beats = Select(*server, Beat(name));
        for (size_t i = 1; i < beats.size(); ++i) {
            EXPECT_GE(beats[i].Arg(3) - beats[i - 1].Arg(3), 3000) << name;
            EXPECT_LE(beats[i].Arg(3) - beats[i - 1].Arg(3), 3400) << name;
            EXPECT_EQ(beats[i].args[4], "0") << name;
        }
    }
    for (auto& client : clients) {
        client->CloseInput();
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->ExitsCleanly(15s));
    }
    server->CloseInput();
    const auto signals = server->WaitForKind("signals", 10s);
    ASSERT_TRUE(signals);
    EXPECT_GT(signals->Arg(0), 5000) << "no storm in the server";
    EXPECT_TRUE(server->ExitsCleanly(5s));
}

}  // namespace
