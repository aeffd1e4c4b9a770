// Hostile neighbours of the checking side. The test process is the server
// (over our IPC library, without its check thread: the test runs the cycles);
// clients and forgers are processes of their own that reach a client's pipe
// as any neighbour with access to the pipe directory could.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "checker/checkheart_internal.h"
#include "env_manager.h"
#include "support/log_capture.h"

extern "C" LUMO_PEER_WEAK int LumoGetRequestPeer(const LumoRequest*, LumoPeerCred*);

namespace {

using namespace std::chrono_literals;
using checkheart::RunCheckCycle;
using checkheart::State;
using Reports = std::vector<std::tuple<std::string, int32_t, uint32_t>>;  // name, pid, isLost

Reports reports;  // written under stateMutex, like every report
void Record(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    reports.emplace_back(std::string(name, length), pid, isLost);
}
Reports Taken() {
    hb::MutexLock lock(&State().stateMutex);
    return std::move(reports);
}
ClientMgrInfo Info(const std::string& name) {
    hb::MutexLock lock(&State().stateMutex);
    return State().stateMap.at(name);
}
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A process that connects to a pipe's socket file and sends what it is told:
// records for `name` claiming any pid, time-out and watchdog flag, or
// messages of any size. It can also start a child of its own that sleeps.
class Sender {
public:
    Sender(const std::string& socketPath, const std::string& name) {
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            Serve(socketPath, name, in[0], out[1]);
            _exit(0);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Sender() {
        for (pid_t pid : {child_, pid_}) {
            if (pid > 0) kill(pid, SIGKILL);
        }
        waitpid(pid_, nullptr, 0);
        close(to_);
        close(from_);
    }
    pid_t Pid() const { return pid_; }
    void Kill() { kill(pid_, SIGKILL); }  // left a zombie until destruction
    int Beat(int32_t pid, uint32_t timeoutTimes, uint8_t dog = 0) {
        return Do({kRecord, pid, timeoutTimes, dog, 1, 0});
    }
    int Garbage(uint32_t size, uint32_t count) { return Do({kGarbage, 0, 0, 0, count, size}); }
    pid_t StartChild() { return child_ = Do({kChild, 0, 0, 0, 0, 0}); }

private:
    enum Kind : int { kRecord, kGarbage, kChild };
    struct Command {
        int kind;
        int32_t pid;
        uint32_t timeoutTimes;
        uint8_t dog;
        uint32_t count, size;
    };
    int Do(const Command& command) {
        int answer = -1;
        EXPECT_EQ(write(to_, &command, sizeof(command)), static_cast<ssize_t>(sizeof(command)));
        EXPECT_EQ(read(from_, &answer, sizeof(answer)), static_cast<ssize_t>(sizeof(answer)));
        return answer;
    }
    static void Serve(const std::string& path, const std::string& name, int in, int out) {
        const int sock = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) _exit(1);
        uint32_t order = 0;
        for (Command c{}; read(in, &c, sizeof(c)) == static_cast<ssize_t>(sizeof(c));) {
            int answer = 0;
            if (c.kind == kChild) {
                // A bare clone: this process's inherited library state is not
                // its own to run fork handlers on, and the child only sleeps.
                answer = static_cast<int>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
                if (answer == 0) {
                    pause();
                    _exit(0);
                }
            } else if (c.kind == kRecord) {
                HeartBeatMessage m{VeKov::GetCurrentTime(), order++, {}, {}, c.pid, c.timeoutTimes,
                                   c.dog};
                name.copy(m.clientName, sizeof(m.clientName) - 1);
                answer = static_cast<int>(send(sock, &m, sizeof(m), 0));
            } else {
                const std::vector<char> bytes(c.size, 'g');
                for (uint32_t i = 0; i < c.count; ++i) send(sock, bytes.data(), bytes.size(), 0);
            }
            if (write(out, &answer, sizeof(answer)) != static_cast<ssize_t>(sizeof(answer))) break;
        }
    }

    pid_t pid_ = -1;
    pid_t child_ = -1;
    int to_ = -1, from_ = -1;
};

// A private pipe directory and the server "pm"; clients are watched as
// registration does it, but no check thread runs.
class CheckerHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hb-hostile-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv("LUMO_PIPE_DIR", dir_.c_str(), 1);
        EnvManager::SetProcName("pm");
        State().SendFaultCb = Record;
        State().checkProcName = "pm";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Watch(const std::string& name) {
        hb::MutexLock lock(&State().stateMutex);
        ClientMgrInfo info;
        ASSERT_EQ(checkheart::InitReceiveHeartBeat(name, info), 0);
        State().stateMap.emplace(name, info);
    }
    std::string SocketOf(const std::string& name) const { return dir_ + "/pm_heartbeat@" + name; }

