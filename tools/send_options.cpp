#include "tools/send_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#ifndef HEARTBEAT_VERSION
#define HEARTBEAT_VERSION "unknown"
#endif

namespace hbsend {
namespace {

constexpr char kTool[] = "heartbeat-send: ";
using hbtools::ParseUint32;
using hbtools::Quote;
using hbtools::Shorten;
// Longer than any time-out that makes sense, short enough that milliseconds
// never overflow anywhere.
constexpr uint64_t kMaxPingTimeoutMs = 86400ULL * 1000ULL;

// Seconds as "S", "S." or "S.F" with at most three decimals; no sign, no
// exponent, nothing a locale could change.
bool ParseSeconds(const std::string& text, uint64_t* ms) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    auto digits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && fraction.empty()) || whole.size() > 9 || fraction.size() > 3 ||
        !digits(whole) || !digits(fraction)) {
        return false;
    }
    uint64_t value = whole.empty() ? 0 : std::stoull(whole) * 1000U;
    uint64_t scale = 100;
    for (char c : fraction) {
        value += static_cast<uint64_t>(c - '0') * scale;
        scale /= 10;
    }
    if (value == 0 || value > kMaxPingTimeoutMs) {
        return false;
    }
    *ms = value;
    return true;
}

void ParseNotifyMessages(const std::vector<std::string>& args, SendOptions* options,
                         ParseResult* result) {
    for (const std::string& message : args) {
        // One datagram carries the messages one per line, so a line break
        // inside one would smuggle in another.
        if (message.find('=') == std::string::npos || message[0] == '=' ||
            message.find('\n') != std::string::npos) {
            result->errors.push_back(kTool + std::string("notify message ") +
                                     Quote(Shorten(message)) + " is not VARIABLE=VALUE");
        } else {
            options->messages.push_back(message);
        }
    }
    if (args.empty()) {
        result->errors.push_back(kTool +
                                 std::string("notify needs at least one MESSAGE (such as WATCHDOG=1)"));
    }
    result->mode = result->errors.empty() ? Mode::kNotify : Mode::kUsage;
}

}  // namespace

ParseResult ParseSendCommandLine(int argc, const char* const argv[], SendOptions* options) {
    ParseResult result;
    // Everything after the first "--" is the command, untouched: CLI11 only
    // sees the options before it.
    std::vector<std::string> args;
    bool dashDash = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] == nullptr ? std::string() : std::string(argv[i]);
        if (!dashDash && arg == "--") {
            dashDash = true;
        } else {
            (dashDash ? options->command : args).push_back(arg);
        }
    }
    const auto given = [&args](const char* a, const char* b) {
        return std::find_if(args.begin(), args.end(), [&](const std::string& s) {
                   return s == a || s == b;
               }) != args.end();
    };
    if (given("-h", "--help")) {
        result.mode = Mode::kHelp;
        return result;
    }
    if (given("-V", "--version")) {
        result.mode = Mode::kVersion;
        return result;
    }
    if (!args.empty() && args[0] == "notify") {
        args.erase(args.begin());
        args.insert(args.end(), options->command.begin(), options->command.end());
        options->command.clear();
        ParseNotifyMessages(args, options, &result);
        return result;
    }

    CLI::App app;
    app.set_help_flag();  // handled above, so that help wins over errors
    app.allow_extras();   // reported below, one line each
    std::string timeoutText;
    std::string pingText;
    const auto takeLast = CLI::MultiOptionPolicy::TakeLast;
    CLI::Option* nameOpt = app.add_option("--name", options->name)->multi_option_policy(takeLast);
    CLI::Option* serverOpt = app.add_option("--server", options->server)->multi_option_policy(takeLast);
    CLI::Option* timeoutOpt = app.add_option("--timeout-times", timeoutText)->multi_option_policy(takeLast);
    CLI::Option* checkOpt = app.add_option("--check", options->check)->multi_option_policy(takeLast);
    CLI::Option* pingOpt = app.add_option("--ping-timeout", pingText)->multi_option_policy(takeLast);
    app.add_flag("--notify", options->notify);
    const std::vector<CLI::Option*> valued = {nameOpt, serverOpt, timeoutOpt, checkOpt, pingOpt};

    // CLI11 would take the next argument as the value even when it is an
    // option; "--name --server S" is almost always a forgotten name, and no
    // name or command of this tool starts with "--" (the "=" form still
    // passes one on purpose). Such an option is reported and left out.
    std::vector<std::string> passed;
    std::vector<std::string> valueless;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool takesValue = std::any_of(valued.begin(), valued.end(), [&](const CLI::Option* option) {
            return option->get_name() == args[i];
        });
        if (takesValue && (i + 1 == args.size() || args[i + 1].rfind("--", 0) == 0)) {
            result.errors.push_back(kTool + std::string("option ") + Quote(args[i]) + " needs a value");
            valueless.push_back(args[i]);
        } else {
            passed.push_back(args[i]);
        }
    }
    std::vector<std::string> reversed(passed.rbegin(), passed.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        // A value missing ("--name --server S") stops CLI11 at once; its
        // message starts with the option's name.
        const std::string what = error.what();
        std::string line = what;
        for (const CLI::Option* option : valued) {
            const std::string optionName = option->get_name();
            if (what.rfind(optionName + ":", 0) == 0) {
                line = "option " + Quote(optionName) + " needs a value";
            }
        }
        result.errors.push_back(kTool + line);
        result.mode = Mode::kUsage;
        return result;  // CLI11 stops at such an error, so this is all it found
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') {
            result.errors.push_back(kTool + std::string("unknown option ") +
                                    Quote(Shorten(extra.substr(0, extra.find('=')))));
        } else {
            result.errors.push_back(kTool + std::string("unexpected argument ") +
                                    Quote(Shorten(extra)) + " (a command goes after '--')");
        }
    }
    for (const auto& [option, what, value] :
         {std::make_tuple(nameOpt, "name for --name", &options->name),
          std::make_tuple(serverOpt, "server name for --server", &options->server)}) {
        const bool mentioned = std::find(valueless.begin(), valueless.end(), option->get_name()) != valueless.end();
        const std::string error = mentioned ? std::string()
                                  : option->count() == 0
                                      ? kTool + std::string("missing option ") + option->get_name()
                                      : hbtools::CheckName("heartbeat-send", what, *value);
        if (!error.empty()) {
            result.errors.push_back(error);
        }
    }
    if (timeoutOpt->count() != 0 && !ParseUint32(timeoutText, &options->timeoutTimes)) {
        result.errors.push_back(kTool +
                                std::string("--timeout-times needs a number from 0 to 4294967295, not ") +
                                Quote(Shorten(timeoutText)));
    }
    if (checkOpt->count() != 0 && options->check.empty()) {
        result.errors.push_back(kTool + std::string("--check needs a shell command"));
    }
    if (pingOpt->count() != 0) {
        if (!options->notify) {
            result.errors.push_back(kTool + std::string("--ping-timeout needs --notify"));
        } else if (!ParseSeconds(pingText, &options->pingTimeoutMs)) {
            result.errors.push_back(kTool +
                                    std::string("--ping-timeout needs seconds from 0.001 to 86400, not ") +
                                    Quote(Shorten(pingText)));
        }
    }
    if (dashDash && options->command.empty()) {
        result.errors.push_back(kTool + std::string("no command after '--'"));
    } else if (!dashDash && (options->notify || checkOpt->count() != 0)) {
        result.errors.push_back(kTool + std::string(options->notify ? "--notify" : "--check") +
                                " needs a command to watch (after '--')");
    }
    if (!result.errors.empty()) {
        result.mode = Mode::kUsage;
    }
    return result;
}

