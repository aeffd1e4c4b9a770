// What the end-to-end helper programs share: event lines on stdout, the
// library's log lines, a storm of signals, command lines on stdin and the
// figures of the process (descriptors, threads, memory, CPU).
//
// Every event line is "<monotonic ms> <kind> <fields...>\n", written with one
// write() so that lines of different threads never interleave.
#ifndef TESTS_E2E_HELPERS_HELPER_UTIL_H_
#define TESTS_E2E_HELPERS_HELPER_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace helper {

int64_t MonoMs();

// Writes one event line; printf-style fields after the kind.
void Emit(const char* kind, const char* format = "", ...) __attribute__((format(printf, 2, 3)));

// The library's syslog lines are counted; those containing one of these
// parts are also emitted as "log <text>". Set before the first line.
void ForwardLogLinesContaining(std::vector<std::string> parts);
uint64_t LogLineCount();

// Sends SIGUSR1 to every thread of the process once a millisecond, each by a
// timer of its own; the handler only counts. Installed without SA_RESTART, so
// every blocking call of every thread is interrupted again and again.
void StartSignalStorm();
void StopSignalStorm();
uint64_t SignalsHandled();

// Ids of the threads of this process whose name is `name` ("" for all).
std::vector<pid_t> ThreadsNamed(const std::string& name);

// Figures of this process.
int CountOpenDescriptors();
int CountThreads();
long ResidentKb();
int64_t CpuMs();  // user + system

// The next line of stdin without its newline; false at end of input.
// Interrupted reads are resumed.
bool ReadCommand(std::string* line);

}  // namespace helper

#endif  // TESTS_E2E_HELPERS_HELPER_UTIL_H_
