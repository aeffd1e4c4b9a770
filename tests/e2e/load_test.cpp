// One server process watching 200 client processes through rounds in which a
// random two fifths of them are either killed and started again or stopped
// and continued: every fault is reported lost once with the pid that had it,
// every comeback recovered once with the pid it came back with, nothing else
// is reported, and once every client is unregistered the server holds no more
// descriptors and threads than before the first of them.
#include <map>
#include <numeric>
#include <random>

#include "harness.h"

namespace {

using namespace e2e;

constexpr int kClients = 200;
constexpr int kRounds = 3;

std::string NameOf(int index) { return "load" + std::to_string(1000 + index).substr(1); }

TEST(Load, TwoHundredClientsThroughRoundsOfKillsAndStopsGetExactReportsAndReleaseEverything) {
    Scenario scenario{"load_srv"};
    // The first registration starts what lives as long as the library (the
    // check thread, the IPC library's receive thread and its epoll set): the
    // baseline is taken once it is undone, which also says that it was made.
    auto server = scenario.Start({"server", "warmup"});
    ASSERT_EQ(server->Ask(""), "rc=0");
    const auto baseline = server->Use();
    std::vector<int> order(kClients);
    std::iota(order.begin(), order.end(), 0);
    std::string everyone;
    for (int i : order) everyone += NameOf(i) + " ";
    ASSERT_EQ(server->Ask(everyone, 60s), "rc=0");
    std::vector<std::unique_ptr<Process>> clients;
    for (int i : order) clients.push_back(scenario.Start({"client", NameOf(i)}));
    for (int i : order) ASSERT_TRUE(server->WaitFor({"beat", NameOf(i)}, 30s)) << NameOf(i);

    std::map<std::string, std::vector<std::pair<long, long>>> expected;  // (isLost, pid) per client
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < kRounds; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        const std::vector<int> victims(order.begin(), order.begin() + 2 * kClients / 5);
        const size_t mark = server->Select({}).size();
        for (int i : victims) {
            expected[NameOf(i)].push_back({1, clients[i]->Pid()});
            clients[i]->Kill(i % 2 ? SIGSTOP : SIGKILL);
        }
        for (int i : victims) ASSERT_TRUE(server->WaitFor({"report", NameOf(i), "1"}, 30s, mark));
        for (int i : victims) {
            if (i % 2 == 0) clients[i] = scenario.Start({"client", NameOf(i)});
            clients[i]->Kill(SIGCONT);
            expected[NameOf(i)].push_back({0, clients[i]->Pid()});
        }
        for (int i : victims) ASSERT_TRUE(server->WaitFor({"report", NameOf(i), "0"}, 30s, mark));
    }
    std::this_thread::sleep_for(4s);  // time for a stray report to show
    decltype(expected) actual;
    for (const Event& report : server->Select({"report"}))
        actual[report.words[1]].push_back({report.Arg(2), report.Arg(3)});
    EXPECT_EQ(actual, expected);

    ASSERT_EQ(server->Ask(""), "rc=0");
    // The receive thread lets go of the pipes in its own time.
    Within(5s, [&] { return server->Use() == baseline; });
    EXPECT_EQ(server->Use(), baseline) << "(descriptors, threads)";
}

}  // namespace
