// heartbeat-monitor's command line, and the exit codes and name rule that
// heartbeat-send shares.
//
// The monitor's options are read with CLI11, which also reads them from a
// TOML or INI file (--config). Parsing is kept apart from the main loop so
// that every rule below is testable without starting the tool. A parser never prints and never exits: it
// returns what it found, and for every bad argument one line of text (without
// a trailing newline) that the tool writes to stderr before it exits with
// kExitUsage.
#ifndef TOOLS_CLI_ARGS_H_
#define TOOLS_CLI_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hbtools {

// Exit codes of both tools.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a runtime failure: the library refused, a system call failed
constexpr int kExitUsage = 2;    // a bad command line

// The library takes a name with its length and accepts it only when
// strnlen(name, 100) equals that length, so 99 characters is the longest name
// that reaches it unchanged. Longer names are refused here rather than cut.
constexpr std::size_t kMaxNameLength = 99;

enum class ParseStatus {
    kRun,      // options are complete: run the tool
    kHelp,     // --help: print the usage text, exit kExitOk
    kVersion,  // --version: print the version line, exit kExitOk
    kUsage,    // bad arguments: print `errors`, one per line, exit kExitUsage
};

// One client to watch: "NAME" or "NAME:GID".
struct ClientSpec {
    std::string name;
    unsigned int gid = 0;  // 0: the pipe gets the monitor's own group
};

struct MonitorOptions {
    bool status = false;  // `heartbeat-monitor status`: ask a running monitor
    std::string name;  // empty: keep the process name the library finds itself
    std::vector<ClientSpec> clients;
    bool json = false;
    std::string onLost;       // shell command run after a loss, empty for none
    std::string onRecovered;  // shell command run after a recovery, empty for none
    uint32_t startupGraceS = 30;  // a client silent this long after registration is missing
    uint32_t hookTimeoutS = 10;   // a hook running longer is killed
    std::string metricsFile;      // empty: none
    std::string configFile;       // empty: none
};

struct ParseResult {
    ParseStatus status = ParseStatus::kRun;
    std::vector<std::string> errors;  // one line per bad argument, set with kUsage
};

// argv[0] is the program name and is not parsed. Help and version win over
// errors: `tool --bogus --help` prints the help. Every bad argument gets its
// own line, except that the monitor's parse stops at an option it cannot
// read (a missing or malformed value, an unreadable config file). A monitor
// option given on the command line overrides the same key of its --config
// file; clients given on the command line replace the file's list.
ParseResult ParseMonitorArgs(int argc, const char* const argv[], MonitorOptions* options);

// Usage texts (several lines, ending with a newline) and the one-line versions.
std::string MonitorUsage();
std::string VersionLine(const std::string& tool);

// Finishes a parse that does not run the tool: prints the usage text, the
// version line or the errors and returns the exit status; -1 for kRun.
int FinishParse(const ParseResult& parsed, const std::string& tool, const std::string& usage);

// A decimal number without sign, blanks or excess over UINT32_MAX; false for
// anything else (the value is then untouched).
bool ParseUint32(const std::string& text, uint32_t* value);

// The pieces of both tools' error lines. Quote puts a value in single quotes;
// Shorten cuts it to its first 16 characters, since a long argument makes an
// unreadable line and its start is enough to find it.
std::string Quote(const std::string& text);
std::string Shorten(const std::string& text);

// Empty when `name` can go to the library unchanged, else the error line
// "<tool>: <what> is empty", "... contains a NUL byte" or "... is too long".
std::string CheckName(const char* tool, const std::string& what, const std::string& name);

}  // namespace hbtools

#endif  // TOOLS_CLI_ARGS_H_
