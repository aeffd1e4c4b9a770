// One server process supervising 200 client processes through rounds of
// SIGKILL and restart of a random fifth of them: every kill is reported lost
// once, every restart recovered once, nothing else is reported, and once every
// client is unregistered the server holds no more descriptors and threads
// than before the first of them.
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

TEST(Load, TwoHundredClientsThroughRoundsOfKillsGetExactReportsAndReleaseEverything) {
    Scenario scenario("load_srv");
    auto server = scenario.Server({});
    ASSERT_TRUE(server->WaitFor(Kind("ready"), 10s));
    // The first registration starts what lives as long as the library (the
    // check thread, the IPC library's receive thread and its epoll set).
    ASSERT_EQ(server->Ask("register warmup", "done")->text, "register warmup rc=0");
    ASSERT_EQ(server->Ask("unregister-all", "done")->text, "unregister-all rc=0");
    const auto baseline = server->Use();
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(server->Send("register " + NameOf(i)));
    }
    ASSERT_TRUE(server->WaitFor(
        [](const Event& e) { return e.text.rfind("register load199 ", 0) == 0; }, 60s));
    const auto done = [](const Event& e) {
        return e.text.rfind("register load", 0) == 0 && e.args[2] == "rc=0";
    };
    ASSERT_EQ(Select(*server, done).size(), static_cast<size_t>(kClients));
    std::vector<std::unique_ptr<Process>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(scenario.Client(NameOf(i)));
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(server->WaitFor(Beat(NameOf(i)), 30s)) << NameOf(i) << " did not get through";
    }

    using Reports =
        std::map<std::string, std::vector<std::pair<long, long>>>;  // (isLost, pid) per client
    Reports expected;
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    std::vector<int> all(kClients);
    std::iota(all.begin(), all.end(), 0);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<int> victims = all;
        std::shuffle(victims.begin(), victims.end(), rng);
        victims.resize(kClients / 5);
        const size_t mark = server->Events().size();
        for (int i : victims) {
            expected[NameOf(i)].push_back({1, clients[i]->Pid()});
            clients[i]->Kill(SIGKILL);
        }
        for (int i : victims) {
            ASSERT_TRUE(server->WaitFor(Report(NameOf(i), 1), 30s, mark))
                << "round " << round << " seed " << seed;
        }
        for (int i : victims) {
            clients[i] = scenario.Client(NameOf(i));
            expected[NameOf(i)].push_back({0, clients[i]->Pid()});
        }
        for (int i : victims) {
            ASSERT_TRUE(server->WaitFor(Report(NameOf(i), 0), 30s, mark))
                << "round " << round << " seed " << seed;
        }
    }
    std::this_thread::sleep_for(4s);  // time for a stray report to show

    Reports actual;
    for (const Event& report : Select(*server, Kind("report"))) {
        actual[report.args[0]].push_back({report.Arg(2), report.Arg(1)});
    }
    EXPECT_EQ(actual, expected) << "seed " << seed;
    ASSERT_EQ(server->Ask("unregister-all", "done")->text, "unregister-all rc=0");
    std::this_thread::sleep_for(200ms);
    const auto released = server->Use();
    EXPECT_EQ(released.fds, baseline.fds);
    EXPECT_EQ(released.threads, baseline.threads);

    for (auto& client : clients) {
        client->CloseInput();
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->ExitsCleanly(30s));
    }
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
}

}  // namespace
