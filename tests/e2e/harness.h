// Real processes for the end-to-end and load tests: the helper program
// started with its own environment, commands on its stdin, the event lines
// it prints ("<monotonic ms> <kind> <fields...>", see hb_helper.cpp) collected
// by a reader thread, kills and waits with a time limit.
#ifndef TESTS_E2E_HARNESS_H_
#define TESTS_E2E_HARNESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
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

class Process {
public:
    // `env` entries override the test's own.
    Process(std::vector<std::string> argv, const std::vector<std::string>& env, bool events = true) {
        signal(SIGPIPE, SIG_IGN);  // a helper that died must not take the test with it
        // getenv() takes the first entry of a name: ours go before the test's own.
        std::vector<std::string> all = env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            all.push_back(*entry);
        }
        std::vector<char*> args;
        std::vector<char*> envp;
        for (std::string& arg : argv) {
            args.push_back(arg.data());
        }
        for (std::string& item : all) {
            envp.push_back(item.data());
        }
        args.push_back(nullptr);
        envp.push_back(nullptr);
        int in[2];
        int out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
        const int sink = events ? out[1] : open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(sink, STDOUT_FILENO);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (sink != out[1]) {
            close(sink);
        }
        input_ = in[1];
        reader_ = std::thread([this, fd = out[0]] {
            std::string pending;
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
                pending.append(buffer, static_cast<size_t>(n));
                for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                    std::istringstream line(pending.substr(0, end));
                    Event event;
                    line >> event.ms >> event.kind >> std::ws;
                    std::getline(line, event.text);
                    std::istringstream fields(event.text);
                    for (std::string field; fields >> field;) {
                        event.args.push_back(field);
                    }
                    std::lock_guard<std::mutex> lock(mutex_);
                    events_.push_back(std::move(event));
                }
            }
            close(fd);
        });
    }
    ~Process() {
        Kill(SIGKILL);
        Wait(10s);
        CloseInput();
        reader_.join();
    }
    pid_t Pid() const { return pid_; }
    void Kill(int signal) {
        if (!status_) {
            kill(pid_, signal);
        }
    }
    // The wait status, or nullopt when `limit` passed first.
    std::optional<int> Wait(Ms limit) {
        for (const auto until = Clock::now() + limit; !status_ && Clock::now() < until;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
        return status_;
    }
    bool ExitsCleanly(Ms limit) {
        const auto status = Wait(limit);
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    }
    bool Send(const std::string& line) {
        const std::string text = line + "\n";
        return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseInput() {
        if (input_ >= 0) {
            close(input_);
        }
        input_ = -1;
    }

    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Polls the events until `done` holds for them or `limit` passes.
    bool Until(const std::function<bool(const std::vector<Event>&)>& done, Ms limit) const {
        for (const auto until = Clock::now() + limit;; std::this_thread::sleep_for(20ms)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (done(events_)) {
                return true;
            }
            if (Clock::now() >= until) {
                return false;
            }
        }
    }
    // The first event from index `from` on that matches.
    std::optional<Event> WaitFor(const std::function<bool(const Event&)>& match, Ms limit, size_t from = 0) const {
        std::optional<Event> found;
        Until(
            [&](const std::vector<Event>& events) {
                for (size_t i = from; i < events.size() && !found; ++i) {
                    found = match(events[i]) ? std::optional<Event>(events[i]) : std::nullopt;
                }
                return found.has_value();
            },
            limit);
        return found;
    }
    std::optional<Event> WaitForKind(const std::string& kind, Ms limit, size_t from = 0) const {
        return WaitFor([&kind](const Event& e) { return e.kind == kind; }, limit, from);
    }
    // Sends a command and waits for the answer of `kind` that follows it.
    std::optional<Event> Ask(const std::string& command, const std::string& kind, Ms limit = 30s) {
        const size_t from = Events().size();
        return Send(command) ? WaitForKind(kind, limit, from) : std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex mutex_;  // guards events_
    std::vector<Event> events_;
};

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
    // The helper program named `procName`, with `args` after its own name.
    std::unique_ptr<Process> Helper(const std::string& procName, std::vector<std::string> args,
                                    bool events = true) const {
        args.insert(args.begin(), HB_E2E_HELPER);
        const std::vector<std::string> env = {"LUMO_PIPE_DIR=" + dir_, "PROC_NAME=" + procName};
        return std::make_unique<Process>(args, env, events);
    }
    std::unique_ptr<Process> Server(std::vector<std::string> args) const {
        args.insert(args.begin(), "server");
        return Helper(server_, args);
    }
    std::unique_ptr<Process> Client(const std::string& name, std::vector<std::string> extra = {},
                                    bool events = true) const {
        extra.insert(extra.begin(), {"client", name, server_});
        return Helper(name, extra, events);
    }

private:
    std::string server_;
    std::string dir_;
};

// Readers of the server's events.
inline std::function<bool(const Event&)> Beat(const std::string& client) {
    return [client](const Event& e) { return e.kind == "beat" && e.args[0] == client; };
}
inline std::function<bool(const Event&)> Report(const std::string& client, int isLost = -1) {
    return [client, isLost](const Event& e) {
        return e.kind == "report" && e.args[0] == client && (isLost < 0 || e.Arg(2) == isLost);
    };
}
inline std::vector<Event> Select(const Process& server, const std::function<bool(const Event&)>& match) {
    std::vector<Event> found;
    for (const Event& event : server.Events()) {
        if (match(event)) {
            found.push_back(event);
        }
    }
    return found;
}
// A client's heartbeats came in order without a gap, each within `heldMs` of
// being sent; the client was never reported.
inline void ExpectSteady(const Process& server, const std::string& client, int64_t heldMs = 3000) {
    const auto beats = Select(server, Beat(client));
    EXPECT_GE(beats.size(), 3u) << client;
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].Arg(2), beats[i - 1].Arg(2) + 1) << client << " lost a heartbeat";
        EXPECT_LT(beats[i].ms - beats[i].Arg(3), heldMs) << client << " held up";
    }
    EXPECT_TRUE(Select(server, Report(client)).empty()) << client;
}

}  // namespace e2e

#endif  // TESTS_E2E_HARNESS_H_
