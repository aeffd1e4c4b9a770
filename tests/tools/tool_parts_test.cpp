// Both tools' pieces without starting a tool: their command lines and config
// file, the monitor's event lines, hook environments, sockets, metrics file and
// causes, heartbeat-send's notifications, /proc reading and verdicts, each
// against what another process may have put in their way. With the tools
// built, the tools themselves as a user starts them.
#include "tools/cli_args.h"
#include "tools/monitor_control.h"
#include "tools/monitor_events.h"
#include "tools/monitor_hooks.h"
#include "tools/monitor_state.h"
#include "tools/send_health.h"
#include "tools/send_notify.h"
#include "tools/send_options.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/hbtools-XXXXXX";
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

// The file gives every option; zero seconds of grace is a grace that ends at once.
TEST(CliArgsTest, MonitorTakesItsCommandLineAndConfigFile) {
    TempDir dir;
    const std::string file = dir.path + "/hb.toml";
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
          "--startup-grace=0", "--", "-odd", "b:c:7", "--json"},
         longest + "|1|echo x|echo y|0|10||a:4294967295 -odd:0 b:c:7 --json:0 "},
        {{"m", "--config", file.c_str()}, "PM|1|logger lost|logger back|5|2|/run/hb.prom|alpha:0 beta:1002 "},
        {{"m", "status", "--name", "PM", "--json"}, "status PM|1|||30|10||"},
    };
    for (const auto& c : cases) {
        hbtools::MonitorOptions o;
        EXPECT_EQ(hbtools::ParseMonitorArgs(static_cast<int>(c.args.size()), c.args.data(), &o).status,
                  hbtools::ParseStatus::kRun);
        std::ostringstream got;
        got << (o.status ? "status " : "") << o.name << "|" << o.json << "|" << o.onLost << "|" << o.onRecovered
            << "|" << o.startupGraceS << "|" << o.hookTimeoutS << "|" << o.metricsFile << "|";
        for (const hbtools::ClientSpec& client : o.clients) {
            got << client.name << ":" << client.gid << " ";
        }
        EXPECT_EQ(got.str(), c.expected);
    }
}

// Seconds with a fraction; by default the watchdog time-out is the client's:
// timeoutTimes cycles of 3 s.
TEST(CliArgsTest, SendTakesThePingTimeoutInSeconds) {
    const char* args[] = {"heartbeat-send", "--name", "a", "--server", "S", "--notify", "--ping-timeout", "1.25",
                          "--", "prog"};
    hbsend::SendOptions options;
    ASSERT_EQ(hbsend::ParseSendCommandLine(10, args, &options).mode, hbsend::Mode::kSend);
    EXPECT_EQ(options.pingTimeoutMs, 1250U);
    EXPECT_EQ(hbsend::PingTimeoutMs(hbsend::SendOptions{}), 30000U);
}

