// One server process supervising 200 client processes through rounds of
// SIGKILL and restart of a random fifth of them: every kill is reported lost
// once, every restart recovered once, nothing else is reported, and once every
// client is unregistered the server holds no more descriptors and threads
// than before the first of them.
#include <algorithm>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <set>

#include "harness.h"

namespace {

using namespace e2e;

constexpr int kClients = 200;
constexpr int kRounds = 3;

std::string NameOf(int index) { return "load" + std::to_string(1000 + index).substr(1); }

TEST(Load, TwoHundredClientsThroughRoundsOfKillsGetExactReportsAndReleaseEverything) {
    Scenario scenario("load_srv");
    auto server = scenario.Server({});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    // The first registration starts what lives as long as the library (the
    // check thread, the IPC library's receive thread and its epoll set).
    ASSERT_EQ(server->Ask("register warmup", "done")->text, "register warmup rc=0");
    ASSERT_EQ(server->Ask("unregister-all", "done")->text, "unregister-all rc=0");
    const auto baseline = server->Ask("usage", "usage");
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(server->Send("register " + NameOf(i)));
    }
    const auto registered = server->Ask("usage", "usage", 60s);  // answered after the registrations
    const auto done = [](const Event& e) { return e.text.rfind("register load", 0) == 0 && e.args[2] == "rc=0"; };
    ASSERT_EQ(Select(*server, done).size(), static_cast<size_t>(kClients));
    std::vector<std::unique_ptr<Process>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(scenario.Client(NameOf(i), {}, false));
    }
    // Waits until every client in `who` has an event `kind` ending in `tail` from event `from` on.
    const auto seenAll = [&server](const std::vector<int>& who, const char* kind, const char* tail, size_t from) {
        return server->Until(
            [&](const std::vector<Event>& events) {
                std::set<std::string> seen;
                for (size_t i = from; i < events.size(); ++i) {
                    if (events[i].kind == kind && events[i].args.back() == tail) {
                        seen.insert(events[i].args[0]);
                    }
                }
                return std::all_of(who.begin(), who.end(), [&](int i) { return seen.count(NameOf(i)) != 0; });
            },
            30s);
    };
    std::vector<int> all(kClients);
    std::iota(all.begin(), all.end(), 0);
    ASSERT_TRUE(seenAll(all, "beat", "0", 0)) << "not every client got through";

    using Reports = std::map<std::string, std::vector<std::pair<long, long>>>;  // (isLost, pid) per client
    Reports expected;
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<int> victims = all;
        std::shuffle(victims.begin(), victims.end(), rng);
        victims.resize(kClients / 5);
        const size_t mark = server->Events().size();
        for (int i : victims) {
            expected[NameOf(i)].push_back({1, clients[i]->Pid()});
            clients[i]->Kill(SIGKILL);
        }
        ASSERT_TRUE(seenAll(victims, "report", "1", mark)) << "round " << round << " seed " << seed;
        for (int i : victims) {
            clients[i] = scenario.Client(NameOf(i), {}, false);
            expected[NameOf(i)].push_back({0, clients[i]->Pid()});
        }
        ASSERT_TRUE(seenAll(victims, "report", "0", mark)) << "round " << round << " seed " << seed;
    }
    std::this_thread::sleep_for(4s);  // time for a stray report to show

    Reports actual;
    const auto reports = Select(*server, [](const Event& e) { return e.kind == "report"; });
    for (const Event& report : reports) {
        actual[report.args[0]].push_back({report.Arg(2), report.Arg(1)});
    }
    EXPECT_EQ(actual, expected) << "seed " << seed;
    ASSERT_EQ(server->Ask("unregister-all", "done")->text, "unregister-all rc=0");
    std::this_thread::sleep_for(200ms);
    const auto released = server->Ask("usage", "usage");
    EXPECT_EQ(released->Arg(0), baseline->Arg(0)) << "descriptors";
    EXPECT_EQ(released->Arg(1), baseline->Arg(1)) << "threads";

    for (auto& client : clients) {
        client->CloseInput();
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->ExitsCleanly(30s));
    }
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
    std::cout << "load: " << kClients << " client processes, " << kRounds << " rounds, " << kRounds * kClients / 5
              << " kills, " << reports.size() << " reports; server fds/threads " << baseline->Arg(0) << "/"
              << baseline->Arg(1) << " before the clients, " << registered->Arg(0) << "/" << registered->Arg(1)
              << " with " << kClients << " registered, " << released->Arg(0) << "/" << released->Arg(1)
              << " after unregistering all; rss " << registered->Arg(2) << " -> " << released->Arg(2)
              << " kB; seed " << seed << std::endl;
}

}  // namespace
