#include "harness/process.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace e2e {

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/hb-e2e-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        nftw(path_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
             16, FTW_DEPTH | FTW_PHYS);
    }
}

Process::Process(const std::vector<std::string>& argv, const Options& options) {
    // A helper that died must not take the test with it when it is written to.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string item = *entry;
        const std::string key = item.substr(0, item.find('=') + 1);
        bool replaced = false;
        for (const std::string& mine : options.env) {
            replaced = replaced || mine.compare(0, key.size(), key) == 0;
        }
        if (!replaced) {
            env.push_back(item);
        }
    }
    env.insert(env.end(), options.env.begin(), options.env.end());

    int in[2];
    int out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || (options.events && pipe2(out, O_CLOEXEC) != 0)) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (options.events) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& item : env) {
        envp.push_back(const_cast<char*>(item.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];
    if (options.events) {
        close(out[1]);
    }
    if (rc != 0) {
        if (out[0] >= 0) {
            close(out[0]);
        }
        return;
    }
    pid_ = pid;
    if (options.events) {
        reader_ = std::thread(&Process::ReadEvents, this, out[0]);
    }
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        Kill(SIGKILL);
        Wait(milliseconds(10000));
    }
    CloseInput();
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Process::ReadEvents(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        std::vector<Event> parsed;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, end));
            pending.erase(0, end + 1);
            Event event;
            line >> event.ms >> event.kind;
            std::getline(line, event.text);
            if (!event.text.empty() && event.text[0] == ' ') {
                event.text.erase(0, 1);
            }
            std::istringstream fields(event.text);
            for (std::string field; fields >> field;) {
                event.args.push_back(field);
            }
            parsed.push_back(std::move(event));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        events_.insert(events_.end(), parsed.begin(), parsed.end());
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void Process::Kill(int signal) {
    if (pid_ > 0 && !status_) {
        kill(pid_, signal);
    }
}

std::optional<int> Process::Wait(milliseconds limit) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    const int64_t until = NowMs() + limit.count();
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            return status_;
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (NowMs() >= until) {
            return std::nullopt;
        }
        usleep(10000);
    }
}

bool Process::ExitsCleanly(milliseconds limit) {
    const std::optional<int> status = Wait(limit);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

bool Process::Send(const std::string& line) {
    const std::string text = line + "\n";
    return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Process::CloseInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

std::vector<Event> Process::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t Process::EventCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::optional<Event> Process::WaitFor(const std::function<bool(const Event&)>& match, milliseconds limit,
                                      size_t from) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (size_t i = from; i < events_.size(); ++i) {
            if (match(events_[i])) {
                return events_[i];
            }
        }
        from = std::max(from, events_.size());
        if (ended_ || changed_.wait_until(lock, until) == std::cv_status::timeout) {
            for (size_t i = from; i < events_.size(); ++i) {
                if (match(events_[i])) {
                    return events_[i];
                }
            }
            return std::nullopt;
        }
    }
}

std::optional<Event> Process::WaitForKind(const std::string& kind, milliseconds limit, size_t from) const {
    return WaitFor([&kind](const Event& event) { return event.kind == kind; }, limit, from);
}

std::unique_ptr<Process> Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               bool events) {
    Process::Options options;
    options.env = env;
    options.events = events;
    return std::make_unique<Process>(argv, options);
}

}  // namespace e2e
