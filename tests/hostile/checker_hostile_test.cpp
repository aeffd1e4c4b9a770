// Hostile neighbours of the checking side. The test process is the server
// (over our IPC library, without its check thread: the test runs the cycles);
// clients and forgers are processes of their own that reach a client's pipe
// as any neighbour with access to the pipe directory could.
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
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "checker/checker_test_util.h"
#include "checker/checkheart_internal.h"
#include "env_manager.h"
#include "support/log_capture.h"

extern "C" LUMO_PEER_WEAK int LumoGetRequestPeer(const LumoRequest*, LumoPeerCred*);

namespace {

using namespace std::chrono_literals;
using checkheart::RunCheckCycle;
using checkheart::State;
using namespace checker_test;

template <typename Done>
bool Eventually(Done done, std::chrono::milliseconds limit = 10s) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A neighbour process that connects to a pipe's socket file and hands the
// connection to the test, which sends through it whatever the neighbour is
// to send: the kernel names the connecting process as the sender. It can
// leave a child of its own (a workload) sleeping.
class Sender {
public:
    explicit Sender(const std::string& socketPath, bool withChild = false) {
        int link[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, link), 0);
        pid_ = fork();
        if (pid_ == 0) {
            // A bare clone: this process's inherited library state is not
            // its own to run fork handlers on, and the child only sleeps.
            pid_t child = withChild ? static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)) : -1;
            if (child == 0) pause();
            int sock = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            socketPath.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
            if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
                Pass(link[1], &child, &sock, sendmsg) != 0)
                _exit(1);  // the test sees the link close
            pause();
            _exit(0);
        }
        close(link[1]);
        EXPECT_EQ(Pass(link[0], &child_, &sock_, recvmsg), 0) << "no connection to " << socketPath;
        close(link[0]);
    }
    ~Sender() {
        close(sock_);
        for (pid_t pid : {child_, pid_}) {
            if (pid > 0) kill(pid, SIGKILL);
        }
        waitpid(pid_, nullptr, 0);
    }
    pid_t Pid() const { return pid_; }
    pid_t Child() const { return child_; }
    void Kill() { kill(pid_, SIGKILL); }  // left a zombie until destruction
    void Beat(int32_t pid, uint32_t timeoutTimes, uint8_t dog = 0) {
        const HeartBeatMessage m = checker_test::Beat("x", order_++, pid, timeoutTimes, dog);
        EXPECT_EQ(send(sock_, &m, sizeof(m), 0), static_cast<ssize_t>(sizeof(m)));
    }
    void Garbage(size_t size, uint32_t count) {
        const std::vector<char> bytes(size, 'g');
        for (uint32_t i = 0; i < count; ++i) send(sock_, bytes.data(), size, 0);
    }

private:
    // Sends or receives a pid with a descriptor; 0 when both came through.
    template <typename Call>
    static int Pass(int link, pid_t* pid, int* fd, Call call) {
        alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
        iovec data{pid, sizeof(*pid)};
        msghdr message{nullptr, 0, &data, 1, space, sizeof(space), 0};
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        *rights = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
        memcpy(CMSG_DATA(rights), fd, sizeof(int));
        if (call(link, &message, 0) != static_cast<ssize_t>(sizeof(*pid))) return -1;
        memcpy(fd, CMSG_DATA(rights), sizeof(int));
        return 0;
    }

    pid_t pid_ = -1;
    pid_t child_ = -1;
    int sock_ = -1;
    uint32_t order_ = 0;
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
    auto client = std::make_unique<Sender>(SocketOf("x"));
    Sender forger(SocketOf("x"));
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
    Sender wrapper(SocketOf("x"), true);
    const pid_t workload = wrapper.Child();
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
    Sender flood(SocketOf("x"));
    flood.Garbage(100, 20000);
    flood.Beat(flood.Pid(), 2);  // on the same connection, so it arrives last
    ASSERT_TRUE(Eventually([] { return Info("x").heartCount == 1; }, 30s));
    std::this_thread::sleep_for(1100ms);
    flood.Garbage(100, 1);
    const std::string said = " more lines like the previous one were suppressed.\n";
    ASSERT_TRUE(Eventually([&] { return log_capture::CountContaining(said) == 1; }));

    size_t suppressed = 0;
    for (const auto& line : log_capture::Lines()) {
        const std::string message = log_capture::MessageOf(line.text);
        if (message.find(said) != std::string::npos) suppressed += std::stoul(message);
    }
    const size_t written = log_capture::CountMessage(
        "Heart failed: size=100 bytes, valid=232 bytes, fd=" + std::to_string(Info("x").fd) + ".\n");
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
    Sender client(SocketOf("x"));
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
    EXPECT_TRUE(Eventually([] { return Info("x").heartCount == 2; }));  // the pipe still serves
    EXPECT_TRUE(std::filesystem::exists(SocketOf("x")));
}

}  // namespace
