// Real processes for the end-to-end and load tests: the helper program
// started with its own environment, lines of names to watch on its stdin, the
// event lines it prints ("<monotonic ms> <kind> <fields...>", see
// hb_helper.cpp) in a file that the test reads back, and one way to wait.
#ifndef TESTS_E2E_HARNESS_H_
#define TESTS_E2E_HARNESS_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/polling.h"

namespace e2e {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Words = std::vector<std::string>;

struct Event {
    int64_t ms = 0;  // CLOCK_MONOTONIC when the helper printed it, as the library's sendTime
    Words words;     // the kind, then the fields
    long Arg(size_t i) const { return std::stol(words.at(i)); }
};

// Polls `done` until it holds or `limit` has passed; whether it held. Every
// 20 ms: a poll may read a whole events file.
template <typename Done>
bool Within(Ms limit, Done done) { return polling::Eventually(done, limit, 20ms); }

class Process {
public:
    // The process's stdout goes to the file `events`.
    Process(Words argv, std::string events) : events_(std::move(events)) {
        signal(SIGPIPE, SIG_IGN);  // a helper that died must not take the test with it
        std::vector<char*> args;
        for (std::string& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        int in[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        // O_APPEND: the helper's threads each write whole lines.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, events_.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        EXPECT_EQ(posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        input_ = in[1];
    }
    ~Process() { Kill(SIGKILL); Quits(10s); }
    pid_t Pid() const { return pid_; }
    void Kill(int signal) { if (!status_) kill(pid_, signal); }
    // Closes its stdin; whether it then exited with status 0 within `limit`.
    bool Quits(Ms limit) {
        close(std::exchange(input_, -1));  // a second time closes -1: EBADF
        Within(limit, [this] {
            int status = 0;
            if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
            return status_.has_value();
        });
        return status_ && WIFEXITED(*status_) && WEXITSTATUS(*status_) == 0;
    }
    // The whole lines from index `from` on whose first words are `match`.
    std::vector<Event> Select(const Words& match, size_t from = 0) const {
        std::vector<Event> found;
        std::ifstream file(events_);
        size_t index = 0;
        for (std::string text; std::getline(file, text) && !file.eof(); ++index) {
            Event event;
            std::istringstream line(text);
            line >> event.ms;
            for (std::string word; line >> word;) event.words.push_back(word);
            if (index >= from && event.words.size() >= match.size() &&
                std::equal(match.begin(), match.end(), event.words.begin()))
                found.push_back(std::move(event));
        }
        return found;
    }
    std::optional<Event> WaitFor(const Words& match, Ms limit, size_t from = 0) const {
        std::vector<Event> found;
        Within(limit, [&] { return !(found = Select(match, from)).empty(); });
        return found.empty() ? std::nullopt : std::optional<Event>(found.front());
    }
    // Sends a line of the names to watch from now on; the answer's "rc=<rc>",
    // or "" if none came.
    std::string Ask(const std::string& names, Ms limit = 30s) {
        const size_t from = Select({}).size();
        const std::string line = names + "\n";
        if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
        const auto done = WaitFor({"done"}, limit, from);
        return done ? done->words.at(1) : "";
    }
    // Open descriptors and threads, from /proc.
    std::pair<size_t, size_t> Use() const {
        const std::string proc = "/proc/" + std::to_string(pid_);
        return {polling::Count(proc + "/fd"), polling::Count(proc + "/task")};
    }

private:
    std::string events_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

// A private pipe directory and a server named `server` with its clients.
struct Scenario {
    explicit Scenario(std::string name) : server(std::move(name)) {
        EXPECT_NE(mkdtemp(&dir[0]), nullptr);
    }
    ~Scenario() { std::filesystem::remove_all(dir); }
    std::string server, dir = "/tmp/hb-e2e-XXXXXX";
    int started = 0;
    // hb_helper DIR SERVER ROLE ARGS... (see hb_helper.cpp), its events in a file of its own.
    std::unique_ptr<Process> Start(Words args) {
        args.insert(args.begin(), {HB_E2E_HELPER, dir, server});
        return std::make_unique<Process>(args, dir + "/events-" + std::to_string(++started));
    }
};

}  // namespace e2e

#endif  // TESTS_E2E_HARNESS_H_
