// A hostile neighbour of a server connects to the listening end of one client
// ("gate") and floods it with records in the name of another ("victim"),
// messages of any size and garbage. The victim is silent (stopped): nothing
// arriving on another client's pipe may keep it alive, the server must
// neither crash nor grow without bound, and a real client's heartbeats must
// still get through in time.
#include <algorithm>
#include <iostream>

#include "harness.h"

namespace {

using namespace e2e;

TEST(EndToEnd, AHostileNeighbourNeitherImpersonatesNorStarvesNorExhaustsTheServer) {
    Scenario scenario("e2e_hostile_" + std::to_string(getpid()));
    auto server = scenario.Server({"victim", "real", "gate"});
    ASSERT_EQ(server->WaitForKind("ready", 10s).value_or(Event{}).text, "rc=0");
    auto real = scenario.Client("real");
    auto victim = scenario.Client("victim");
    ASSERT_TRUE(server->WaitFor(Beat("victim"), 8s));
    ASSERT_TRUE(server->WaitFor(Beat("real"), 8s));

    victim->Kill(SIGSTOP);  // silent from now on, its connection stays open
    const auto before = server->Ask("usage", "usage");
    auto hostile = scenario.Helper("hostile", {"hostile", scenario.SocketOf("gate"), "victim", "10", "50000"});
    std::vector<Event> during;  // the server sampled while it runs
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(1s);
        const auto usage = server->Ask("usage", "usage", 5s);
        ASSERT_TRUE(usage) << "the server stopped answering";
        during.push_back(*usage);
    }
    const auto sent = hostile->WaitForKind("sent", 10s);
    ASSERT_TRUE(sent) << "the hostile neighbour could not do its work";
    EXPECT_TRUE(hostile->ExitsCleanly(5s));
    std::this_thread::sleep_for(200ms);  // the server drops the closed connection
    const auto after = server->Ask("usage", "usage");

    // Reported lost: the records in its name came on another handle. And it
    // recovers when it really sends again.
    const auto lost = server->WaitFor(Report("victim", 1), 10s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->Arg(1), victim->Pid());
    victim->Kill(SIGCONT);
    EXPECT_TRUE(server->WaitFor(Report("victim", 0), 12s));
    ExpectSteady(*server, "real");
    EXPECT_TRUE(Select(*server, Report("gate")).empty());

    // Memory does not grow with the traffic; every descriptor is given back.
    long peakKb = before->Arg(2);
    double peakCpu = 0;
    for (size_t i = 0; i < during.size(); ++i) {
        const Event& last = i == 0 ? *before : during[i - 1];
        peakKb = std::max(peakKb, during[i].Arg(2));
        peakCpu = std::max(peakCpu, 100.0 * static_cast<double>(during[i].Arg(3) - last.Arg(3)) /
                                        static_cast<double>(during[i].ms - last.ms));
    }
    EXPECT_LT(peakKb - before->Arg(2), 16 * 1024);
    EXPECT_EQ(after->Arg(0), before->Arg(0)) << "descriptors";
    EXPECT_EQ(after->Arg(1), before->Arg(1)) << "threads";
    const double ms = static_cast<double>(during.back().ms - before->ms);
    std::cout << "hostile: sent " << sent->text << " in " << ms / 1000 << " s; server cpu "
              << 100.0 * static_cast<double>(during.back().Arg(3) - before->Arg(3)) / ms
              << "% of one core on average, " << peakCpu << "% in the busiest second; rss " << before->Arg(2)
              << " kB before, " << peakKb << " kB peak, " << after->Arg(2) << " kB after; fds " << before->Arg(0)
              << " -> " << after->Arg(0) << "; threads " << before->Arg(1) << " -> " << after->Arg(1) << std::endl;

    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
}

}  // namespace