    std::string dir_;
};

TEST_F(CheckerHostileTest, ForgersNeitherKeepAliveNorDisarmNorAccuseAClient) {
    if (LumoGetRequestPeer == nullptr) {
        GTEST_SKIP() << "this IPC library does not say who sent a message";
    }
    Watch("x");
    auto client = std::make_unique<Sender>(SocketOf("x"), "x");
    Sender forger(SocketOf("x"), "x");
    auto drops = [](size_t n) {
        return Eventually([n] { return log_capture::CountContaining("Heart failed: x ") == n; });
    };
    client->Beat(client->Pid(), 2);
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 1; }));

    // While the client runs: a forger's own record switching the time-out
    // off, and a failed watchdog in the name of a pid the forger chose.
    forger.Beat(forger.Pid(), 0);
    forger.Beat(1, 2, 1);
    ASSERT_TRUE(drops(2));
    RunCheckCycle();
    EXPECT_EQ(std::make_tuple(Taken(), Info("x").pid, Info("x").timeoutTimes, Info("x").heartCount),
              std::make_tuple(Reports{}, client->Pid(), 2u, 1u));

    // The client is killed (a zombie for now); records in its name and pid
    // from the forger keep nobody alive.
    const pid_t killed = client->Pid();
    client->Kill();
    forger.Beat(killed, 2);
    ASSERT_TRUE(drops(3));
    RunCheckCycle();
    RunCheckCycle();
    EXPECT_EQ(Taken(), (Reports{{"x", killed, 1}}));

    // Its restart is a wrapper that sends for the workload it started: taken
    // over at once, with the wrapper's time-out; the forger stays shut out.
    client.reset();
    Sender wrapper(SocketOf("x"), "x");
    const pid_t workload = wrapper.StartChild();
    wrapper.Beat(workload, 5);
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 2; }));
    forger.Beat(forger.Pid(), 5);
    ASSERT_TRUE(drops(4));
    RunCheckCycle();
    EXPECT_EQ(std::make_tuple(Taken(), Info("x").timeoutTimes, Info("x").heartCount),
              std::make_tuple(Reports{{"x", workload, 0}}, 5u, 2u));
}

TEST_F(CheckerHostileTest, AFloodOfMalformedMessagesWritesAFewDozenLines) {
    Watch("x");
    Sender flood(SocketOf("x"), "x");
    flood.Garbage(100, 20000);
    flood.Beat(flood.Pid(), 2);  // on the same connection, so it arrives last
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 1; }, 30s));
    std::this_thread::sleep_for(1100ms);
    flood.Garbage(100, 1);
    const std::string said = " more lines like the previous one were suppressed.\n";
    ASSERT_TRUE(Eventually([&] { return log_capture::CountContaining(said) == 1; }));

    size_t written = 0, suppressed = 0;
    for (const auto& line : log_capture::Lines()) {
        const std::string message = log_capture::MessageOf(line.text);
        written += message == "Heart failed: size=100 bytes, valid=232 bytes, fd=" +
                                  std::to_string(Info("x").fd) + ".\n";
        if (message.size() > said.size() && message.compare(message.size() - said.size(),
                                                            said.size(), said) == 0) {
            suppressed += std::stoul(message);
        }
    }
    EXPECT_EQ(written + suppressed, 20001u);
    EXPECT_LT(written, 40u);
}

TEST_F(CheckerHostileTest, AnUnterminatedNameAtTheEndOfReadableMemoryIsReadNoFurther) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* pages = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    char* name = pages + page - 100;
    memset(name, 'n', 100);
    EXPECT_EQ(RegisterCheckHeartBeat(name, 100, 0, Record), 0);
    EXPECT_EQ(ReportHeartBeatLost(name, 100), 0);
    EXPECT_EQ(UnregisterCheckHeartBeat(name, 100), 0);
    EXPECT_EQ(Taken(), (Reports{{std::string(100, 'n'), 0, 1}}));
    munmap(pages, 2 * page);
}

TEST_F(CheckerHostileTest, AForkedChildThatUnregistersLeavesTheParentsClientAlone) {
    Watch("x");
    Sender client(SocketOf("x"), "x");
    client.Beat(client.Pid(), 2);
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 1; }));
    const pid_t child = fork();
    if (child == 0) {
        _exit(-UnregisterCheckHeartBeat("x", 1));  // the child watches nothing
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), EINVAL);
    client.Beat(client.Pid(), 2);
    EXPECT_TRUE(Eventually([] { return Info("x").heartCount == 2; }, 2s));
    RunCheckCycle();
    RunCheckCycle();
    EXPECT_EQ(std::make_tuple(Taken(), std::filesystem::exists(SocketOf("x"))),
              std::make_tuple(Reports{}, true));
}

}  // namespace
