// Starts the built tools the way a user does and checks what comes out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int exitCode = -1;  // -1: killed, or did not end in time
    std::string out;
    std::string err;
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (!text.empty()) {
        const std::string::size_type end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

// Runs the tool with the arguments, through the cross build's emulator when
// there is one; kills it after `limit`.
Outcome RunTool(const char* tool, const std::vector<std::string>& args,
            std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::vector<std::string> command = Split(HB_TOOL_EMULATOR, '|');
    command.push_back(tool);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& part : command) {
        argv.push_back(&part[0]);
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(120);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    if (timedOut) {
        kill(pid, SIGKILL);
        ADD_FAILURE() << tool << " did not end within " << limit.count() << " s";
    }
    for (const struct pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && !timedOut) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    return outcome;
}

struct BadCase {
    const char* tool;
    std::vector<std::string> args;
    std::string line;
};

}  // namespace

TEST(ToolsTest, HelpAndVersionExitZero) {
    for (const char* tool : {HB_MONITOR_PATH, HB_SEND_PATH}) {
        const Outcome help = RunTool(tool, {"--help"});
        EXPECT_EQ(help.exitCode, 0) << tool;
        EXPECT_EQ(help.out.rfind("Usage: heartbeat-", 0), 0U) << help.out;
        EXPECT_EQ(help.err, "");

        const Outcome version = RunTool(tool, {"--version"});
        EXPECT_EQ(version.exitCode, 0) << tool;
        EXPECT_NE(version.out.find(std::string(" (libheartbeat) ") + HEARTBEAT_VERSION + "\n"),
                  std::string::npos)
            << version.out;
        EXPECT_EQ(version.err, "");
    }
}

TEST(ToolsTest, EachBadArgumentPrintsOneLineAndExitsTwo) {
    const std::string tooLong(100, 'x');
    const std::vector<BadCase> cases = {
        {HB_MONITOR_PATH, {"--frobnicate", "a"}, "heartbeat-monitor: unknown option '--frobnicate'"},
        {HB_MONITOR_PATH, {"a", "--on-lost"}, "heartbeat-monitor: option '--on-lost' needs a value"},
        {HB_MONITOR_PATH, {tooLong},
         "heartbeat-monitor: client name 'xxxxxxxxxxxxxxxx...' is too long (100 characters, at most 99)"},
        {HB_MONITOR_PATH, {"a:root"},
         "heartbeat-monitor: group id of client 'a:root' must be a number from 0 to 4294967295"},
        {HB_SEND_PATH, {"--name", "a", "--server", "S", "-x"}, "heartbeat-send: unknown option '-x'"},
        {HB_SEND_PATH, {"--server", "S", "--name"}, "heartbeat-send: option '--name' needs a value"},
        {HB_SEND_PATH, {"--name", "a", "--server", tooLong},
         "heartbeat-send: server name for --server 'xxxxxxxxxxxxxxxx...' is too long (100 characters, at "
         "most 99)"},
        {HB_SEND_PATH, {"--name", "a", "--server", "S", "--timeout-times", "-3"},
         "heartbeat-send: --timeout-times needs a number from 0 to 4294967295, not '-3'"},
        {HB_SEND_PATH, {"--name", "a", "--server", "S", "--timeout-times=3s"},
         "heartbeat-send: --timeout-times needs a number from 0 to 4294967295, not '3s'"},
    };
    for (const BadCase& c : cases) {
        const Outcome outcome = RunTool(c.tool, c.args);
        EXPECT_EQ(outcome.exitCode, 2) << c.line;
        EXPECT_EQ(outcome.err, c.line + "\n");
        EXPECT_EQ(outcome.out, "");
    }
}

// No server listens under this name, so the registration fails (after the
// open's time-out) and the tool reports a runtime failure.
TEST(ToolsTest, SendWithoutItsServerExitsOne) {
    const std::string server = "no_such_server_" + std::to_string(getpid());
    const Outcome outcome = RunTool(HB_SEND_PATH, {"--name", "lonely_client", "--server", server});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err.rfind("heartbeat-send: cannot send heartbeats as lonely_client to " + server, 0), 0U)
        << outcome.err;
}