// Each bad argument gets its own line, which the tool prints before exiting 2.
TEST(CliArgsTest, EachBadArgumentGetsItsOwnLine) {
    const std::string longName(100, 'x');
    const char* const mon = "heartbeat-monitor";
    const char* const snd = "heartbeat-send";
    const std::vector<std::pair<std::vector<const char*>, std::vector<std::string>>> cases = {
        {{mon, "--frobnicate", "a"}, {"unknown option '--frobnicate'"}},
        {{mon, longName.c_str()}, {"client name 'xxxxxxxxxxxxxxxx...' is too long (100 characters, at most 99)"}},
        {{mon, "a:x"}, {"group id of client 'a:x' must be a number from 0 to 4294967295"}},
        {{mon, "--json"}, {"no client to watch (give NAME[:GID] arguments or clients in --config)"}},
        {{mon, "--startup-grace", "-1", "a"},
         {"--startup-grace needs a number of seconds from 0 to 4294967295, not '-1'"}},
        {{mon, "--hook-timeout=0", "a"}, {"--hook-timeout needs a number of seconds from 1 to 4294967295, not '0'"}},
        {{mon, "--config", "/nonexistent", "a"},
         {"cannot read the config file (/nonexistent was not readable (missing?))"}},
        {{snd, "--name", "--server", "S"}, {"option '--name' needs a value"}},  // not a name
        {{snd, "--name", "a", "--server", "S", "--timeout-times=-3"},
         {"--timeout-times needs a number from 0 to 4294967295, not '-3'"}},
        {{snd, "--name", "a", "--server", "S", "x"}, {"unexpected argument 'x' (a command goes after '--')"}},
        {{snd, "--name", "a", "--server", "S", "--"}, {"no command after '--'"}},
        {{snd, "--server", "S"}, {"missing option --name"}},
        {{snd, "--name", "a", "--server", "S", "--ping-timeout", "2", "--", "p"}, {"--ping-timeout needs --notify"}},
        {{snd, "--name", "a", "--server", "S", "--notify", "--ping-timeout", "1e3", "--", "p"},
         {"--ping-timeout needs seconds from 0.001 to 86400, not '1e3'"}},
        {{snd, "--name", "a", "--server", "S", "--notify", "--ping-timeout", "0.0001", "--", "p"},
         {"--ping-timeout needs seconds from 0.001 to 86400, not '0.0001'"}},
        {{snd, "--name", "a", "--server", "S", "--check", "true"}, {"--check needs a command to watch (after '--')"}},
        {{snd, "--bogus", "--name", "a", "--server", longName.c_str(), "--", "p"},
         {"unknown option '--bogus'",
          "server name for --server 'xxxxxxxxxxxxxxxx...' is too long (100 characters, at most 99)"}},
        {{snd, "notify", "READY", "A=1\nREADY=1"},
         {"notify message 'READY' is not VARIABLE=VALUE", "notify message 'A=1\nREADY=1' is not VARIABLE=VALUE"}},
    };
    for (const auto& [args, lines] : cases) {
        std::vector<std::string> expected;
        for (const std::string& line : lines) {
            expected.push_back(std::string(args[0]) + ": " + line);
        }
        const int argc = static_cast<int>(args.size());
        if (std::string(args[0]) == "heartbeat-monitor") {
            hbtools::MonitorOptions options;
            const hbtools::ParseResult result = hbtools::ParseMonitorArgs(argc, args.data(), &options);
            EXPECT_EQ(result.status, hbtools::ParseStatus::kUsage) << lines[0];
            EXPECT_EQ(result.errors, expected);
        } else {
            hbsend::SendOptions options;
            const hbsend::ParseResult result = hbsend::ParseSendCommandLine(argc, args.data(), &options);
            EXPECT_EQ(result.mode, hbsend::Mode::kUsage) << lines[0];
            EXPECT_EQ(result.errors, expected);
        }
    }
}