uint32_t EffectiveTimeoutTimes(const SendOptions& options) {
    return options.timeoutTimes != 0 ? options.timeoutTimes : kDefaultTimeoutTimes;
}

uint64_t WatchdogTimeoutMs(const SendOptions& options) {
    return static_cast<uint64_t>(EffectiveTimeoutTimes(options)) * kCycleMs;
}

uint64_t PingTimeoutMs(const SendOptions& options) {
    return options.pingTimeoutMs != 0 ? options.pingTimeoutMs : WatchdogTimeoutMs(options);
}

std::string SendUsageText() {
    return "Usage: heartbeat-send --name NAME --server SERVER [--timeout-times N]\n"
           "                      [--check CMD] [--notify [--ping-timeout SECONDS]]\n"
           "                      [-- COMMAND [ARG...]]\n"
           "       heartbeat-send notify VARIABLE=VALUE...\n"
           "Sends a heartbeat every 3 seconds as NAME to SERVER's heartbeat pipe, for\n"
           "COMMAND while it is healthy, or for itself when no command is given.\n"
           "\n"
           "  --name NAME          this client's name (at most 99 characters)\n"
           "  --server SERVER      the checking process's name (at most 99 characters)\n"
           "  --timeout-times N    silent check cycles after which SERVER declares NAME lost\n"
           "                       (0 or absent: the library's default, 10)\n"
           "  --check CMD          run CMD with /bin/sh -c every cycle (at most 2 s, with\n"
           "                       HEARTBEAT_PID set to COMMAND's pid); a cycle whose CMD\n"
           "                       fails or times out sends no heartbeat\n"
           "  --notify             COMMAND speaks the service notification protocol: it\n"
           "                       gets NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID;\n"
           "                       heartbeats start with READY=1 and need WATCHDOG=1 pings;\n"
           "                       WATCHDOG=trigger reports a loss, STOPPING=1 stops sending\n"
           "  --ping-timeout SECONDS  no heartbeat once the last ping is older than this\n"
           "                       (default: WATCHDOG_USEC, N times 3 seconds)\n"
           "  -- COMMAND [ARG...]  run COMMAND as a child in its own process group; it gets\n"
           "                       SIGTERM when this tool dies, and SIGINT, SIGTERM and\n"
           "                       SIGHUP sent to this tool; its pid goes on the wire\n"
           "  notify MESSAGE...    send the messages to $NOTIFY_SOCKET (for scripts)\n"
           "  -h, --help           print this help and exit\n"
           "  -V, --version        print the version and exit\n"
           "\n"
           "A heartbeat goes out only while COMMAND exists and is not stopped or traced,\n"
           "and passes --check and --notify when given. COMMAND starts at once; while\n"
           "SERVER is not there, this tool keeps trying. Without a command it sends until\n"
           "SIGINT, SIGTERM or SIGHUP and exits with 0 (1 when SERVER stays away for a\n"
           "cycle). With one, it exits with COMMAND's status (128+N when signal N ended it;\n"
           "127 when it was not found, 126 when it could not be run). Exit status\n"
           "otherwise: 1 runtime failure, 2 bad arguments.\n";
}

std::string SendVersionLine() {
    return std::string("heartbeat-send (libheartbeat) ") + HEARTBEAT_VERSION + "\n";
}

}  // namespace hbsend
