// Hostile neighbours of a server: processes that connect to the listening end
// of one client ("gate") and send records in the name of another ("victim"),
// messages of any size, a flood, a storm of connections, and one that writes
// garbage into a listed shared-memory page. The victim is silent (stopped);
// nothing arriving on another client's pipe may keep it alive, and a real
// client's heartbeats must still get through in time.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "harness/scenario.h"

namespace {

using namespace std::chrono_literals;
using e2e::Event;

struct Usage {
    int64_t ms = 0;
    long fds = 0;
    long threads = 0;
    long rssKb = 0;
    long cpuMs = 0;
    long logs = 0;
};

Usage AskUsage(e2e::Process& server) {
    const size_t from = server.EventCount();
    Usage usage;
    if (!server.Send("usage")) {
        return usage;
    }
    const auto event = server.WaitForKind("usage", 5s, from);
    if (!event) {
        return usage;
    }
    std::map<std::string, long> values;
    for (const std::string& field : event->args) {
        const size_t eq = field.find('=');
        values[field.substr(0, eq)] = std::stol(field.substr(eq + 1));
    }
    usage.ms = event->ms;
    usage.fds = values["fds"];
    usage.threads = values["threads"];
    usage.rssKb = values["rss_kb"];
    usage.cpuMs = values["cpu_ms"];
    usage.logs = values["logs"];
    return usage;
}

TEST(EndToEnd, HostileNeighboursNeitherImpersonateNorStarveNorExhaustTheServer) {
    e2e::Scenario scenario("e2e_hostile_" + std::to_string(getpid()));
    const std::string page = "/dev/shm/paged__to__" + scenario.ServerName() + "_mmap_heartbeat";
    auto server = scenario.StartServer({"victim", "real", "gate", "--mmap", "paged"});
    ASSERT_TRUE(server->WaitForKind("ready", 10s));
    auto real = scenario.StartClient("real");
    auto victim = scenario.StartClient("victim");
    ASSERT_TRUE(server->WaitFor([](const Event& e) { return e2e::IsBeat(e, "victim"); }, 8s));
    ASSERT_TRUE(server->WaitFor([](const Event& e) { return e2e::IsBeat(e, "real"); }, 8s));

    victim->Kill(SIGSTOP);  // silent from now on, its connection stays open
    const Usage before = AskUsage(*server);
    const std::string gate = scenario.SocketOf("gate");
    std::vector<std::unique_ptr<e2e::Process>> hostiles;
    const std::vector<std::string> env = scenario.Env("hostile");
    hostiles.push_back(e2e::Start({HB_E2E_HOSTILE, "pipe", gate, "records", "victim", "12", "10"}, env));
    hostiles.push_back(e2e::Start({HB_E2E_HOSTILE, "pipe", gate, "sizes", "victim", "12", "2000"}, env));
    hostiles.push_back(e2e::Start({HB_E2E_HOSTILE, "pipe", gate, "flood", "victim", "8", "50000"}, env));
    hostiles.push_back(e2e::Start({HB_E2E_HOSTILE, "pipe", gate, "churn", "victim", "12", "200"}, env));
    hostiles.push_back(e2e::Start({HB_E2E_HOSTILE, "page", page, "12", "2000"}, env));

    // Sample the server while they run.
    std::vector<Usage> during;
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(1s);
        during.push_back(AskUsage(*server));
        ASSERT_GT(during.back().ms, 0) << "the server stopped answering";
    }
    std::string sent;
    for (auto& hostile : hostiles) {
        const auto done = hostile->WaitForKind("sent", 10s);
        ASSERT_TRUE(done) << "a hostile neighbour could not do its work";
        sent += " " + done->args[0] + "/" + done->args[2];
        EXPECT_TRUE(hostile->ExitsCleanly(5s));
    }
    hostiles.clear();
    std::this_thread::sleep_for(200ms);  // the server drops the closed connections
    const Usage after = AskUsage(*server);

    // The victim was reported lost: the records in its name came on another handle.
    const auto lost = server->WaitFor([](const Event& e) { return e2e::IsReport(e, "victim", 1); }, 10s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(e2e::ReportedPid(*lost), victim->Pid());
    // And it recovers when it really sends again.
    victim->Kill(SIGCONT);
    EXPECT_TRUE(server->WaitFor([](const Event& e) { return e2e::IsReport(e, "victim", 0); }, 12s));

    // The real client: never reported, no heartbeat missing or held up a cycle.
    EXPECT_TRUE(e2e::ReportsAbout(*server, "real").empty());
    EXPECT_TRUE(e2e::ReportsAbout(*server, "gate").empty());
    const auto beats = e2e::BeatsOf(*server, "real");
    ASSERT_GE(beats.size(), 5u);
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(e2e::BeatOrder(beats[i]), e2e::BeatOrder(beats[i - 1]) + 1);
        EXPECT_LT(beats[i].ms - e2e::BeatSendTime(beats[i]), 3000);
    }

    // Bounded: memory does not grow with the traffic, every descriptor of
    // the neighbours' connections is given back.
    long peakKb = before.rssKb;
    for (const Usage& usage : during) {
        peakKb = std::max(peakKb, usage.rssKb);
    }
    EXPECT_LT(peakKb - before.rssKb, 16 * 1024);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    double peakCpu = 0;
    for (size_t i = 1; i < during.size(); ++i) {
        peakCpu = std::max(peakCpu, 100.0 * static_cast<double>(during[i].cpuMs - during[i - 1].cpuMs) /
                                        static_cast<double>(during[i].ms - during[i - 1].ms));
    }
    const double seconds = static_cast<double>(during.back().ms - before.ms) / 1000.0;
    std::cout << "hostile: sent/failed (records sizes flood churn page)" << sent << " in " << seconds
              << " s; server cpu " << 100.0 * static_cast<double>(during.back().cpuMs - before.cpuMs) / (seconds * 1000.0)
              << "% of one core on average, " << peakCpu << "% in the busiest second; "
              << during.back().logs - before.logs << " log lines; rss " << before.rssKb << " kB before, " << peakKb
              << " kB peak, " << after.rssKb << " kB after; fds " << before.fds << " -> " << after.fds
              << "; threads " << before.threads << " -> " << after.threads << std::endl;

    real->CloseInput();
    victim->CloseInput();
    EXPECT_TRUE(real->ExitsCleanly(15s));
    EXPECT_TRUE(victim->ExitsCleanly(15s));
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
    EXPECT_NE(access(page.c_str(), F_OK), 0) << "channel file left behind";
}

}  // namespace
