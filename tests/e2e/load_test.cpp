// One server process watching 200 client processes through rounds in which a
// random two fifths of them are either killed and started again or stopped
// and continued: every fault is reported lost once with the pid that had it,
// every comeback recovered once with the pid it came back with, nothing else
// is reported, and once every client is unregistered the server holds no more
// descriptors and threads than before the first of them.
#include <algorithm>
#include <map>
#include <numeric>
#include <random>

#include "harness.h"

namespace {

using namespace e2e;

constexpr int kClients = 200;
constexpr int kRounds = 3;

std::string NameOf(int index) {
    return "load" + std::to_string(1000 + index).substr(1);
}

TEST(Load, TwoHundredClientsThroughRoundsOfKillsAndStopsGetExactReportsAndReleaseEverything) {
    Scenario scenario("load_srv");
    // The first registration starts what lives as long as the library (the
    // check thread, the IPC library's receive thread and its epoll set).
    auto server = scenario.Server({"warmup"});
    const auto unregisterAll = [&] { return server->Ask("unregister-all", "done").value_or(Event{}).text; };
    ASSERT_TRUE(server->WaitFor(Kind("ready"), 10s));
    ASSERT_EQ(unregisterAll(), "unregister-all rc=0");
    const auto baseline = server->Use();
    std::vector<int> order(kClients);
    std::iota(order.begin(), order.end(), 0);
    std::string everyone = "register";
    for (int i : order) everyone += " " + NameOf(i);
    ASSERT_TRUE(server->Ask(everyone, "done", 60s));
    std::vector<std::unique_ptr<Process>> clients;
    for (int i : order) clients.push_back(scenario.Client(NameOf(i)));
    for (int i : order) ASSERT_TRUE(server->WaitFor(Beat(NameOf(i)), 30s)) << NameOf(i) << " did not get through";

    std::map<std::string, std::vector<std::pair<long, long>>> expected;  // (isLost, pid) per client
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    for (int round = 0; round < kRounds; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        const std::vector<int> victims(order.begin(), order.begin() + 2 * kClients / 5);
        const size_t mark = server->Select({}).size();
        for (int i : victims) {
            expected[NameOf(i)].push_back({1, clients[i]->Pid()});
            clients[i]->Kill(i % 2 ? SIGSTOP : SIGKILL);
        }
        for (int i : victims) ASSERT_TRUE(server->WaitFor(Report(NameOf(i), 1), 30s, mark)) << "seed " << seed;
        for (int i : victims) {
            if (i % 2 == 0) clients[i] = scenario.Client(NameOf(i));
            clients[i]->Kill(SIGCONT);
            expected[NameOf(i)].push_back({0, clients[i]->Pid()});
        }
        for (int i : victims) ASSERT_TRUE(server->WaitFor(Report(NameOf(i), 0), 30s, mark)) << "seed " << seed;
    }
    std::this_thread::sleep_for(4s);  // time for a stray report to show
    decltype(expected) actual;
    for (const Event& report : Select(*server, Kind("report"))) {
        actual[report.args[0]].push_back({report.Arg(2), report.Arg(1)});
    }
    EXPECT_EQ(actual, expected) << "seed " << seed;

    ASSERT_EQ(unregisterAll(), "unregister-all rc=0");
    auto released = server->Use();
    for (int i = 0; i < 50 && (released.fds != baseline.fds || released.threads != baseline.threads); ++i) {
        std::this_thread::sleep_for(100ms);  // until the receive thread has let go of the pipes
        released = server->Use();
    }
    EXPECT_EQ(released.fds, baseline.fds);
    EXPECT_EQ(released.threads, baseline.threads);
}

}  // namespace
