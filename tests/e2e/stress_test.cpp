// Timing under interference: a signal every millisecond to every thread of
// the clients and of the server, and a fault callback that takes 400 ms.
// The two setups run side by side, each with its own server.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using e2e::Event;

// A signal storm must neither cut a cycle short (a sleep that ends at the
// first EINTR) nor stretch it (a sleep that starts over after every EINTR):
// consecutive heartbeats of a client are stamped 3 s plus the send's own time
// apart, and a killed client is reported 2 to 3 check cycles after its last
// heartbeat.
void RunSignalStorm() {
    e2e::Scenario scenario("e2e_storm_srv");
    auto server = scenario.StartServer({"--storm", "storm1", "storm2", "victim"});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    auto storm1 = scenario.StartClient("storm1", {"--storm", "--dog", "1"});
    auto storm2 = scenario.StartClient("storm2", {"--storm"});
    auto victim = scenario.StartClient("victim");
    ASSERT_TRUE(server->WaitFor([](const Event& e) { return e2e::IsBeat(e, "victim"); }, 8s));
    const auto lastBeat = server->WaitFor([](const Event& e) { return e2e::IsBeat(e, "victim"); }, 5s,
                                          server->EventCount());
    ASSERT_TRUE(lastBeat);
    victim->Kill(SIGKILL);
    const auto lost = server->WaitFor([](const Event& e) { return e2e::IsReport(e, "victim", 1); }, 15s);
    ASSERT_TRUE(lost);
    EXPECT_GE(lost->ms - lastBeat->ms, 6000 - 100) << "check cycles cut short";
    EXPECT_LE(lost->ms - lastBeat->ms, 9000 + 800) << "check cycles stretched";

    storm1->CloseInput();
    storm2->CloseInput();
    for (auto* client : {storm1.get(), storm2.get()}) {
        const auto quit = client->WaitForKind("quit", 15s);
        ASSERT_TRUE(quit);
        EXPECT_GT(std::stoull(quit->args[1].substr(sizeof("signals=") - 1)), 5000u) << "no storm";
        EXPECT_TRUE(client->ExitsCleanly(5s));
    }
    for (const char* name : {"storm1", "storm2"}) {
        const auto beats = e2e::BeatsOf(*server, name);
        ASSERT_GE(beats.size(), 4u) << name;
        for (size_t i = 1; i < beats.size(); ++i) {
            EXPECT_EQ(e2e::BeatOrder(beats[i]), e2e::BeatOrder(beats[i - 1]) + 1) << name << " lost a heartbeat";
            const int64_t cycle = e2e::BeatSendTime(beats[i]) - e2e::BeatSendTime(beats[i - 1]);
            EXPECT_GE(cycle, 3000) << name;
            EXPECT_LE(cycle, 3400) << name;
            EXPECT_FALSE(e2e::BeatDogFailed(beats[i])) << name;
        }
        EXPECT_TRUE(e2e::ReportsAbout(*server, name).empty()) << name;
    }
    server->CloseInput();
    const auto signals = server->WaitForKind("signals", 10s);
    ASSERT_TRUE(signals);
    EXPECT_GT(std::stoull(signals->args[0]), 5000u) << "no storm in the server";
    EXPECT_TRUE(server->ExitsCleanly(5s));
    for (const Event& event : server->Events()) {
        EXPECT_NE(event.kind, "log") << event.text;  // no order gap, late record or pid change
    }
}

// Four clients killed together are reported one after the other by a
// callback that takes 400 ms each, all under the registry lock; started again
// they are reported recovered. Every report arrives once and in order, and the
// heartbeats of a healthy client are held up by less than one cycle.
void RunSlowCallback() {
    const std::vector<std::string> names = {"slow1", "slow2", "slow3", "slow4"};
    e2e::Scenario scenario("e2e_slow_srv");
    auto server = scenario.StartServer({"--callback-delay-ms", "400", "slow1", "slow2", "slow3", "slow4", "steady"});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    auto steady = scenario.StartClient("steady");
    std::vector<std::unique_ptr<e2e::Process>> clients;
    for (const std::string& name : names) {
        clients.push_back(scenario.StartClient(name));
    }
    for (const std::string& name : names) {
        ASSERT_TRUE(server->WaitFor([&name](const Event& e) { return e2e::IsBeat(e, name); }, 8s)) << name;
    }
    for (auto& client : clients) {
        client->Kill(SIGKILL);
    }
    for (const std::string& name : names) {
        ASSERT_TRUE(server->WaitFor([&name](const Event& e) { return e2e::IsReport(e, name, 1); }, 18s)) << name;
    }
    std::vector<int> pids;
    for (size_t i = 0; i < names.size(); ++i) {
        clients[i] = scenario.StartClient(names[i]);
        pids.push_back(clients[i]->Pid());
    }
    for (const std::string& name : names) {
        ASSERT_TRUE(server->WaitFor([&name](const Event& e) { return e2e::IsReport(e, name, 0); }, 15s)) << name;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const auto reports = e2e::ReportsAbout(*server, names[i]);
        ASSERT_EQ(reports.size(), 2u) << names[i];
        EXPECT_TRUE(e2e::IsReport(reports[0], names[i], 1));
        EXPECT_TRUE(e2e::IsReport(reports[1], names[i], 0));
        EXPECT_EQ(e2e::ReportedPid(reports[1]), pids[i]);
    }
    EXPECT_TRUE(e2e::ReportsAbout(*server, "steady").empty());
    const auto beats = e2e::BeatsOf(*server, "steady");
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(e2e::BeatOrder(beats[i]), e2e::BeatOrder(beats[i - 1]) + 1);
        EXPECT_LT(beats[i].ms - e2e::BeatSendTime(beats[i]), 3000) << "held up for a cycle or more";
    }
    for (auto& client : clients) {
        client->CloseInput();
    }
    steady->CloseInput();
    for (auto& client : clients) {
        EXPECT_TRUE(client->ExitsCleanly(15s));
    }
    EXPECT_TRUE(steady->ExitsCleanly(15s));
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
}

TEST(EndToEnd, SignalStormsAndASlowFaultCallbackKeepTimingAndReports) {
    auto storm = std::async(std::launch::async, RunSignalStorm);
    RunSlowCallback();
    storm.get();
}

}  // namespace
