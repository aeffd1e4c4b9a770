// Starts the built tools the way a user does and checks what comes out.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    unlink(path.c_str());
    return text.str();
}

// "<exit code>|<stdout>|<stderr>" of the tool, run through the cross build's
// emulator if there is one, for at most 30 s.
std::string RunTool(const std::string& tool, const Args& args) {
    std::string command = std::string("timeout 30 ") + HB_TOOL_EMULATOR + " " + tool;
    std::replace(command.begin(), command.end(), '|', ' ');
    for (const std::string& arg : args) {
        command += " '" + arg + "'";
    }
    const std::string out = "/tmp/hbtool" + std::to_string(getpid());
    const int status = std::system((command + " >" + out + ".out 2>" + out + ".err").c_str());
    const std::string code = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return code + "|" + Read(out + ".out") + "|" + Read(out + ".err");
}

TEST(ToolsTest, HelpAndVersionExitZero) {
    for (const std::string tool : {HB_MONITOR_PATH, HB_SEND_PATH}) {
        const std::string name = tool.substr(tool.rfind('/') + 1);
        const std::string help = RunTool(tool, {"--bogus", "--help"});  // help wins
        // Ends with '|': nothing on stderr.
        EXPECT_TRUE(help.rfind("0|Usage: " + name + " ", 0) == 0 && help.back() == '|');
        const std::string version = name + " (libheartbeat) " + HEARTBEAT_VERSION + "\n";
        EXPECT_EQ(RunTool(tool, {"-V"}), "0|" + version + "|");
    }
}

TEST(ToolsTest, EachBadArgumentPrintsOneLineAndExitsTwo) {
    const std::vector<std::pair<Args, std::string>> monitor = {
        {{"--frobnicate", "a"}, "unknown option '--frobnicate'"},
        {{std::string(100, 'x')},
         "client name 'xxxxxxxxxxxxxxxx...' is too long (100 characters, at most 99)"},
        {{"a:x"}, "group id of client 'a:x' must be a number from 0 to 4294967295"},
        {{"--json"}, "no client to watch (give NAME[:GID] arguments or clients in --config)"},
        {{"--startup-grace", "-1", "a"}, "--startup-grace needs a number of seconds from 0 to 4294967295, not '-1'"},
        {{"--hook-timeout=0", "a"}, "--hook-timeout needs a number of seconds from 1 to 4294967295, not '0'"},
        {{"--config", "/nonexistent", "a"}, "cannot read the config file (/nonexistent was not readable (missing?))"},
        {{"status", "--bogus"}, "unknown option '--bogus'"}};
    for (const auto& [args, line] : monitor) {
        EXPECT_EQ(RunTool(HB_MONITOR_PATH, args), "2||heartbeat-monitor: " + line + "\n");
    }
    const std::vector<std::pair<Args, std::string>> send = {
        {{"--name", "--server", "S"}, "option '--name' needs a value"},  // not a name
        {{"--name", "a", "--server", "S", "--timeout-times=-3"},
         "--timeout-times needs a number from 0 to 4294967295, not '-3'"},
        {{"--name", "a", "--server", "S", "x"},
         "unexpected argument 'x' (a command goes after '--')"},
        {{"--name", "a", "--server", "S", "--"}, "no command after '--'"},
        {{"--server", "S"}, "missing option --name"}};
    for (const auto& [args, line] : send) {
        EXPECT_EQ(RunTool(HB_SEND_PATH, args), "2||heartbeat-send: " + line + "\n");
    }
}

// No server listens under this name: the registration fails after the open's
// time-out, a runtime failure.
TEST(ToolsTest, SendWithoutItsServerExitsOne) {
    const std::string server = "no_such_server_" + std::to_string(getpid());
    const std::string outcome = RunTool(HB_SEND_PATH, {"--name", "lonely", "--server", server});
    EXPECT_EQ(outcome.rfind("1||heartbeat-send: cannot send heartbeats as lonely to " + server, 0),
              0U);
}

}  // namespace
