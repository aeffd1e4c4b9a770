#include "tools/cli_args.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#ifndef HEARTBEAT_VERSION
#define HEARTBEAT_VERSION "unknown"
#endif

namespace hbtools {
namespace {

constexpr char kMonitorTool[] = "heartbeat-monitor";

void AddIfError(ParseResult* result, const std::string& error) {
    if (!error.empty()) {
        result->errors.push_back(error);
    }
}

// "NAME" or "NAME:GID"; the last colon separates the group, so a name with a
// colon in it is given with its group ("a:b:0").
void ParseClient(const std::string& arg, MonitorOptions* options, ParseResult* result) {
    ClientSpec client;
    const std::size_t colon = arg.rfind(':');
    client.name = arg.substr(0, colon);
    if (colon != std::string::npos) {
        uint32_t gid = 0;
        if (!ParseUint32(arg.substr(colon + 1), &gid)) {
            result->errors.push_back(std::string(kMonitorTool) + ": group id of client " +
                                     Quote(Shorten(arg)) +
                                     " must be a number from 0 to 4294967295");
            return;
        }
        client.gid = gid;
    }
    const std::string error = CheckName(kMonitorTool, "client name", client.name);
    if (!error.empty()) {
        result->errors.push_back(error);
        return;
    }
    options->clients.push_back(client);
}

}  // namespace

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string Shorten(const std::string& text) {
    constexpr std::size_t kShown = 16;
    return text.size() <= kShown ? text : text.substr(0, kShown) + "...";
}

std::string CheckName(const char* tool, const std::string& what, const std::string& name) {
    if (name.empty()) {
        return std::string(tool) + ": " + what + " is empty";
    }
    if (name.find('\0') != std::string::npos) {
        return std::string(tool) + ": " + what + " contains a NUL byte";
    }
    if (name.size() > kMaxNameLength) {
        return std::string(tool) + ": " + what + " " + Quote(Shorten(name)) + " is too long (" +
               std::to_string(name.size()) + " characters, at most " +
               std::to_string(kMaxNameLength) + ")";
    }
    return std::string();
}

bool ParseUint32(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10U + static_cast<uint64_t>(c - '0');
    }
    if (number > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

ParseResult ParseMonitorArgs(int argc, const char* const argv[], MonitorOptions* options) {
    ParseResult result;
    // Help and version win over everything else, as with heartbeat-send;
    // after "--" they are client names.
    for (int i = 1; i < argc && argv[i] != nullptr && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            result.status = ParseStatus::kHelp;
            return result;
        }
        if (arg == "-V" || arg == "--version") {
            result.status = ParseStatus::kVersion;
        }
    }
    if (result.status == ParseStatus::kVersion) {
        return result;
    }

    const std::string tool = kMonitorTool;
    CLI::App app("", kMonitorTool);
    app.set_help_flag();
    app.allow_extras();  // unknown options get their own lines below
    app.set_config("--config");
    app.allow_config_extras(CLI::config_extras_mode::error);
    std::vector<std::string> clients;
    std::string grace;
    std::string hookTimeout;
    app.add_option("--name", options->name);
    app.add_flag("--json", options->json);
    app.add_option("--on-lost", options->onLost);
    app.add_option("--on-recovered", options->onRecovered);
    app.add_option("--startup-grace", grace);
    app.add_option("--hook-timeout", hookTimeout);
    app.add_option("--metrics-file", options->metricsFile);
    app.add_option("clients", clients);
    CLI::App* status = app.add_subcommand("status");
    status->allow_extras();
    status->add_option("--name", options->name);
    status->add_flag("--json", options->json);
    try {
        app.parse(argc, argv);
    } catch (const CLI::FileError& error) {
        result.errors.push_back(tool + ": cannot read the config file (" + error.what() + ")");
    } catch (const CLI::ParseError& error) {
        result.errors.push_back(tool + ": " + error.what());
    }
    options->status = status->parsed();
    if (app.get_config_ptr()->count() > 0) {
        options->configFile = app.get_config_ptr()->as<std::string>();
    }
    for (const std::string& extra : app.remaining(true)) {
        if (extra == "--") {
            continue;
        }
        result.errors.push_back(tool + (extra.size() > 1 && extra[0] == '-' ? ": unknown option "
                                                                             : ": unexpected argument ") +
                                Quote(Shorten(extra)));
    }
    if (!result.errors.empty()) {
        result.status = ParseStatus::kUsage;
        return result;
    }

    if (app.count("--name") + status->count("--name") > 0) {
        AddIfError(&result, CheckName(kMonitorTool, "name for --name", options->name));
    }
    const auto seconds = [&](const std::string& option, const std::string& text, uint32_t low, uint32_t* value) {
        if (app.count(option) > 0 && (!ParseUint32(text, value) || *value < low)) {
            result.errors.push_back(tool + ": " + option + " needs a number of seconds from " + std::to_string(low) +
                                    " to 4294967295, not " + Quote(Shorten(text)));
        }
    };
    seconds("--startup-grace", grace, 0, &options->startupGraceS);
    seconds("--hook-timeout", hookTimeout, 1, &options->hookTimeoutS);
    if (options->status) {
        if (!clients.empty()) {
            result.errors.push_back(tool + ": status takes no clients");
        }
    } else if (clients.empty()) {
        result.errors.push_back(tool + ": no client to watch (give NAME[:GID] arguments or clients in --config)");
    }
    for (const std::string& client : clients) {
        ParseClient(client, options, &result);
    }
    if (!result.errors.empty()) {
        result.status = ParseStatus::kUsage;
    }
    return result;
}

std::string MonitorUsage() {
    return "Usage: heartbeat-monitor [OPTIONS] CLIENT[:GID]...\n"
           "       heartbeat-monitor --config FILE [OPTIONS]\n"
           "       heartbeat-monitor status [--name NAME] [--json]\n"
           "Watches the heartbeats of the named clients and prints a line for every loss,\n"
           "every recovery and every client missing at startup; `status` asks a running\n"
           "monitor for the state of each of its clients.\n"
           "\n"
           "  --name NAME            this process's name; clients send to NAME's heartbeat\n"
           "                         pipe (default: $PROC_NAME, else the command name)\n"
           "  --json                 print one JSON object per event:\n"
           "                         {\"time\":...,\"event\":\"lost\"|\"recovered\"|\"missing\",\n"
           "                          \"client\":...,\"pid\":...,\"cause\":...}\n"
           "  --on-lost CMD          run CMD with /bin/sh -c after a loss or a missing client\n"
           "  --on-recovered CMD     run CMD with /bin/sh -c after a recovery\n"
           "                         (with HEARTBEAT_EVENT, HEARTBEAT_CLIENT, HEARTBEAT_PID\n"
           "                         and, for a loss, HEARTBEAT_CAUSE set; at most one per\n"
           "                         client per check cycle)\n"
           "  --hook-timeout S       kill a command still running after S seconds (default 10)\n"
           "  --startup-grace S      report a client that sent nothing S seconds after it was\n"
           "                         registered as missing (default 30)\n"
           "  --metrics-file PATH    rewrite PATH every check cycle in Prometheus text format\n"
           "  --config FILE          read options from FILE (TOML or INI: the long option\n"
           "                         names as keys, clients = [\"alpha\", \"beta:1002\"]);\n"
           "                         the command line overrides it, SIGHUP reads it again\n"
           "  CLIENT[:GID]           a client name (at most 99 characters) and the group of its\n"
           "                         pipe (default 0: this process's group)\n"
           "  -h, --help             print this help and exit\n"
           "  -V, --version          print the version and exit\n"
           "\n"
           "A loss carries its cause: exited, stopped, hung or watchdog. SIGINT or SIGTERM\n"
           "stops all checks and exits with 0. Exit status: 0 success, 1 runtime failure\n"
           "(a client could not be watched; for status: no monitor of that name runs),\n"
           "2 bad arguments.\n";
}

std::string VersionLine(const std::string& tool) {
    return tool + " (libheartbeat) " + HEARTBEAT_VERSION + "\n";
}

int FinishParse(const ParseResult& parsed, const std::string& tool, const std::string& usage) {
    switch (parsed.status) {
    case ParseStatus::kHelp:
        std::fputs(usage.c_str(), stdout);
        return kExitOk;
    case ParseStatus::kVersion:
        std::fputs(VersionLine(tool).c_str(), stdout);
        return kExitOk;
    case ParseStatus::kUsage:
        for (const std::string& error : parsed.errors) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
        return kExitUsage;
    case ParseStatus::kRun:
        break;
    }
    return -1;
}

}  // namespace hbtools
