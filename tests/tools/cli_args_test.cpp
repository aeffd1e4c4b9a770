// What the tools take from a good command line; bad ones are covered by
// starting the tools (tools_test.cpp).
#include "tools/cli_args.h"

#include <gtest/gtest.h>

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

}  // namespace
