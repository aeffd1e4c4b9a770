// heartbeat-monitor as its users run it: real client processes (hb_helper)
// brought down by real faults, the monitor's event lines, its status answers,
// its metrics file read by Prometheus' own parser, its config file reloaded
// on SIGHUP, its hooks and its clean exit.
#include <fstream>
#include <regex>
#include <set>

#include "harness.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

bool Eventually(const std::function<bool()>& done, Ms limit) {
    for (const auto until = Clock::now() + limit; !done() && Clock::now() < until;) {
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

// A monitor named `name` in the scenario's pipe directory (where its control
// socket lives too), its output in <dir>/out and <dir>/err.
struct Monitor {
    Monitor(const Scenario& scenario, const std::string& monitorName, std::vector<std::string> args)
        : name(monitorName), dir(fs::path(scenario.SocketOf("x")).parent_path()) {
        args.insert(args.begin(), {"/bin/sh", "-c",
                                   "export LUMO_PIPE_DIR='" + dir + "'; exec \"$0\" \"$@\" >" + dir + "/out 2>" +
                                       dir + "/err",
                                   HB_MONITOR_PATH, "--name", name});
        process = std::make_unique<Process>(args, dir + "/sh-out");
    }
    // "<exit code>|<stdout><stderr>" of a command run with this pipe directory.
    std::string Run(const std::string& command) const {
        const int status =
            std::system(("LUMO_PIPE_DIR='" + dir + "' " + command + " >" + dir + "/run 2>&1").c_str());
        return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" + ReadFile(dir + "/run");
    }
    std::string Status(const std::string& extra = "") const {
        return Run(std::string(HB_MONITOR_PATH) + " status --name " + name + extra);
    }
    std::string Out() const { return ReadFile(dir + "/out"); }
    std::string Err() const { return ReadFile(dir + "/err"); }

    std::string name;
    std::string dir;
    std::unique_ptr<Process> process;
};

// The status document and the metrics file side by side, one line per client,
// through Debian's python3 and python3-prometheus-client.
const char kCheckScript[] = R"(import json, sys
from prometheus_client.parser import text_string_to_metric_families
status = json.load(open(sys.argv[1]))
families = list(text_string_to_metric_families(open(sys.argv[2]).read()))
print(status["name"], status["cycles"] > 3, *sorted(f.name + ":" + f.type for f in families if f.documentation),
      *[f.samples[0].value > 3 for f in families if f.name == "heartbeat_monitor_cycles"])
m = {(s.labels["client"], s.labels.get("state") or f.name[17:]): s.value
     for f in families for s in f.samples if "client" in s.labels}
for c in status["clients"]:
    n = c["name"]
    print(repr(n), c["state"], c["last_cause"], c["losses"], c["watchdog_failed"], c["last_heartbeat_age_ms"] is None,
          c["heartbeats"] > 0, c["timeout_times"], [k for (name, k), v in m.items() if name == n and k in
          ("waiting", "alive", "lost") and v == 1], m[n, "up"], m[n, "losses"], m[n, "recoveries"],
          0 <= m.get((n, "last_heartbeat_age_seconds"), -1) < 60)
)";

TEST(MonitorEndToEnd, EachFaultGetsItsCauseAndStatusMetricsHooksAndExitAgree) {
    Scenario scenario("hbmon_causes");
    const std::string dir = fs::path(scenario.SocketOf("x")).parent_path();
    // Each hook records its pid and what it got, then overstays its limit.
    const std::string hook = "printf '%s %s %s %s;' $$ \"$HEARTBEAT_EVENT\" \"${HEARTBEAT_CAUSE:--}\" "
                             "\"$HEARTBEAT_CLIENT\" >>" + dir + "/hooks; exec sleep 30";
    Monitor monitor(scenario, "hbmon_causes",
                    {"--startup-grace", "6", "--metrics-file", dir + "/hb.prom", "--hook-timeout", "1", "--on-lost",
                     hook, "ghost", "new\nline", "healthy", "killed", "stopped", "hung", "dog"});
    std::map<std::string, std::unique_ptr<Process>> clients;
    for (const std::string client : {"healthy", "killed", "stopped", "hung"}) {
        clients[client] = scenario.Client(client);
    }
    clients["dog"] = scenario.Client("dog", {"--dog", "1"});
    ASSERT_TRUE(Eventually([&] { return Count(monitor.Status(" --json"), "\"state\":\"alive\"") == 5; }, 12s))
        << monitor.Status() << monitor.Err();

    // Each client's fault, all at once: each loss is reported once, with its cause.
    clients["killed"]->Kill(SIGKILL);
    clients["stopped"]->Kill(SIGSTOP);
    ASSERT_TRUE(clients["hung"]->Send("mute"));
    ASSERT_TRUE(clients["dog"]->Send("stall"));
    ASSERT_TRUE(Eventually([&] { return Count(monitor.Out(), " lost ") >= 4; }, 15s)) << monitor.Out();
    const std::string out = monitor.Out();
    for (const auto& [client, cause] : std::map<std::string, std::string>{
             {"killed", "exited"}, {"stopped", "stopped"}, {"hung", "hung"}, {"dog", "watchdog"}}) {
        const std::string pid = std::to_string(clients[client]->Pid());
        EXPECT_EQ(Count(out, " lost " + client + " pid=" + pid + " cause=" + cause + "\n"), 1u) << out;
    }
    // Never-started clients are missing once; the name with a newline stays on its one line.
    EXPECT_EQ(Count(out, " missing ghost pid=0\n"), 1u);
    EXPECT_EQ(Count(out, " missing new\\x0aline pid=0\n"), 1u);
    const std::string table = monitor.Status();
    for (const char* row : {"^0\\|hbmon_causes: 7 clients, ",
                            "\nkilled +lost +[0-9]+ +[0-9.]+s ago +2/2 +1 +0 +exited\n",
                            "\nnew\\\\x0aline +waiting +- +- +[0-9]+/0 +0 +0 +-\n"}) {
        EXPECT_TRUE(std::regex_search(table, std::regex(row))) << row << table;
    }
    std::ofstream(dir + "/status.json") << monitor.Status(" --json").substr(2);
    std::ofstream(dir + "/check.py") << kCheckScript;
    EXPECT_EQ(monitor.Run("/usr/bin/python3 " + dir + "/check.py " + dir + "/status.json " + dir + "/hb.prom"),
              "0|hbmon_causes True heartbeat_client_last_heartbeat_age_seconds:gauge heartbeat_client_losses:counter "
              "heartbeat_client_recoveries:counter heartbeat_client_state:gauge heartbeat_client_up:gauge "
              "heartbeat_monitor_cycles:counter True\n"
              "'dog' lost watchdog 1 True False True 2 ['lost'] 0.0 1.0 0.0 True\n"
              "'ghost' waiting None 0 False True False 0 ['waiting'] 0.0 0.0 0.0 False\n"
              "'healthy' alive None 0 False False True 2 ['alive'] 1.0 0.0 0.0 True\n"
              "'hung' lost hung 1 False False True 2 ['lost'] 0.0 1.0 0.0 True\n"
              "'killed' lost exited 1 False False True 2 ['lost'] 0.0 1.0 0.0 True\n"
              "'new\\nline' waiting None 0 False True False 0 ['waiting'] 0.0 0.0 0.0 False\n"
              "'stopped' lost stopped 1 False False True 2 ['lost'] 0.0 1.0 0.0 True\n");

    // Every hook ran with its event and cause, and was killed at its time limit.
    ASSERT_TRUE(Eventually([&] { return Count(monitor.Err(), " killed after 1000 ms\n") == 6; }, 5s))
        << monitor.Err();
    std::set<std::string> ran;
    std::istringstream hooks(ReadFile(dir + "/hooks"));
    for (std::string entry; std::getline(hooks, entry, ';');) {
        ran.insert(entry.substr(entry.find(' ') + 1));
        const pid_t pid = std::stoi(entry);
        EXPECT_TRUE(Eventually([pid] { return kill(pid, 0) != 0; }, 3s)) << entry << ": the hook lives on";
    }
    EXPECT_EQ(ran, (std::set<std::string>{"lost watchdog dog", "lost hung hung", "lost exited killed",
                                          "lost stopped stopped", "missing - ghost", "missing - new\nline"}));

    // A clean exit leaves no socket file behind, and nobody answers then.
    clients["stopped"]->Kill(SIGCONT);
    monitor.process->Kill(SIGTERM);
    EXPECT_TRUE(monitor.process->ExitsCleanly(10s)) << monitor.Err();
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_NE(entry.path().filename().string().rfind("hbmon_causes", 0), 0u) << entry.path() << " left behind";
    }
    EXPECT_EQ(monitor.Status(), "1|heartbeat-monitor: no monitor named hbmon_causes is running (nothing answers at " +
                                    dir + "/hbmon_causes.monitor)\n");
}

