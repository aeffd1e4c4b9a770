// The tools' pieces without starting a tool: what they take from a good
// command line and config file (bad ones: tools_test.cpp), the monitor's event
// lines and hook environments, and its sockets, metrics file and /proc lookups
// against what another process may have put in their way.
#include "tools/cli_args.h"
#include "tools/monitor_control.h"
#include "tools/monitor_events.h"
#include "tools/monitor_state.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/hbmonctl-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A bound socket of `type` at `path` ("@name": the abstract namespace).
int Bind(const std::string& path, int type, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path.data(), path.size());
    address->sun_path[0] = path[0] == '@' ? '\0' : path[0];
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(address), length), 0) << path;
    return fd;
}

// The file gives every option; the command line overrides what it repeats.
TEST(CliArgsTest, MonitorTakesItsCommandLineAndConfigFile) {
    const std::string file = "/tmp/hbcli" + std::to_string(getpid()) + ".toml";
    std::ofstream(file) << "name = \"PM\"\njson = true\non-lost = \"logger lost\"\n"
                           "on-recovered = \"logger back\"\nstartup-grace = 5\nhook-timeout = 2\n"
                           "metrics-file = \"/run/hb.prom\"\nclients = [\"alpha\", \"beta:1002\"]\n";
    const std::string longest(99, 'n');
    const struct {
        std::vector<const char*> args;
        std::string expected;
    } cases[] = {
        // After "--" everything is a client; the last colon starts the group.
        {{"m", "--name", longest.c_str(), "a:4294967295", "--json", "--on-lost=echo x", "--on-recovered", "echo y",
          "--", "-odd", "b:c:7", "--json"},
         longest + "|1|echo x|echo y|30|10||a:4294967295 -odd:0 b:c:7 --json:0 "},
        {{"m", "--config", file.c_str()}, "PM|1|logger lost|logger back|5|2|/run/hb.prom|alpha:0 beta:1002 "},
        {{"m", "--startup-grace=0", "--config", file.c_str(), "--name", "Q", "gamma:7"},
         "Q|1|logger lost|logger back|0|2|/run/hb.prom|gamma:7 "},
        {{"m", "status", "--name", "PM", "--json"}, "status PM|1|||30|10||"},
    };
    for (const auto& c : cases) {
        hbtools::MonitorOptions o;
        EXPECT_EQ(hbtools::ParseMonitorArgs(static_cast<int>(c.args.size()), c.args.data(), &o).status,
                  hbtools::ParseStatus::kRun);
        std::string got = (o.status ? "status " : "") + o.name + "|" + std::to_string(o.json) + "|" + o.onLost + "|" +
                          o.onRecovered + "|" + std::to_string(o.startupGraceS) + "|" +
                          std::to_string(o.hookTimeoutS) + "|" + o.metricsFile + "|";
        for (const hbtools::ClientSpec& client : o.clients) {
            got += client.name + ":" + std::to_string(client.gid) + " ";
        }
        EXPECT_EQ(got, c.expected);
    }
    unlink(file.c_str());
}

TEST(MonitorEventsTest, PrintsPlainAndEscapedJsonLinesAndHookEnvironments) {
    hbtools::MonitorEvent event{hbtools::EventKind::kLost, "camera", 812, {1709294405, 42999999},
                                hbtools::Cause::kStopped};
    EXPECT_EQ(hbtools::FormatEvent(event, false), "2024-03-01T12:00:05.042Z lost camera pid=812 cause=stopped");
    EXPECT_EQ(hbtools::FormatEvent(event, true), "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"lost\","
                                                 "\"client\":\"camera\",\"pid\":812,\"cause\":\"stopped\"}");
    event.kind = hbtools::EventKind::kRecovered;
    event.cause = hbtools::Cause::kNone;
    event.client = std::string("a\"b\\c\nd\te\x01") + '\x7f' + " \xc3\xa9";
    EXPECT_EQ(hbtools::FormatEvent(event, true),
              "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"recovered\","
              "\"client\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f \xc3\xa9\",\"pid\":812}");
    // One word, one line, and the escapes themselves cannot be forged.
    EXPECT_EQ(hbtools::FormatEvent(event, false),
              "2024-03-01T12:00:05.042Z recovered a\"b\\\\c\\x0ad\\x09e\\x01\\x7f\\x20\xc3\xa9 pid=812");
    // What the monitor inherited never stands in for what it reports.
    const char* base[] = {"PATH=/bin", "HEARTBEAT_CLIENT=stale", "HEARTBEAT_CAUSE=stale", nullptr};
    event.client = "radio";
    EXPECT_EQ(hbtools::HookEnvironment(event, base),
              (std::vector<std::string>{"PATH=/bin", "HEARTBEAT_EVENT=recovered", "HEARTBEAT_CLIENT=radio",
                                        "HEARTBEAT_PID=812"}));
}