#ifdef HB_MONITOR_PATH
// "<exit code>|<stdout>|<stderr>" of `tool args`, run through the cross
// build's emulator if there is one, for at most 30 s.
std::string RunTool(const std::string& tool, const std::string& args) {
    TempDir dir;
    std::string command = std::string("timeout 30 ") + HB_TOOL_EMULATOR + " " + tool;
    std::replace(command.begin(), command.end(), '|', ' ');
    const int status = std::system((command + " " + args + " >" + dir.path + "/out 2>" + dir.path + "/err").c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" + Read(dir.path + "/out") + "|" +
           Read(dir.path + "/err");
}

TEST(ToolsTest, HelpVersionAndExitCodes) {
    for (const std::string tool : {HB_MONITOR_PATH, HB_SEND_PATH}) {
        const std::string name = tool.substr(tool.rfind('/') + 1);
        const std::string help = RunTool(tool, "--bogus --help");  // help wins
        EXPECT_TRUE(help.rfind("0|Usage: " + name + " ", 0) == 0 && help.back() == '|') << help;  // no stderr
        EXPECT_EQ(RunTool(tool, "-V"), "0|" + name + " (libheartbeat) " + HEARTBEAT_VERSION + "\n|");
        EXPECT_EQ(RunTool(tool, "--bogus").substr(0, 3), "2||");
    }
    // No server listens under this name: the registration fails after the
    // open's time-out, a runtime failure.
    const std::string server = "no_such_server_" + std::to_string(getpid());
    EXPECT_EQ(RunTool(HB_SEND_PATH, "--name lonely --server " + server)
                  .rfind("1||heartbeat-send: cannot send heartbeats as lonely to " + server, 0), 0U);
}
#endif

TEST(MonitorEventsTest, PrintsPlainAndEscapedJsonLinesAndHookEnvironments) {
    hbtools::MonitorEvent event{hbtools::EventKind::kLost, std::string("a\"b\\c\nd\te\x01") + '\x7f' + " \xc3\xa9", 812,
                                {1709294405, 42999999}, hbtools::Cause::kStopped};
    EXPECT_EQ(hbtools::FormatEvent(event, true),
              "{\"time\":\"2024-03-01T12:00:05.042Z\",\"event\":\"lost\","
              "\"client\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f \xc3\xa9\",\"pid\":812,\"cause\":\"stopped\"}");
    // One word, one line, and the escapes themselves cannot be forged.
    EXPECT_EQ(hbtools::FormatEvent(event, false),
              "2024-03-01T12:00:05.042Z lost a\"b\\\\c\\x0ad\\x09e\\x01\\x7f\\x20\xc3\xa9 pid=812 cause=stopped");
    // What the monitor inherited never stands in for what it reports: an
    // event without a cause drops an inherited one.
    const char* base[] = {"PATH=/bin", "HEARTBEAT_CLIENT=stale", "HEARTBEAT_CAUSE=stale", nullptr};
    event = {hbtools::EventKind::kRecovered, "radio", 812, {}, hbtools::Cause::kNone};
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
    for (const auto& [at, hard] : {std::pair{path + ".tmp", false}, {path + ".tmp", true}, {path, false}}) {
        fs::remove(path);
        fs::remove(path + ".tmp");
        std::ofstream(victim) << "keep";
        ASSERT_EQ((hard ? link : symlink)(victim.c_str(), at.c_str()), 0) << at;
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
    EXPECT_EQ(static_cast<int>(fs::status(path).permissions()), 0660);
    // The loser's clean-up leaves the live socket alone (the query below needs it).
    EXPECT_EQ(hbtools::ControlServer().Start(path, echo), -EADDRINUSE);

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

// The cause of a silent client (flagged or not) comes from /proc, asked with
// the pid and the age of its last heartbeat: a pid given to a new process
// since then is not the client, which has exited, whatever the new one does.
TEST(MonitorStateTest, EachLossGetsItsCauseFromTheClientsPidAndHeartbeatAge) {
    HeartBeatClientStatus silent{"silent", 0, 41, HEARTBEAT_CLIENT_LOST, 3, 2, 2, 6000, 0, 1, 0};
    const auto lookup = [](int32_t pid, int64_t ageMs) {
        EXPECT_EQ(std::make_pair(pid, ageMs), std::make_pair(41, int64_t{6000}));
        return hbtools::ProcState::kStopped;
    };
    hbtools::MonitorState state;
    const std::vector<hbtools::MonitorEvent> events = state.Cycle(
        {silent}, 5, {{hbtools::EventKind::kLost, "silent", 41, {}, hbtools::Cause::kNone}}, 1000, 0, lookup);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].cause, hbtools::Cause::kStopped);  // so the lookup was asked
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 0), hbtools::ProcState::kRunning);
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 3600 * 1000), hbtools::ProcState::kGone);
}

// A client's events of one cycle run one hook, which is killed (its whole
// group) at its time limit.
TEST(MonitorHooksTest, OneHookPerClientPerCycleKilledAtItsLimit) {
    TempDir dir;
    hbtools::HookRunner hooks;
    hooks.Configure("echo $$ $HEARTBEAT_EVENT >>" + dir.path + "/ran; exec sleep 30", "", 1000);
    hooks.Add({hbtools::EventKind::kMissing, "a", 0, {}, hbtools::Cause::kNone}, 7);
    hooks.Add({hbtools::EventKind::kLost, "a", 0, {}, hbtools::Cause::kNone}, 7);
    EXPECT_EQ(hooks.Poll(0), 1000);
    EXPECT_EQ(hooks.Poll(999), 1);
    // Once it has run: killed, then reaped, and for half a second nothing else starts.
    for (int i = 0, after = 0; i < 500 && after < 50; ++i, usleep(10000)) {
        after += !Read(dir.path + "/ran").empty();
        hooks.Poll(after > 0 ? 2000 : 999);
    }
    std::istringstream ran(Read(dir.path + "/ran"));
    pid_t pid = 0;
    std::string kind, more;
    ran >> pid >> kind >> more;
    EXPECT_EQ(kind, "missing");
    EXPECT_EQ(more, "") << "a second hook in the same cycle";
    EXPECT_NE(kill(pid, 0), 0) << "the hook outlived its limit";
}

