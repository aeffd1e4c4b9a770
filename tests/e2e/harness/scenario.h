// One supervised setup: a private pipe directory, a server process named by
// PROC_NAME, its clients, and readers for what the server reports.
#ifndef TESTS_E2E_HARNESS_SCENARIO_H_
#define TESTS_E2E_HARNESS_SCENARIO_H_

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "harness/process.h"

namespace e2e {

class Scenario {
public:
    explicit Scenario(std::string serverName) : server_(std::move(serverName)) {}

    const std::string& ServerName() const { return server_; }
    const std::string& PipeDir() const { return dir_.Path(); }
    // The listening socket file of `client`'s pipe at this server.
    std::string SocketOf(const std::string& client) const {
        return dir_.Path() + "/" + server_ + "_heartbeat@" + client;
    }
    std::vector<std::string> Env(const std::string& procName) const {
        return {"LUMO_PIPE_DIR=" + dir_.Path(), "PROC_NAME=" + procName};
    }

    std::unique_ptr<Process> StartServer(std::vector<std::string> args) const {
        args.insert(args.begin(), HB_E2E_SERVER);
        return Start(args, Env(server_));
    }
    // A client with --timeout-times 2 unless `extra` says otherwise.
    std::unique_ptr<Process> StartClient(const std::string& name, std::vector<std::string> extra = {},
                                         bool events = true) const {
        std::vector<std::string> args = {HB_E2E_CLIENT, "--name", name, "--server", server_,
                                         "--timeout-times", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Start(args, Env(name), events);
    }

private:
    TempDir dir_;
    std::string server_;
};

// Readers for the server's events (see hb_server.cpp).
inline bool IsBeat(const Event& event, const std::string& client) {
    return event.kind == "beat" && !event.args.empty() && event.args[0] == client;
}
inline bool IsReport(const Event& event, const std::string& client, int isLost) {
    return event.kind == "report" && event.args.size() == 3 && event.args[0] == client &&
           std::atoi(event.args[2].c_str()) == isLost;
}
inline int ReportedPid(const Event& report) { return std::atoi(report.args[1].c_str()); }
inline uint32_t BeatOrder(const Event& beat) { return static_cast<uint32_t>(std::stoul(beat.args[2])); }
inline int64_t BeatSendTime(const Event& beat) { return std::stoll(beat.args[3]); }
inline bool BeatDogFailed(const Event& beat) { return beat.args[4] == "1"; }

inline std::vector<Event> Matching(const std::vector<Event>& events, bool (*match)(const Event&, const std::string&),
                                   const std::string& client) {
    std::vector<Event> found;
    for (const Event& event : events) {
        if (match(event, client)) {
            found.push_back(event);
        }
    }
    return found;
}
inline std::vector<Event> BeatsOf(const Process& server, const std::string& client) {
    return Matching(server.Events(), IsBeat, client);
}
inline std::vector<Event> ReportsAbout(const Process& server, const std::string& client) {
    return Matching(
        server.Events(),
        [](const Event& event, const std::string& name) {
            return event.kind == "report" && !event.args.empty() && event.args[0] == name;
        },
        client);
}

}  // namespace e2e

#endif  // TESTS_E2E_HARNESS_SCENARIO_H_
