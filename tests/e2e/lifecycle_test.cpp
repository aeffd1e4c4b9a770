// A server process supervising three client processes through the real IPC
// library: one stays healthy, one is killed and started again, one has a
// watched thread that stalls and recovers; then the server itself restarts.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using e2e::Event;

// Clients send every 3 s and are lost after 2 silent check cycles; loss is
// seen at most 3 cycles after the last heartbeat, recovery 2 cycles after the
// first new one. The limits below leave room for a loaded machine.
constexpr auto kFirstBeat = 8s;
constexpr auto kLoss = 15s;
constexpr auto kRecovery = 12s;

TEST(EndToEnd, ReportsKilledAndStalledClientsAndTheirRecoveryAcrossAServerRestart) {
    e2e::Scenario scenario("e2e_life_srv");
    auto server = scenario.StartServer({"healthy", "crashing", "stalling"});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    auto healthy = scenario.StartClient("healthy");
    auto crashing = scenario.StartClient("crashing");
    auto stalling = scenario.StartClient("stalling", {"--dog", "1"});
    for (const char* name : {"healthy", "crashing", "stalling"}) {
        ASSERT_TRUE(server->WaitFor([name](const Event& e) { return e2e::IsBeat(e, name); }, kFirstBeat))
            << name << " sent nothing";
    }

    // A SIGKILL and a watched thread that stops kicking, at the same time.
    const int killedPid = crashing->Pid();
    crashing->Kill(SIGKILL);
    ASSERT_TRUE(crashing->Wait(5s));
    const size_t stalledFrom = server->EventCount();
    ASSERT_TRUE(stalling->Send("stall"));
    const auto killedLost = server->WaitFor([](const Event& e) { return e2e::IsReport(e, "crashing", 1); }, kLoss);
    ASSERT_TRUE(killedLost);
    EXPECT_EQ(e2e::ReportedPid(*killedLost), killedPid);
    const auto stalledLost = server->WaitFor([](const Event& e) { return e2e::IsReport(e, "stalling", 1); }, kLoss);
    ASSERT_TRUE(stalledLost);
    EXPECT_EQ(e2e::ReportedPid(*stalledLost), stalling->Pid());
    // The stalled client is lost while its heartbeats, marked, still arrive.
    EXPECT_TRUE(server->WaitFor(
        [&](const Event& e) { return e2e::IsBeat(e, "stalling") && e2e::BeatDogFailed(e) && e.ms >= stalledLost->ms; },
        5s, stalledFrom));

    // The same client started again (new pid, order from 0); the stalled thread kicks again.
    crashing = scenario.StartClient("crashing");
    ASSERT_TRUE(stalling->Send("kick"));
    const auto restarted = server->WaitFor([](const Event& e) { return e2e::IsReport(e, "crashing", 0); }, kRecovery);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(e2e::ReportedPid(*restarted), crashing->Pid());
    EXPECT_TRUE(server->WaitFor([](const Event& e) { return e2e::IsReport(e, "stalling", 0); }, kRecovery));

    // Exactly these four reports, each once; nothing about the healthy client,
    // whose heartbeats came in order without a gap.
    EXPECT_EQ(e2e::ReportsAbout(*server, "crashing").size(), 2u);
    EXPECT_EQ(e2e::ReportsAbout(*server, "stalling").size(), 2u);
    EXPECT_TRUE(e2e::ReportsAbout(*server, "healthy").empty());
    const auto beats = e2e::BeatsOf(*server, "healthy");
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(e2e::BeatOrder(beats[i]), e2e::BeatOrder(beats[i - 1]) + 1);
    }

    // The server restarts after every client had a send fail; each client's
    // heartbeats reach the new server within one cycle of its start.
    server->Kill(SIGKILL);
    ASSERT_TRUE(server->Wait(5s));
    std::this_thread::sleep_for(3500ms);
    server = scenario.StartServer({"healthy", "crashing", "stalling"});
    const auto ready = server->WaitForKind("ready", 10s);
    ASSERT_TRUE(ready);
    for (const char* name : {"healthy", "crashing", "stalling"}) {
        const auto beat = server->WaitFor([name](const Event& e) { return e2e::IsBeat(e, name); }, 6s);
        ASSERT_TRUE(beat) << name << " did not come back";
        EXPECT_LE(beat->ms - ready->ms, 3000 + 700) << name;
    }

    for (auto* client : {healthy.get(), crashing.get(), stalling.get()}) {
        client->CloseInput();
    }
    for (auto* client : {healthy.get(), crashing.get(), stalling.get()}) {
        EXPECT_TRUE(client->ExitsCleanly(15s));
    }
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
    EXPECT_TRUE(server->WaitFor([](const Event& e) { return e.kind == "report"; }, 0ms) == std::nullopt)
        << "the restarted server reported a client";
}

}  // namespace
