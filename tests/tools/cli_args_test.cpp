// What the tools take from a good command line; bad ones are covered by
// starting the tools (tools_test.cpp).
#include "tools/cli_args.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(CliArgsTest, ToolsTakeNamesClientsHooksTimeoutAndCommand) {
    const std::string longest(99, 'n');
    const char* args[] = {"m", "--name", longest.c_str(), "a:4294967295", "--json",
        "--on-lost=echo x", "--on-recovered", "echo y", "--", "-odd", "b:c:7", "--json"};
    hbtools::MonitorOptions monitor;
    EXPECT_EQ(hbtools::ParseMonitorArgs(12, args, &monitor).status, hbtools::ParseStatus::kRun);
    std::string clients;  // after "--" everything is a client; the last colon starts the group
    for (const hbtools::ClientSpec& client : monitor.clients) {
        clients += client.name + ":" + std::to_string(client.gid) + " ";
    }
    EXPECT_EQ(clients, "a:4294967295 -odd:0 b:c:7 --json:0 ");
    EXPECT_TRUE(monitor.name == longest && monitor.json);
    EXPECT_EQ(monitor.onLost + "|" + monitor.onRecovered, "echo x|echo y");

    const char* sendArgs[] = {"s", "--server", "S", "--name=app", "--timeout-times", "007",
                              "--", "sh", "-h"};
    hbtools::SendOptions send;
    EXPECT_EQ(hbtools::ParseSendArgs(9, sendArgs, &send).status, hbtools::ParseStatus::kRun);
    EXPECT_EQ(send.name + "|" + send.server + "|" + std::to_string(send.timeoutTimes), "app|S|7");
    EXPECT_EQ(send.command, (std::vector<std::string>{"sh", "-h"}));
}

std::string Clients(const hbtools::MonitorOptions& options) {
    std::string clients;
    for (const hbtools::ClientSpec& client : options.clients) {
        clients += client.name + ":" + std::to_string(client.gid) + " ";
    }
    return clients;
}

// The file gives every option; the command line overrides what it repeats.
TEST(CliArgsTest, MonitorReadsItsConfigFileAndTheCommandLineOverridesIt) {
    const std::string file = "/tmp/hbcli" + std::to_string(getpid()) + ".toml";
    std::ofstream(file) << "name = \"PM\"\njson = true\non-lost = \"logger lost\"\n"
                           "on-recovered = \"logger back\"\nstartup-grace = 5\nhook-timeout = 2\n"
                           "metrics-file = \"/run/hb.prom\"\nclients = [\"alpha\", \"beta:1002\"]\n";
    const struct {
        std::vector<const char*> args;
        std::string expected;
    } cases[] = {
        {{"m", "--config", file.c_str()}, "PM|alpha:0 beta:1002 |1|logger lost|logger back|5|2|/run/hb.prom"},
        {{"m", "--startup-grace=0", "--config", file.c_str(), "--name", "Q", "gamma:7"},
         "Q|gamma:7 |1|logger lost|logger back|0|2|/run/hb.prom"},
    };
    for (const auto& c : cases) {
        hbtools::MonitorOptions options;
        EXPECT_EQ(hbtools::ParseMonitorArgs(static_cast<int>(c.args.size()), c.args.data(), &options).status,
                  hbtools::ParseStatus::kRun);
        EXPECT_EQ(options.name + "|" + Clients(options) + "|" + std::to_string(options.json) + "|" + options.onLost +
                      "|" + options.onRecovered + "|" + std::to_string(options.startupGraceS) + "|" +
                      std::to_string(options.hookTimeoutS) + "|" + options.metricsFile,
                  c.expected);
        EXPECT_EQ(options.configFile, file);
    }
    unlink(file.c_str());

    const char* status[] = {"m", "status", "--name", "PM", "--json"};
    hbtools::MonitorOptions options;
    EXPECT_EQ(hbtools::ParseMonitorArgs(5, status, &options).status, hbtools::ParseStatus::kRun);
    EXPECT_TRUE(options.status && options.json && options.name == "PM" && options.clients.empty());
}

}  // namespace
