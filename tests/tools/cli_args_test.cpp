#include "tools/cli_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using hbtools::MonitorOptions;
using hbtools::ParseMonitorArgs;
using hbtools::ParseResult;
using hbtools::ParseSendArgs;
using hbtools::ParseStatus;
using hbtools::SendOptions;

namespace {

std::vector<const char*> Argv(const char* tool, const std::vector<std::string>& args) {
    std::vector<const char*> argv = {tool};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    return argv;
}

ParseResult Monitor(const std::vector<std::string>& args, MonitorOptions* options) {
    const std::vector<const char*> argv = Argv("heartbeat-monitor", args);
    return ParseMonitorArgs(static_cast<int>(argv.size()), argv.data(), options);
}

ParseResult Send(const std::vector<std::string>& args, SendOptions* options) {
    const std::vector<const char*> argv = Argv("heartbeat-send", args);
    return ParseSendArgs(static_cast<int>(argv.size()), argv.data(), options);
}

ParseResult Monitor(const std::vector<std::string>& args) {
    MonitorOptions options;
    return Monitor(args, &options);
}

ParseResult Send(const std::vector<std::string>& args) {
    SendOptions options;
    return Send(args, &options);
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(CliArgsTest, MonitorTakesItsNameClientsAndHooks) {
    MonitorOptions options;
    const ParseResult result = Monitor({"--name", "PROCMGR", "alpha", "beta:1102", "--json",
                                        "--on-lost=echo lost", "--on-recovered", "echo back"},
                                       &options);
    ASSERT_EQ(result.status, ParseStatus::kRun) << ::testing::PrintToString(result.errors);
    EXPECT_EQ(options.name, "PROCMGR");
    ASSERT_EQ(options.clients.size(), 2U);
    EXPECT_EQ(options.clients[0].name, "alpha");
    EXPECT_EQ(options.clients[0].gid, 0U);
    EXPECT_EQ(options.clients[1].name, "beta");
    EXPECT_EQ(options.clients[1].gid, 1102U);
    EXPECT_TRUE(options.json);
    EXPECT_EQ(options.onLost, "echo lost");
    EXPECT_EQ(options.onRecovered, "echo back");
}

TEST(CliArgsTest, MonitorClientsMayStartWithDashAfterDashDashAndContainColons) {
    MonitorOptions options;
    const ParseResult result = Monitor({"--", "-odd", "a:b:7", "--json"}, &options);
    ASSERT_EQ(result.status, ParseStatus::kRun) << ::testing::PrintToString(result.errors);
    ASSERT_EQ(options.clients.size(), 3U);
    EXPECT_EQ(options.clients[0].name, "-odd");
    EXPECT_EQ(options.clients[1].name, "a:b");
    EXPECT_EQ(options.clients[1].gid, 7U);
    EXPECT_EQ(options.clients[2].name, "--json");
    EXPECT_FALSE(options.json);
}

TEST(CliArgsTest, SendTakesNamesTimeoutAndTheCommandAfterDashDash) {
    SendOptions options;
    const ParseResult result = Send({"--server", "PROCMGR", "--name=app", "--timeout-times", "7", "--",
                                     "sh", "-c", "exit 3", "--name"},
                                    &options);
    ASSERT_EQ(result.status, ParseStatus::kRun) << ::testing::PrintToString(result.errors);
    EXPECT_EQ(options.name, "app");
    EXPECT_EQ(options.server, "PROCMGR");
    EXPECT_EQ(options.timeoutTimes, 7U);
    EXPECT_EQ(options.command, (Lines{"sh", "-c", "exit 3", "--name"}));

    SendOptions plain;
    ASSERT_EQ(Send({"--name", "app", "--server", "S"}, &plain).status, ParseStatus::kRun);
    EXPECT_EQ(plain.timeoutTimes, 0U);
    EXPECT_TRUE(plain.command.empty());
}

// Names reach the library with their length, which it accepts only when
// strnlen(name, 100) equals it: 99 characters is the longest usable name.
TEST(CliArgsTest, NamesOfAtMost99CharactersPass) {
    const std::string longest(99, 'n');
    const std::string tooLong(100, 'n');
    EXPECT_EQ(Monitor({"--name", longest, longest}).status, ParseStatus::kRun);
    EXPECT_EQ(Send({"--name", longest, "--server", longest}).status, ParseStatus::kRun);

    const std::string shown = "'nnnnnnnnnnnnnnnn...' is too long (100 characters, at most 99)";
    EXPECT_EQ(Monitor({"--name", tooLong, "c"}).errors,
              Lines{"heartbeat-monitor: name for --name " + shown});
    EXPECT_EQ(Monitor({tooLong + ":5"}).errors, Lines{"heartbeat-monitor: client name " + shown});
    EXPECT_EQ(Send({"--name", tooLong, "--server", "S"}).errors,
              Lines{"heartbeat-send: name for --name " + shown});
    EXPECT_EQ(Send({"--name", "a", "--server", tooLong}).errors,
              Lines{"heartbeat-send: server name for --server " + shown});
    EXPECT_EQ(Send({"--name=", "--server", "S"}).errors, Lines{"heartbeat-send: name for --name is empty"});
    EXPECT_EQ(Monitor({":3"}).errors, Lines{"heartbeat-monitor: client name is empty"});
}

TEST(CliArgsTest, EveryBadArgumentGetsOneLine) {
    const ParseResult monitor =
        Monitor({"--verbose", "a:x", "--json=yes", "-q", "b:4294967296", "ok", "--on-lost"});
    EXPECT_EQ(monitor.status, ParseStatus::kUsage);
    EXPECT_EQ(monitor.errors,
              (Lines{"heartbeat-monitor: unknown option '--verbose'",
                     "heartbeat-monitor: group id of client 'a:x' must be a number from 0 to 4294967295",
                     "heartbeat-monitor: option '--json' takes no value",
                     "heartbeat-monitor: unknown option '-q'",
                     "heartbeat-monitor: group id of client 'b:4294967296' must be a number from 0 to "
                     "4294967295",
                     "heartbeat-monitor: option '--on-lost' needs a value"}));

    // A value that looks like an option is a forgotten value, not a name.
    const ParseResult send = Send({"--name", "--server", "S", "--timeout-times", "ten", "stray"});
    EXPECT_EQ(send.status, ParseStatus::kUsage);
    EXPECT_EQ(send.errors,
              (Lines{"heartbeat-send: option '--name' needs a value",
                     "heartbeat-send: --timeout-times needs a number from 0 to 4294967295, not 'ten'",
                     "heartbeat-send: unexpected argument 'stray' (a command goes after '--')"}));
}

TEST(CliArgsTest, MissingRequiredPartsAreUsageErrors) {
    EXPECT_EQ(Monitor({"--json"}).errors,
              Lines{"heartbeat-monitor: no client to watch (give NAME[:GID] arguments)"});
    EXPECT_EQ(Send({}).errors,
              (Lines{"heartbeat-send: missing option --name", "heartbeat-send: missing option --server"}));
    EXPECT_EQ(Send({"--name", "a", "--server", "S", "--"}).errors,
              Lines{"heartbeat-send: no command after '--'"});
}

TEST(CliArgsTest, HelpAndVersionWinOverBadArguments) {
    EXPECT_EQ(Monitor({"--bogus", "--help"}).status, ParseStatus::kHelp);
    EXPECT_EQ(Monitor({"-h"}).status, ParseStatus::kHelp);
    EXPECT_EQ(Send({"-V"}).status, ParseStatus::kVersion);
    EXPECT_EQ(Send({"--version", "--help"}).status, ParseStatus::kHelp);
    // After "--" they belong to the command.
    SendOptions options;
    EXPECT_EQ(Send({"--name", "a", "--server", "S", "--", "tool", "--help"}, &options).status,
              ParseStatus::kRun);
    EXPECT_EQ(hbtools::VersionLine("heartbeat-send"),
              std::string("heartbeat-send (libheartbeat) ") + HEARTBEAT_VERSION + "\n");
}

TEST(CliArgsTest, NumbersAreUnsignedDecimalsUpToUint32Max) {
    uint32_t value = 0;
    EXPECT_TRUE(hbtools::ParseUint32("4294967295", &value));
    EXPECT_EQ(value, 4294967295U);
    EXPECT_TRUE(hbtools::ParseUint32("007", &value));
    EXPECT_EQ(value, 7U);
    EXPECT_TRUE(hbtools::ParseUint32("0", &value));
    EXPECT_EQ(value, 0U);
    for (const char* bad : {"", "4294967296", "99999999999", "-1", "+1", " 1", "1 ", "0x10", "1e3"}) {
        value = 42;
        EXPECT_FALSE(hbtools::ParseUint32(bad, &value)) << "'" << bad << "'";
        EXPECT_EQ(value, 42U) << "'" << bad << "'";
    }
}
