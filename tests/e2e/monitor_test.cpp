// heartbeat-monitor as its users run it: real client processes (hb_helper)
// brought down by real faults, the monitor's event lines, its status answers,
// its metrics file read by Prometheus' own parser, its config file reloaded
// on SIGHUP, its hooks and its clean exit.
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "harness.h"

namespace {

using namespace e2e;

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The scenario's pipe directory, where the monitor's sockets live too.
std::string DirOf(const Scenario& scenario) {
    const std::string socket = scenario.SocketOf("x");
    return socket.substr(0, socket.rfind('/'));
}

// The monitor, its output in <dir>/out and <dir>/err.
std::unique_ptr<Process> StartMonitor(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + dir + "/out 2>" + dir + "/err",
                               HB_MONITOR_PATH});
    return std::make_unique<Process>(args, std::vector<std::string>{"LUMO_PIPE_DIR=" + dir}, false);
}

// "<exit code>|<stdout><stderr>" of a command run with the scenario's pipe directory.
std::string Run(const std::string& dir, const std::string& command) {
    const std::string out = dir + "/run";
    const int status = std::system(("LUMO_PIPE_DIR='" + dir + "' " + command + " >" + out + " 2>&1").c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" + ReadFile(out);
}

std::string Status(const std::string& dir, const std::string& name, const std::string& extra = "") {
    return Run(dir, std::string(HB_MONITOR_PATH) + " status --name " + name + extra);
}

// Debian's python3 with python3-prometheus-client (also for the JSON check).
std::string Python(const std::string& dir, const std::string& script, const std::string& file) {
    std::ofstream(dir + "/check.py") << script;
    return Run(dir, "/usr/bin/python3 " + dir + "/check.py " + file);
}

bool Eventually(const std::function<bool()>& done, Ms limit) {
    for (const auto until = Clock::now() + limit; !done(); std::this_thread::sleep_for(100ms)) {
        if (Clock::now() >= until) {
            return false;
        }
    }
    return true;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(MonitorEndToEnd, EachFaultGetsItsCauseAndStatusMetricsHooksAndExitAgree) {
    const std::string name = "hbmon_causes";
    Scenario scenario(name);
    const std::string dir = DirOf(scenario);
    const std::string hook = "echo \"$$ $HEARTBEAT_EVENT ${HEARTBEAT_CAUSE:--} $HEARTBEAT_CLIENT\" >>" + dir +
                             "/hooks; exec sleep 30";
    auto monitor = StartMonitor(dir, {"--name", name, "--startup-grace", "6", "--metrics-file", dir + "/hb.prom",
                                      "--hook-timeout", "1", "--on-lost", hook, "ghost", "new\nline", "healthy",
                                      "killed", "stopped", "hung", "dog"});
    std::map<std::string, std::unique_ptr<Process>> clients;
    for (const std::string client : {"healthy", "killed", "stopped", "hung"}) {
        clients[client] = scenario.Client(client);
    }
    clients["dog"] = scenario.Client("dog", {"--dog", "1"});
    ASSERT_TRUE(Eventually([&] { return Count(Status(dir, name, " --json"), "\"state\":\"alive\"") == 5; }, 12s))
        << Status(dir, name) << ReadFile(dir + "/err");

    // Each client's fault, all at once.
    std::map<std::string, std::string> causes = {
        {"killed", "exited"}, {"stopped", "stopped"}, {"hung", "hung"}, {"dog", "watchdog"}};
    clients["killed"]->Kill(SIGKILL);
    clients["stopped"]->Kill(SIGSTOP);
    ASSERT_TRUE(clients["hung"]->Send("mute"));
    ASSERT_TRUE(clients["dog"]->Send("stall"));
    ASSERT_TRUE(Eventually([&] { return Count(ReadFile(dir + "/out"), " lost ") >= 4; }, 15s))
        << ReadFile(dir + "/out");
    const std::string out = ReadFile(dir + "/out");
    for (const auto& [client, cause] : causes) {
        EXPECT_EQ(Count(out, " lost " + client + " pid=" + std::to_string(clients[client]->Pid()) +
                                 " cause=" + cause + "\n"),
                  1u)
            << out;
    }
    // Reported once each; the name with a newline stays on its one line.
    EXPECT_EQ(Count(out, " missing ghost pid=0\n"), 1u);
    EXPECT_EQ(Count(out, " missing new\\x0aline pid=0\n"), 1u);
    EXPECT_EQ(Count(out, "\n"), Count(out, "\n20")  + 1) << "a line not starting with its time:\n" << out;

    const std::string table = Status(dir, name);
    EXPECT_EQ(table.rfind("0|" + name + ": 7 clients, ", 0), 0u) << table;
    EXPECT_TRUE(std::regex_search(table, std::regex("\nkilled +lost +[0-9]+ +[0-9.]+s ago +2/2 +1 +0 +exited\n")))
        << table;
    EXPECT_TRUE(std::regex_search(table, std::regex("\nnew\\\\x0aline +waiting +- +- +[0-9]+/0 +0 +0 +-\n")))
        << table;
    const std::string status = Status(dir, name, " --json");
    std::ofstream(dir + "/status.json") << status.substr(2);
    EXPECT_EQ(Python(dir, R"(import json, sys
d = json.load(open(sys.argv[1]))
print(d["name"], d["cycles"] > 3)
for c in d["clients"]:
    print(repr(c["name"]), c["state"], c["last_cause"], c["losses"], c["recoveries"], c["watchdog_failed"],
          c["last_heartbeat_age_ms"] is None, c["pid"] > 0, c["heartbeats"] > 0, c["timeout_times"])
)", dir + "/status.json"),
              "0|hbmon_causes True\n"
              "'dog' lost watchdog 1 0 True False True True 2\n"
              "'ghost' waiting None 0 0 False True False False 0\n"
              "'healthy' alive None 0 0 False False True True 2\n"
              "'hung' lost hung 1 0 False False True True 2\n"
              "'killed' lost exited 1 0 False False True True 2\n"
              "'new\\nline' waiting None 0 0 False True False False 0\n"
              "'stopped' lost stopped 1 0 False False True True 2\n");
    EXPECT_EQ(Python(dir, R"(import sys
from prometheus_client.parser import text_string_to_metric_families
families = {f.name: f for f in text_string_to_metric_families(open(sys.argv[1]).read())}
print(" ".join(sorted(n + ":" + f.type for n, f in families.items() if f.documentation)))
def by_client(name):
    return " ".join(sorted(repr(s.labels["client"]) + "=" + str(s.value) for s in families[name].samples
                           if s.labels.get("state", "alive") != "waiting" or s.value))
print(by_client("heartbeat_client_up"))
print(" ".join(sorted(repr(s.labels["client"]) + "=" + s.labels["state"]
                      for s in families["heartbeat_client_state"].samples if s.value == 1)))
print(by_client("heartbeat_client_losses"))
print(by_client("heartbeat_client_recoveries"))
print(sorted(repr(s.labels["client"]) for s in families["heartbeat_client_last_heartbeat_age_seconds"].samples
             if 0 <= s.value < 60))
print(families["heartbeat_monitor_cycles"].samples[0].value > 3)
)", dir + "/hb.prom"),
              "0|heartbeat_client_last_heartbeat_age_seconds:gauge heartbeat_client_losses:counter "
              "heartbeat_client_recoveries:counter heartbeat_client_state:gauge heartbeat_client_up:gauge "
              "heartbeat_monitor_cycles:counter\n"
              "'dog'=0.0 'ghost'=0.0 'healthy'=1.0 'hung'=0.0 'killed'=0.0 'new\\nline'=0.0 'stopped'=0.0\n"
              "'dog'=lost 'ghost'=waiting 'healthy'=alive 'hung'=lost 'killed'=lost 'new\\nline'=waiting "
              "'stopped'=lost\n"
              "'dog'=1.0 'ghost'=0.0 'healthy'=0.0 'hung'=1.0 'killed'=1.0 'new\\nline'=0.0 'stopped'=1.0\n"
              "'dog'=0.0 'ghost'=0.0 'healthy'=0.0 'hung'=0.0 'killed'=0.0 'new\\nline'=0.0 'stopped'=0.0\n"
              "[\"'dog'\", \"'healthy'\", \"'hung'\", \"'killed'\", \"'stopped'\"]\n"
              "True\n");

    // Every hook ran with its cause and was killed at its time limit.
    ASSERT_TRUE(Eventually([&] { return Count(ReadFile(dir + "/err"), " killed after 1000 ms\n") == 6; }, 5s))
        << ReadFile(dir + "/err");
    std::map<std::string, std::string> hooks;  // pid -> "<event> <cause> <client>"
    std::istringstream lines(ReadFile(dir + "/hooks"));
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        if (space != std::string::npos && std::isdigit(static_cast<unsigned char>(line[0]))) {
            last = line.substr(0, space);
            hooks[last] = line.substr(space + 1);
        } else {
            hooks[last] += "\n" + line;  // the rest of a name with a newline
        }
    }
    std::set<std::string> seen;
    for (const auto& [pid, ran] : hooks) {
        seen.insert(ran);
        const pid_t hookPid = std::stoi(pid);
        EXPECT_TRUE(Eventually([hookPid] { return kill(hookPid, 0) != 0; }, 3s)) << ran << ": the hook lives on";
    }
    EXPECT_EQ(seen, (std::set<std::string>{"lost watchdog dog", "lost hung hung", "lost exited killed",
                                           "lost stopped stopped", "missing - ghost", "missing - new\nline"}));

    // A clean exit leaves no socket file behind, and nobody answers then.
    clients["stopped"]->Kill(SIGCONT);
    monitor->Kill(SIGTERM);
    EXPECT_TRUE(monitor->ExitsCleanly(10s)) << ReadFile(dir + "/err");
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_NE(entry.path().filename().string().rfind(name, 0), 0u) << entry.path() << " left behind";
    }
    EXPECT_EQ(Status(dir, name), "1|heartbeat-monitor: no monitor named " + name + " is running (nothing answers at " +
                                     dir + "/" + name + ".monitor)\n");
}