TEST(SendNotifyTest, OnlyWholeKnownLinesCountAndStatLinesSurviveHostileNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {  // ready, ping, trigger, stopping
        {"READY=1\nSTATUS=up\nWATCHDOG=1", "RP"}, {"WATCHDOG=trigger\n", "T"}, {"STOPPING=1", "S"},
        {"READY=10\nXWATCHDOG=1\nWATCHDOG=1 \n\n", ""}, {std::string("READY=1\0", 8), ""}, {"", ""}};
    for (const auto& [datagram, expected] : cases) {
        hbsend::NotifyEvents e;
        hbsend::ParseNotifyDatagram(datagram.data(), datagram.size(), &e);
        EXPECT_EQ(std::string(e.ready ? "R" : "") + (e.ping ? "P" : "") + (e.trigger ? "T" : "") +
                      (e.stopping ? "S" : ""), expected) << datagram;
    }
    // A process names itself: its stat line is read after the name's last ')'.
    hbsend::ProcStat stat;
    ASSERT_TRUE(hbsend::ParseProcStat("12 (a) T 99 (x) S 1 2", &stat));  // the name is "a) T 99 (x"
    EXPECT_EQ(stat.state, 'S');
    EXPECT_EQ(stat.ppid, 1);
    for (const char* bad : {"", "12 (x) R", ") (", "12 x R 1", "12 (x) R -4"}) {
        EXPECT_FALSE(hbsend::ParseProcStat(bad, &stat)) << bad;
    }
}

// The stopped state 'T' is the scenario script's; traced 't' is not.
TEST(SendHealthTest, VerdictFromStateAndNotifications) {
    using hbsend::Verdict;
    // exists, state, --notify, ready, stopping, last ping, ping time-out, now
    const std::pair<hbsend::HealthInputs, Verdict> cases[] = {
        {{true, 'S', false, false, false, 0, 0, 9000}, Verdict::kHealthy},  // without --notify the state is all
        {{true, 't', false, false, false, 0, 0, 0}, Verdict::kStopped},
        {{true, 'Z', false, false, false, 0, 0, 0}, Verdict::kGone},
        {{false, 'S', false, false, false, 0, 0, 0}, Verdict::kGone},
        {{true, 'S', true, true, false, 1000, 2000, 3000}, Verdict::kHealthy},  // a ping just the time-out ago
        {{true, 'S', true, true, false, 1000, 2000, 3001}, Verdict::kPingLate},
        {{true, 'S', true, false, false, 1000, 2000, 3000}, Verdict::kNotReady},
        {{true, 'S', true, true, true, 1000, 2000, 9000}, Verdict::kStopping},
    };
    for (const auto& [in, verdict] : cases) {
        EXPECT_EQ(hbsend::Evaluate(in), verdict) << in.state << " at " << in.nowMs;
    }
    EXPECT_FALSE(hbsend::IsFault(Verdict::kNotReady) || hbsend::IsFault(Verdict::kStopping));
}

// Only the command's tree is believed, and every descriptor that came along
// is closed either way (a sender's barrier is released, nothing leaks).
TEST(SendNotifyTest, BelievesOnlyTheTreeAndClosesCarriedDescriptors) {
    hbsend::NotifySocket notify;
    ASSERT_EQ(notify.Open(), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, notify.path().c_str(), sizeof(address.sun_path) - 1);
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    for (const pid_t root : {child, getpid()}) {  // this test is outside the child's tree, inside its own
        int barrier[2];
        ASSERT_EQ(pipe2(barrier, O_CLOEXEC), 0);
        EXPECT_EQ(hbsend::SendWithDescriptor(sender, address, sizeof(address), "READY=1", barrier[1]), 0);
        close(barrier[1]);
        const hbsend::NotifyEvents events = notify.Drain(root);
        EXPECT_EQ(events.ready, root != child);
        EXPECT_EQ(events.foreign, root == child ? 1U : 0U);
        pollfd pfd{barrier[0], 0, 0};
        EXPECT_EQ(poll(&pfd, 1, 0), 1);  // hung up: the received copy is closed
        close(barrier[0]);
    }
    close(sender);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
