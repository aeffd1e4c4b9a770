// Hostile neighbours of the checking side. The test process is the server
// (over our IPC library, without its check thread: the test runs the cycles);
// clients and forgers are processes of their own that reach a client's pipe
// as any neighbour with access to the pipe directory could.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "checker/checker_test_util.h"
#include "checker/checkheart_internal.h"
#include "ipc/lumo_test_support.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

using checkheart::RunCheckCycle;
using checkheart::State;
using namespace checker_test;
using namespace lumo_test;

// What the process holds: descriptors, threads and resident memory.
struct Usage {
    size_t fds, threads, rssKb;
};
Usage Use() {
    size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return {Count("/proc/self/fd"), Count("/proc/self/task"), resident * (sysconf(_SC_PAGESIZE) / 1024)};
}

// A neighbour process that connects a socket of the test's to a pipe's socket
// file: the kernel names the process that connected as the sender, whoever
// sends through the connection later, so the test sends whatever the
// neighbour is to send. It can leave a child of its own (a workload) sleeping.
struct Sender {
    explicit Sender(const std::string& socketPath, bool withChild = false) {
        int link[2];
        EXPECT_EQ(pipe2(link, O_CLOEXEC), 0);
        sock = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        pid = fork();
        if (pid == 0) {
            if (Connect(socketPath, sock) < 0) _exit(1);  // the test reads the end of the link
            // A bare clone: this process's inherited library state is not
            // its own to run fork handlers on, and the child only sleeps.
            const pid_t workload = withChild ? static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)) : -1;
            if (workload != 0) (void)!write(link[1], &workload, sizeof(workload));
            for (;;) pause();
        }
        close(link[1]);
        EXPECT_EQ(read(link[0], &child, sizeof(child)), static_cast<ssize_t>(sizeof(child))) << socketPath;
        close(link[0]);
    }
    ~Sender() {
        close(sock);
        for (pid_t process : {child, pid}) {
            if (process > 0) kill(process, SIGKILL);
        }
        waitpid(pid, nullptr, 0);
    }
    void Kill() { kill(pid, SIGKILL); }  // left a zombie until destruction
    void Beat(int32_t claimed, uint32_t timeoutTimes, uint8_t dog = 0, const std::string& name = "x") {
        const HeartBeatMessage m = checker_test::Beat(name, orders[name]++, claimed, timeoutTimes, dog);
        EXPECT_EQ(send(sock, &m, sizeof(m), 0), static_cast<ssize_t>(sizeof(m)));
    }
    void Garbage(size_t size) { send(sock, std::vector<char>(size, 'g').data(), size, 0); }

    pid_t pid = -1;
    pid_t child = -1;  // its workload, when it has one
    int sock = -1;
    std::map<std::string, uint32_t> orders;
};

// A private pipe directory and the server "pm"; clients are watched as
// registration does it, but no check thread runs.
class CheckerHostileTest : public PipeDirTest {
protected:
    void SetUp() override {
        PipeDirTest::SetUp();
        State().SendFaultCb = Record;
        State().checkProcName = "pm";
        log_capture::Clear();
    }
    // Leaves no client, report or pipe behind for a later test in this process.
    void TearDown() override {
        std::vector<std::string> names;
        {
            hb::MutexLock lock(&State().stateMutex);
            for (const auto& entry : State().stateMap) names.push_back(entry.first);
        }
        for (const std::string& name : names) UnregisterCheckHeartBeat(name.c_str(), name.size());
        Taken();
        PipeDirTest::TearDown();
    }
    void Watch(const std::string& name) {
        hb::MutexLock lock(&State().stateMutex);
        ASSERT_EQ(checkheart::InitReceiveHeartBeat(name, State().stateMap[name]), 0);
    }
    std::string SocketOf(const std::string& name) const { return Path("pm_heartbeat", name); }
};

TEST_F(CheckerHostileTest, ForgersNeitherKeepAliveNorDisarmNorAccuseAClientNorCanAForkedChildUnwatchIt) {
    if (LumoGetRequestPeer == nullptr) GTEST_SKIP() << "this IPC library does not say who sent a message";
    Watch("x");
    auto client = std::make_unique<Sender>(SocketOf("x"));
    Sender forger(SocketOf("x"));
    client->Beat(client->pid, 2);
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 1; }));

    // While the client runs: a forger's own record switching the time-out
    // off, and a failed watchdog in the name of a pid the forger chose.
    forger.Beat(forger.pid, 0);
    forger.Beat(1, 2, 1);
    ASSERT_TRUE(Eventually([] { return log_capture::CountContaining("Heart failed: x ") == 2; }));
    RunCheckCycle();
    EXPECT_EQ(std::make_tuple(Taken(), Info("x").pid, Info("x").timeoutTimes, Info("x").heartCount),
              std::make_tuple(Reports{}, client->pid, 2u, 1u));
    // A child forked from the server watches nothing: its unregister takes
    // neither x's pipe nor its socket file, which the wrapper below reaches.
    EXPECT_EQ(child_process::Run([] { return -UnregisterCheckHeartBeat("x", 1); }), EINVAL);

    // The client is killed (a zombie for now); records in its name and pid
    // from the forger keep nobody alive.
    client->Kill();
    forger.Beat(client->pid, 2);
    ASSERT_TRUE(Eventually([] { return log_capture::CountContaining("Heart failed: x ") == 3; }));
    RunCheckCycle();
    RunCheckCycle();
    EXPECT_EQ(Taken(), (Reports{{"x", client->pid, 1}}));

    // Its restart is a wrapper that sends for the workload it started: taken
    // over at once, with the wrapper's time-out; the forger stays shut out.
    client.reset();
    Sender wrapper(SocketOf("x"), true);
    wrapper.Beat(wrapper.child, 5);
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 2; }));
    forger.Beat(forger.pid, 5);
    ASSERT_TRUE(Eventually([] { return log_capture::CountContaining("Heart failed: x ") == 4; }));
    RunCheckCycle();
    EXPECT_EQ(std::make_tuple(Taken(), Info("x").timeoutTimes, Info("x").heartCount),
              std::make_tuple(Reports{{"x", wrapper.child, 0}}, 5u, 2u));
}