// Clients from the config file, the name from the command line; SIGHUP adds
// one client and removes another while the unchanged one keeps its state.
TEST(MonitorEndToEnd, ConfigFileAndReloadAddAndRemoveClients) {
    const std::string name = "hbmon_reload";
    Scenario scenario(name);
    const std::string dir = DirOf(scenario);
    const std::string config = dir + "/monitor.toml";
    std::ofstream(config) << "name = \"overridden\"\njson = true\nstartup-grace = 0\nclients = [\"alpha\", \"beta\"]\n";
    auto monitor = StartMonitor(dir, {"--config", config, "--name", name});
    auto alpha = scenario.Client("alpha");
    ASSERT_TRUE(Eventually([&] { return Count(ReadFile(dir + "/out"), "\"event\":\"recovered\"") == 1; }, 12s))
        << ReadFile(dir + "/out") << ReadFile(dir + "/err");
    ASSERT_TRUE(std::filesystem::exists(scenario.SocketOf("beta")));

    std::ofstream(config) << "name = \"overridden\"\njson = true\nstartup-grace = 0\nclients = [\"alpha\", \"gamma\"]\n";
    monitor->Kill(SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Count(Status(dir, name, " --json"), "\"name\":\"gamma\"") == 1; }, 5s))
        << ReadFile(dir + "/err");
    const std::string status = Status(dir, name, " --json");
    EXPECT_EQ(Count(status, "\"name\":\"beta\""), 0u) << status;
    EXPECT_EQ(Count(status, "\"name\":\"alpha\",\"group\":0,\"pid\":" + std::to_string(alpha->Pid()) +
                                ",\"state\":\"alive\""),
              1u)
        << status;
    EXPECT_FALSE(std::filesystem::exists(scenario.SocketOf("beta")));
    EXPECT_TRUE(std::filesystem::exists(scenario.SocketOf("gamma")));

    ASSERT_TRUE(Eventually([&] { return Count(ReadFile(dir + "/out"), "\"client\":\"gamma\"") == 1; }, 5s));
    std::string sequence;
    const std::string out = ReadFile(dir + "/out");
    const std::regex event("\"event\":\"([a-z]+)\",\"client\":\"([a-z]+)\"");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), event); it != std::sregex_iterator(); ++it) {
        sequence += (*it)[1].str() + " " + (*it)[2].str() + ", ";
    }
    EXPECT_EQ(sequence, "missing alpha, missing beta, recovered alpha, missing gamma, ");
}

}  // namespace
