// heartbeat-send's command line.
//
// Parsing is kept apart from the tool's main loop so that every rule is
// testable without starting the tool. The parser never prints and never
// exits: it returns what it found and, for every bad argument, one line of
// text (without a trailing newline) that the tool writes to stderr before it
// exits with kExitUsage.
#ifndef TOOLS_SEND_OPTIONS_H_
#define TOOLS_SEND_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli_args.h"

namespace hbsend {

// Exit codes of the tool; with a command it exits with the command's status
// instead (126 and 127 when the command cannot be run, as a shell does).
using hbtools::kExitFailure;  // a runtime failure
using hbtools::kExitOk;
using hbtools::kExitUsage;  // a bad command line
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;

using hbtools::kMaxNameLength;  // the longest name the library takes unchanged
// The checking side's cycle, and the default loss threshold in cycles.
constexpr uint64_t kCycleMs = 3000;
constexpr uint32_t kDefaultTimeoutTimes = 10;
// The time a --check command gets per cycle: its heartbeat still goes out
// within the cycle.
constexpr uint64_t kCheckLimitMs = 2000;

enum class Mode {
    kSend,     // send heartbeats (for a command, or until stopped)
    kNotify,   // "notify MESSAGE...": one message to $NOTIFY_SOCKET
    kHelp,     // print the usage text, exit kExitOk
    kVersion,  // print the version line, exit kExitOk
    kUsage,    // bad arguments: print `errors`, one per line, exit kExitUsage
};

struct SendOptions {
    std::string name;
    std::string server;
    uint32_t timeoutTimes = 0;         // as given; 0 stands for kDefaultTimeoutTimes
    std::string check;                 // --check: a shell command run every cycle, empty for none
    bool notify = false;               // --notify: the command speaks the notification protocol
    uint64_t pingTimeoutMs = 0;        // --ping-timeout; 0: not given (the watchdog time-out)
    std::vector<std::string> command;  // after "--"; empty: send until a signal
    std::vector<std::string> messages; // Mode::kNotify: the messages, one per argument
};

struct ParseResult {
    Mode mode = Mode::kSend;
    std::vector<std::string> errors;  // one line per bad argument, with kUsage
};

// argv[0] is the program name and is not parsed. Help and version win over
// errors; parsing goes on after a bad value so that each gets its own line.
ParseResult ParseSendCommandLine(int argc, const char* const argv[], SendOptions* options);

// The loss threshold that the records carry and the watchdog time-out derived
// from it: the time after which the checking side declares the client lost.
uint32_t EffectiveTimeoutTimes(const SendOptions& options);
uint64_t WatchdogTimeoutMs(const SendOptions& options);
uint64_t PingTimeoutMs(const SendOptions& options);

std::string SendUsageText();
std::string SendVersionLine();

}  // namespace hbsend

#endif  // TOOLS_SEND_OPTIONS_H_
