// One server process supervising 200 client processes through rounds of
// SIGKILL and restart of a random fifth of them: every kill is reported lost
// once, every restart recovered once, nothing else is reported, and once every
// client is unregistered the server holds no more descriptors and threads
// than before the first of them.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using e2e::Event;

constexpr int kClients = 200;
constexpr int kRounds = 3;
constexpr int kKillsPerRound = kClients / 5;

std::string NameOf(int index) {
    char name[16];
    snprintf(name, sizeof(name), "load%03d", index);
    return name;
}

// Polls the server's events until `done` holds for them.
bool WaitUntil(const e2e::Process& server, const std::function<bool(const std::vector<Event>&)>& done,
               std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done(server.Events())) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

std::map<std::string, long> Usage(e2e::Process& server) {
    const size_t from = server.EventCount();
    std::map<std::string, long> values;
    if (server.Send("usage")) {
        if (const auto event = server.WaitForKind("usage", 5s, from)) {
            for (const std::string& field : event->args) {
                const size_t eq = field.find('=');
                values[field.substr(0, eq)] = std::stol(field.substr(eq + 1));
            }
        }
    }
    return values;
}

bool Command(e2e::Process& server, const std::string& command) {
    const size_t from = server.EventCount();
    const std::string done = command + " rc=0";
    return server.Send(command) &&
           server.WaitFor([&done](const Event& e) { return e.kind == "done" && e.text == done; }, 30s, from);
}

TEST(Load, TwoHundredClientsThroughRoundsOfKillsGetExactReportsAndReleaseEverything) {
    e2e::Scenario scenario("load_srv");
    auto server = scenario.StartServer({});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    const auto pristine = Usage(*server);
    // The first registration starts what lives as long as the library (the
    // check thread, the IPC library's receive thread and its epoll set).
    ASSERT_TRUE(Command(*server, "register warmup"));
    ASSERT_TRUE(Command(*server, "unregister warmup"));
    const auto baseline = Usage(*server);

    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(server->Send("register " + NameOf(i)));
    }
    ASSERT_TRUE(server->WaitFor([](const Event& e) { return e.text == "register " + NameOf(kClients - 1) + " rc=0"; },
                                60s));
    const auto registered = Usage(*server);
    std::vector<std::unique_ptr<e2e::Process>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(scenario.StartClient(NameOf(i), {}, false));
        ASSERT_TRUE(clients.back()->Started());
    }
    ASSERT_TRUE(WaitUntil(
        *server,
        [](const std::vector<Event>& events) {
            std::set<std::string> sending;
            for (const Event& e : events) {
                if (e.kind == "beat") {
                    sending.insert(e.args[0]);
                }
            }
            return sending.size() == kClients;
        },
        30s))
        << "not every client got through";

    // Expected reports, in order per client: (isLost, pid).
    std::map<std::string, std::vector<std::pair<int, int>>> expected;
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    int kills = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<int> order(kClients);
        for (int i = 0; i < kClients; ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), rng);
        order.resize(kKillsPerRound);
        const size_t mark = server->EventCount();
        for (int index : order) {
            expected[NameOf(index)].push_back({1, clients[index]->Pid()});
            clients[index]->Kill(SIGKILL);
            ++kills;
        }
        for (int index : order) {
            ASSERT_TRUE(clients[index]->Wait(5s));
        }
        const auto reported = [&order, mark](int isLost) {
            return [&order, mark, isLost](const std::vector<Event>& events) {
                std::set<std::string> seen;
                for (size_t i = mark; i < events.size(); ++i) {
                    if (events[i].kind == "report" && std::stoi(events[i].args[2]) == isLost) {
                        seen.insert(events[i].args[0]);
                    }
                }
                return std::all_of(order.begin(), order.end(),
                                   [&seen](int index) { return seen.count(NameOf(index)) != 0; });
            };
        };
        ASSERT_TRUE(WaitUntil(*server, reported(1), 30s)) << "round " << round << " (seed " << seed << ")";
        for (int index : order) {
            clients[index] = scenario.StartClient(NameOf(index), {}, false);
            expected[NameOf(index)].push_back({0, clients[index]->Pid()});
        }
        ASSERT_TRUE(WaitUntil(*server, reported(0), 30s)) << "round " << round << " (seed " << seed << ")";
    }
    std::this_thread::sleep_for(4s);  // time for a stray report to show

    std::map<std::string, std::vector<std::pair<int, int>>> actual;
    size_t reports = 0;
    for (const Event& event : server->Events()) {
        if (event.kind == "report") {
            actual[event.args[0]].push_back({std::stoi(event.args[2]), std::stoi(event.args[1])});
            ++reports;
        }
    }
    EXPECT_EQ(actual, expected) << "seed " << seed;

    ASSERT_TRUE(Command(*server, "unregister-all"));
    std::this_thread::sleep_for(200ms);
    const auto released = Usage(*server);
    EXPECT_EQ(released.at("fds"), baseline.at("fds"));
    EXPECT_EQ(released.at("threads"), baseline.at("threads"));
    ASSERT_TRUE(Command(*server, "disable"));
    const auto disabled = Usage(*server);

    for (auto& client : clients) {
        client->CloseInput();
    }
    int clean = 0;
    for (auto& client : clients) {
        clean += client->ExitsCleanly(30s) ? 1 : 0;
    }
    EXPECT_EQ(clean, kClients);
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));

    std::cout << "load: " << kClients << " client processes, " << kRounds << " rounds, " << kills
              << " kills survived, " << reports << " reports (" << kills << " lost + " << kills
              << " recovered expected); server fds/threads: " << pristine.at("fds") << "/"
              << pristine.at("threads") << " at start, " << baseline.at("fds") << "/" << baseline.at("threads")
              << " after the first registration, " << registered.at("fds") << "/" << registered.at("threads")
              << " with " << kClients << " registered, " << released.at("fds") << "/" << released.at("threads")
              << " after unregistering all, " << disabled.at("fds") << "/" << disabled.at("threads")
              << " after disabling; rss " << registered.at("rss_kb") << " -> " << released.at("rss_kb")
              << " kB; seed " << seed << std::endl;
}

}  // namespace
