// A hostile neighbour of a server connects to the listening end of one client
// ("gate") and floods it with records in the name of another ("victim"),
// messages of any size and garbage. The victim is silent (stopped): nothing
// arriving on another client's pipe may keep it alive, the server must
// neither crash nor grow without bound, and a real client's heartbeats must
// still get through in time.
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "harness.h"
#include "heartbeat_message.h"

namespace {

using namespace e2e;

int Connect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends to `path` until `stop`, about 50,000 messages a second: a third are
// records in `name`'s name, the rest garbage of edge and random sizes, the
// record's size among them. Returns how many were sent.
long Flood(const std::string& path, const char* name, const std::atomic<bool>& stop) {
    std::mt19937 rng(12345);
    std::vector<unsigned char> garbage(70001);
    for (unsigned char& byte : garbage) {
        byte = static_cast<unsigned char>(rng());
    }
    const size_t sizes[] = {0, 1, 231, sizeof(HeartBeatMessage), 233, 65536, 65537, 70000};
    HeartBeatMessage record{};
    strncpy(record.clientName, name, sizeof(record.clientName) - 1);
    record.pid = getpid();
    record.timeoutTimes = 2;
    long sent = 0;
    const auto start = Clock::now();
    int fd = Connect(path);
    for (long i = 0; fd >= 0 && !stop; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(20 * i));
        // steady_clock is CLOCK_MONOTONIC, the clock of sendTime.
        record.sendTime = static_cast<uint64_t>(
            std::chrono::duration_cast<Ms>(Clock::now().time_since_epoch()).count());
        record.order++;
        const size_t size = i % 2 ? sizes[rng() % 8] : rng() % garbage.size();
        const bool asRecord = rng() % 3 == 0;
        if (send(fd, asRecord ? static_cast<void*>(&record) : garbage.data(),
                 asRecord ? sizeof(record) : size, MSG_NOSIGNAL) >= 0) {
            ++sent;
        } else {  // an empty message reads as the end of the connection: come back on a new one
            close(fd);
            fd = Connect(path);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return sent;
}

TEST(EndToEnd, AHostileNeighbourNeitherImpersonatesNorStarvesNorExhaustsTheServer) {
    Scenario scenario("e2e_hostile_" + std::to_string(getpid()));
    auto server = scenario.Server({"victim", "real", "gate"});
    ASSERT_EQ(server->WaitFor(Kind("ready"), 10s).value_or(Event{}).text, "rc=0");
    auto real = scenario.Client("real");
    auto victim = scenario.Client("victim");
    ASSERT_TRUE(server->WaitFor(Beat("victim"), 8s));
    ASSERT_TRUE(server->WaitFor(Beat("real"), 8s));

    victim->Kill(SIGSTOP);  // silent from now on, its connection stays open
    const auto before = server->Use();
    std::atomic<bool> stop{false};
    long sent = 0;
    std::thread flood([&] { sent = Flood(scenario.SocketOf("gate"), "victim", stop); });
    long peakKb = before.rssKb;
    bool answering = true;
    for (int i = 0; i < 10 && answering; ++i) {
        std::this_thread::sleep_for(1s);
        answering = server->Ask("register real", "done", 5s).has_value();
        peakKb = std::max(peakKb, server->Use().rssKb);
    }
    stop = true;
    flood.join();
    ASSERT_TRUE(answering) << "the server stopped answering";
    EXPECT_GT(sent, 1000) << "the neighbour could not do its work";
    std::this_thread::sleep_for(200ms);  // the server drops the closed connection
    const auto after = server->Use();

    // Lost: the records in its name came on another handle.
    const auto lost = server->WaitFor(Report("victim", 1), 10s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->Arg(1), victim->Pid());
    ExpectSteady(*server, "real");
    EXPECT_TRUE(Select(*server, Report("gate")).empty());
    // Memory does not grow with the traffic; every descriptor is given back.
    EXPECT_LT(peakKb - before.rssKb, 16 * 1024);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    server->CloseInput();
    EXPECT_TRUE(server->ExitsCleanly(10s));
}

}  // namespace
