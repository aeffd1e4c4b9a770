// Real processes for the end-to-end and load tests: the helper program
// started with its own environment, commands on its stdin, the event lines it
// prints ("<monotonic ms> <kind> <fields...>", see hb_helper.cpp) in a file
// that the test reads back, and one way to wait for them.
#ifndef TESTS_E2E_HARNESS_H_
#define TESTS_E2E_HARNESS_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct Event {
    int64_t ms = 0;  // CLOCK_MONOTONIC when the helper printed it, as the library's sendTime
    std::string kind;
    std::string text;               // everything after the kind
    std::vector<std::string> args;  // text split at spaces
    long Arg(size_t i) const { return std::stol(args.at(i)); }
};
using Match = std::function<bool(const Event&)>;

inline Match Kind(const std::string& kind) { return [kind](const Event& e) { return e.kind == kind; }; }
inline Match Beat(const std::string& c) { return [c](const Event& e) { return e.kind == "beat" && e.args[0] == c; }; }
// isLost -1: either report.
inline Match Report(const std::string& client, int isLost = -1) {
    return [client, isLost](const Event& e) {
        return e.kind == "report" && e.args[0] == client && (isLost < 0 || e.Arg(2) == isLost);
    };
}

class Process {
public:
    // The process's stdout goes to the file `events`.
    Process(std::vector<std::string> argv, std::string events) : events_(std::move(events)) {
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
    ~Process() { Kill(SIGKILL); ExitsCleanly(10s); CloseInput(); }
    pid_t Pid() const { return pid_; }
    void Kill(int signal) { if (!status_) kill(pid_, signal); }
    // Whether it exited with status 0 within `limit`; afterwards, it is reaped.
    bool ExitsCleanly(Ms limit) {
        for (const auto until = Clock::now() + limit; !status_ && Clock::now() < until;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
            std::this_thread::sleep_for(10ms);
        }
        return status_ && WIFEXITED(*status_) && WEXITSTATUS(*status_) == 0;
    }
    bool Send(const std::string& line) {
        return write(input_, (line + "\n").data(), line.size() + 1) == static_cast<ssize_t>(line.size() + 1);
    }
    void CloseInput() { close(std::exchange(input_, -1)); }  // a second time closes -1: EBADF
    // The whole lines from index `from` on that match (all, if `match` is
    // empty), waiting up to `limit` for the first.
    std::vector<Event> Select(const Match& match, Ms limit = 0ms, size_t from = 0) const {
        for (const auto until = Clock::now() + limit;; std::this_thread::sleep_for(20ms)) {
            std::vector<Event> found;
            std::ifstream file(events_);
            size_t index = 0;
            for (std::string text; std::getline(file, text) && !file.eof(); ++index) {
                Event event;
                std::istringstream line(text);
                line >> event.ms >> event.kind >> std::ws;
                std::getline(line, event.text);
                std::istringstream fields(event.text);
                for (std::string field; fields >> field;) event.args.push_back(field);
                if (index >= from && (!match || match(event))) found.push_back(std::move(event));
            }
            if (!found.empty() || Clock::now() >= until) return found;
        }
    }
    std::optional<Event> WaitFor(const Match& match, Ms limit, size_t from = 0) const {
        const std::vector<Event> found = Select(match, limit, from);
        return found.empty() ? std::nullopt : std::optional<Event>(found.front());
    }
    // Sends a command and waits for the answer of `kind` that follows it.
    std::optional<Event> Ask(const std::string& command, const std::string& kind, Ms limit = 30s) {
        const size_t from = Select({}).size();
        return Send(command) ? WaitFor(Kind(kind), limit, from) : std::nullopt;
    }
    // Open descriptors, threads and resident kB, read from /proc.
    struct Usage { size_t fds, threads; long rssKb; };
    Usage Use() const {
        const std::string proc = "/proc/" + std::to_string(pid_);
        const auto entries = [](const std::string& path) {
            const auto it = std::filesystem::directory_iterator(path);
            return static_cast<size_t>(std::distance(begin(it), end(it)));
        };
        long pages = 0;
        std::ifstream(proc + "/statm") >> pages >> pages;  // the second figure: resident
        return {entries(proc + "/fd"), entries(proc + "/task"), pages * sysconf(_SC_PAGESIZE) / 1024};
    }

private:
    std::string events_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

inline std::vector<Event> Select(const Process& process, const Match& match) { return process.Select(match); }

// A private pipe directory and a server named `server` with its clients.
class Scenario {
public:
    explicit Scenario(std::string server) : server_(std::move(server)) {
        char pattern[] = "/tmp/hb-e2e-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~Scenario() { std::filesystem::remove_all(dir_); }
    // The listening socket file of `client`'s pipe at this server.
    std::string SocketOf(const std::string& client) const { return dir_ + "/" + server_ + "_heartbeat@" + client; }
    std::unique_ptr<Process> Server(std::vector<std::string> args) {
        args.insert(args.begin(), {HB_E2E_HELPER, dir_, server_, "server"});
        return Start(args);
    }
    std::unique_ptr<Process> Client(const std::string& name, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {HB_E2E_HELPER, dir_, name, "client", name, server_});
        return Start(args);
    }

private:
    std::unique_ptr<Process> Start(const std::vector<std::string>& args) {
        return std::make_unique<Process>(args, dir_ + "/events-" + std::to_string(++started_));
    }
    std::string server_;
    std::string dir_;
    int started_ = 0;
};

// A client's heartbeats came in order without a gap, each within 3 s of being
// sent, stamped 3 s plus at most 400 ms apart; the client was never reported.
inline void ExpectSteady(const Process& server, const std::string& client) {
    const auto beats = Select(server, Beat(client));
    EXPECT_GE(beats.size(), 3u) << client;
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].Arg(2), beats[i - 1].Arg(2) + 1) << client << " lost a heartbeat";
        EXPECT_LT(beats[i].ms - beats[i].Arg(3), 3000) << client << " held up";
        const long apart = beats[i].Arg(3) - beats[i - 1].Arg(3);
        EXPECT_TRUE(apart >= 3000 && apart <= 3400) << client << " sent " << apart << " ms after";
    }
    EXPECT_TRUE(Select(server, Report(client)).empty()) << client;
}

}  // namespace e2e

#endif  // TESTS_E2E_HARNESS_H_