// Clients from the config file, the name from the command line; SIGHUP adds
// one client and removes another while the unchanged one keeps its state.
TEST(MonitorEndToEnd, ConfigFileAndReloadAddAndRemoveClients) {
    Scenario scenario("hbmon_reload");
    const std::string config = fs::path(scenario.SocketOf("x")).parent_path() / "monitor.toml";
    const auto configure = [&config](const std::string& clients) {
        std::ofstream(config) << "name = \"overridden\"\njson = true\nstartup-grace = 0\nclients = [" << clients
                              << "]\n";
    };
    configure("\"alpha\", \"beta\"");
    Monitor monitor(scenario, "hbmon_reload", {"--config", config});
    auto alpha = scenario.Client("alpha");
    ASSERT_TRUE(Eventually([&] { return Count(monitor.Out(), "\"event\":\"recovered\"") == 1; }, 12s))
        << monitor.Out() << monitor.Err();

    configure("\"alpha\", \"gamma\"");
    monitor.process->Kill(SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Count(monitor.Out(), "\"client\":\"gamma\"") == 1; }, 5s)) << monitor.Err();
    const std::string status = monitor.Status(" --json");
    EXPECT_EQ(Count(status, "\"name\":\"beta\""), 0u) << status;
    EXPECT_EQ(Count(status, "\"name\":\"alpha\",\"group\":0,\"pid\":" + std::to_string(alpha->Pid()) +
                                ",\"state\":\"alive\""), 1u) << status;
    EXPECT_FALSE(fs::exists(scenario.SocketOf("beta")));
    std::string sequence;
    const std::string out = monitor.Out();
    const std::regex event("\"event\":\"([a-z]+)\",\"client\":\"([a-z]+)\"");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), event); it != std::sregex_iterator(); ++it) {
        sequence += (*it)[1].str() + " " + (*it)[2].str() + ", ";
    }
    EXPECT_EQ(sequence, "missing alpha, missing beta, recovered alpha, missing gamma, ");
}

}  // namespace
