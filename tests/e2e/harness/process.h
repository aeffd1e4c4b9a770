// Real processes for the end-to-end and load tests: start a helper program
// with its own environment, talk to it through stdin, collect the event lines
// it prints ("<monotonic ms> <kind> <fields...>"), kill it and wait for it.
#ifndef TESTS_E2E_HARNESS_PROCESS_H_
#define TESTS_E2E_HARNESS_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using std::chrono::milliseconds;

// CLOCK_MONOTONIC in milliseconds: the clock of the helpers' event lines and
// of the library's sendTime.
int64_t NowMs();

// A private directory, removed with its content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

struct Event {
    int64_t ms = 0;                  // when the helper printed it
    std::string kind;                // "beat", "report", ...
    std::vector<std::string> args;   // the remaining fields, split at spaces
    std::string text;                // everything after the kind
};

class Process {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=VALUE, added to or replacing the test's own
        bool events = true;            // collect stdout as events; else it goes to /dev/null
    };

    Process(const std::vector<std::string>& argv, const Options& options);
    ~Process();  // kills a process that still runs and reaps it
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Kill(int signal);
    // Waits for the end; the wait status, or nullopt when `limit` passed first.
    std::optional<int> Wait(milliseconds limit);
    // True when it ended with exit code 0 within `limit`.
    bool ExitsCleanly(milliseconds limit);

    bool Send(const std::string& line);  // one command line on its stdin
    void CloseInput();

    std::vector<Event> Events() const;
    size_t EventCount() const;
    // The first event from index `from` on that matches, waiting up to `limit`.
    std::optional<Event> WaitFor(const std::function<bool(const Event&)>& match, milliseconds limit,
                                 size_t from = 0) const;
    std::optional<Event> WaitForKind(const std::string& kind, milliseconds limit, size_t from = 0) const;

private:
    void ReadEvents(int fd);

    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex mutex_;  // guards events_ and ended_
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
    bool ended_ = false;
};

// Shorthand for the helper programs of these tests.
std::unique_ptr<Process> Start(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env, bool events = true);

}  // namespace e2e

#endif  // TESTS_E2E_HARNESS_PROCESS_H_