TEST(MonitorControlTest, NotifiesPathAndAbstractSocketsAndHidesThemFromHooks) {
    TempDir dir;
    for (const std::string& target : {"@hbmonctl-" + std::to_string(getpid()), dir.path + "/notify"}) {
        sockaddr_un address;
        const int fd = Bind(target, SOCK_DGRAM, &address);
        setenv("NOTIFY_SOCKET", target.c_str(), 1);
        hbtools::InitNotify();
        EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
        EXPECT_EQ(hbtools::Notify("READY=1"), 0) << target;
        char buffer[32] = {};
        EXPECT_EQ(recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT), 7) << target;
        EXPECT_STREQ(buffer, "READY=1");
        close(fd);
    }
}

// Links planted at the file or its temporary name are replaced, never followed.
TEST(MonitorControlTest, MetricsFileReplacesPlantedLinksWithoutTouchingTheirTargets) {
    TempDir dir;
    const std::string victim = dir.path + "/victim";
    const std::string path = dir.path + "/hb.prom";
    for (const auto& plant : std::vector<std::function<int()>>{
             [&] { return symlink(victim.c_str(), (path + ".tmp").c_str()); },
             [&] { return link(victim.c_str(), (path + ".tmp").c_str()); },
             [&] { return symlink(victim.c_str(), path.c_str()); }}) {
        fs::remove(path);
        fs::remove(path + ".tmp");
        std::ofstream(victim) << "keep";
        ASSERT_EQ(plant(), 0);
        EXPECT_EQ(hbtools::WriteFileAtomically(path, "new\n"), 0);
        EXPECT_EQ(Read(victim) + Read(path), "keepnew\n");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".tmp")));
    }
}

TEST(MonitorControlTest, ControlSocketSurvivesJunkAndKeepsToItsOwnFile) {
    TempDir dir;
    const std::string path = dir.path + "/PM.monitor";
    std::ofstream(path) << "not a socket";
    hbtools::ControlServer server;
    const auto echo = [](const std::string& request) { return request + "!"; };
    EXPECT_EQ(server.Start(path, echo), -EEXIST);
    EXPECT_EQ(Read(path), "not a socket");
    fs::remove(path);

    // A stale socket file (its monitor was killed) is replaced; a live one is not.
    sockaddr_un address;
    close(Bind(path, SOCK_STREAM, &address));
    ASSERT_EQ(server.Start(path, echo), 0);
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0u, 0660u);
    hbtools::ControlServer second;
    EXPECT_EQ(second.Start(path, echo), -EADDRINUSE);

    // An over-long request without its newline, then a good one.
    const int junk = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(junk, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string flood(4096, 'x');
    EXPECT_EQ(send(junk, flood.data(), flood.size(), MSG_NOSIGNAL), static_cast<ssize_t>(flood.size()));
    std::string answer;
    EXPECT_EQ(hbtools::QueryControl(path, "json", &answer, 2000), 0);
    EXPECT_EQ(answer, "json!");
    char byte;
    EXPECT_LE(recv(junk, &byte, 1, 0), 0) << "the junk connection got an answer";
    close(junk);
}

// A pid given to a new process since the client's last heartbeat is not the
// client: the client has exited, whatever the new process is doing.
TEST(MonitorControlTest, CauseLookupSeesThroughAReusedPid) {
    using hbtools::ProcState;
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 0), ProcState::kRunning);
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 3600 * 1000), ProcState::kGone);
}

}  // namespace