// Unregistering closes the client's pipe, and a close waits while the pipe's
// callback runs. The callback needs the state lock, so a close made under it
// would only wait for its retries to run out: a client whose records keep
// coming could not be unregistered. A close meets a running callback now and
// then, so twenty clients are tried.
TEST_F(CheckerHostileTest, ClientsWhoseRecordsKeepComingAreUnregisteredWithTheirPipesClosed) {
    for (int round = 0; round < 20; ++round) {
        const std::string name = "busy" + std::to_string(round);
        Watch(name);
        Sender busy(SocketOf(name));
        std::atomic<bool> flooding{true};
        std::thread flood([&] {
            for (uint32_t order = 0; flooding; ++order) {
                const HeartBeatMessage m = checker_test::Beat(name, order, busy.pid, 2);
                send(busy.sock, &m, sizeof(m), MSG_NOSIGNAL);  // fails once the pipe is closed
            }
        });
        EXPECT_TRUE(Eventually([&] { return Info(name).heartCount > 100; }));
        EXPECT_EQ(UnregisterCheckHeartBeat(name.c_str(), name.size()), 0) << name;
        flooding = false;
        flood.join();
    }
}

// A neighbour, itself the registered client "gate", floods its own pipe with
// messages of every awkward size and with records in the name of "silent",
// whose process died. "good" is heard throughout, "silent" is reported, each
// message that reaches the checker is logged or counted in a later line, and
// the flood leaves no descriptor, thread or memory behind.
TEST_F(CheckerHostileTest, AFloodOnOnePipeIsLoggedBoundedlyCostsNothingLastingAndStarvesNoClient) {
    for (const char* name : {"good", "silent", "gate"}) Watch(name);
    Sender good(SocketOf("good")), silent(SocketOf("silent"));
    good.Beat(good.pid, 2, 0, "good");
    silent.Beat(silent.pid, 2, 0, "silent");
    ASSERT_TRUE(Eventually([] { return Info("good").heartCount + Info("silent").heartCount == 2; }));
    silent.Kill();  // its name is free for a new process, but not on another client's pipe
    const Usage before = Use();
    auto flood = std::make_unique<Sender>(SocketOf("gate"));
    flood->Beat(flood->pid, 0, 0, "gate");  // never times out; its pipe, no longer waiting, is not reopened
    const auto forge = [&] { flood->Beat(flood->pid, 2, 0, "silent"); };
    std::atomic<bool> flooding{true};
    size_t rounds = 0;  // each: five messages that reach the checker; 65537 and 70000 bytes do not
    std::thread neighbour([&] {
        for (; flooding; ++rounds, forge()) {
            for (size_t size : {1, 231, 233, 65536, 65537, 70000}) flood->Garbage(size);
        }
    });
    size_t peakKb = before.rssKb;
    bool heard = true;
    for (uint32_t beats = 2; heard && beats < 12; ++beats) {
        good.Beat(good.pid, 2, 0, "good");
        heard = Eventually([&] { return Info("good").heartCount == beats; });
        RunCheckCycle();
        peakKb = std::max(peakKb, Use().rssKb);
    }
    flooding = false;
    neighbour.join();
    ASSERT_TRUE(heard) << "a beat of good's was not counted in time";
    EXPECT_EQ(Taken(), (Reports{{"silent", silent.pid, 1}}));

    // Lines left out are told with the next line written after a pause: one
    // more message of each kind, each followed by a beat of gate's that tells
    // when it was handled, until that line comes.
    const std::string said = " more lines like the previous one were suppressed.\n";
    size_t delivered = 5 * rounds;
    uint32_t gateBeats = 1;
    for (const bool forged : {false, true}) {
        const size_t told = log_capture::CountContaining(said);
        EXPECT_TRUE(Eventually([&] {
            forged ? forge() : flood->Garbage(1);
            flood->Beat(flood->pid, 0, 0, "gate");
            ++delivered, ++gateBeats;
            return Eventually([&] { return Info("gate").heartCount == gateBeats; }) &&
                   log_capture::CountContaining(said) > told;
        }));
    }
    size_t written = log_capture::CountContaining("Heart failed: size=") + log_capture::CountContaining("Pipe to silent");
    for (const auto& line : log_capture::Lines()) {
        if (line.text.find(said) != std::string::npos) written += std::stoul(log_capture::MessageOf(line.text));
    }
    EXPECT_EQ(written, delivered);
    EXPECT_LT(log_capture::Lines().size(), 100u);

    flood->Garbage(0);  // reads as the end of the connection
    flood.reset();
    EXPECT_TRUE(Eventually([&] { return Use().fds == before.fds; }));
    EXPECT_EQ(Use().threads, before.threads);
    EXPECT_LT(std::max(peakKb, Use().rssKb) - before.rssKb, 16u * 1024);
}

}  // namespace
