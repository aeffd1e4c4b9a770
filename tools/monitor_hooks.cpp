#include "tools/monitor_hooks.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/process_util.h"

extern char** environ;

namespace hbtools {

void HookRunner::Configure(const std::string& onLost, const std::string& onRecovered, int64_t timeoutMs) {
    onLost_ = onLost;
    onRecovered_ = onRecovered;
    timeoutMs_ = timeoutMs;
}

const std::string& HookRunner::CommandFor(EventKind kind) const {
    return kind == EventKind::kRecovered ? onRecovered_ : onLost_;
}

void HookRunner::Add(const MonitorEvent& event, uint64_t cycle) {
    if (CommandFor(event.kind).empty()) {
        return;
    }
    Client& client = clients_[event.client];
    if (client.lastCycle == cycle) {
        return;
    }
    client.lastCycle = cycle;
    if (!client.waiting) {
        order_.push_back(event.client);
    }
    client.waiting = true;
    client.next = event;
}

int64_t HookRunner::Poll(int64_t nowMs) {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            if (pid < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        for (auto& [name, client] : clients_) {
            if (client.running.pid != pid) {
                continue;
            }
            // A killed hook had its line when it was killed.
            if (ShellStatus(status) != 0 && client.running.deadlineMs != INT64_MAX) {
                std::fprintf(stderr, "heartbeat-monitor: %s command for %s exited with status %d\n",
                             client.running.kind == EventKind::kRecovered ? "--on-recovered" : "--on-lost",
                             PlainEscape(name).c_str(), ShellStatus(status));
            }
            client.running.pid = 0;
            --running_;
        }
    }
    int64_t next = -1;
    for (auto& [name, client] : clients_) {
        if (client.running.pid == 0) {
            continue;
        }
        if (nowMs >= client.running.deadlineMs) {
            // The group: the shell and whatever it started. Reaped above on a
            // later call, like any hook that ends.
            kill(-client.running.pid, SIGKILL);
            std::fprintf(stderr, "heartbeat-monitor: %s command for %s killed after %lld ms\n",
                         client.running.kind == EventKind::kRecovered ? "--on-recovered" : "--on-lost",
                         PlainEscape(name).c_str(), static_cast<long long>(timeoutMs_));
            client.running.deadlineMs = INT64_MAX;
        } else if (client.running.deadlineMs != INT64_MAX) {
            next = next < 0 ? client.running.deadlineMs - nowMs : std::min(next, client.running.deadlineMs - nowMs);
        }
    }
    for (size_t turns = order_.size(); turns > 0 && running_ < kMaxRunning; --turns) {
        const std::string name = order_.front();
        order_.pop_front();
        Client& client = clients_[name];
        if (client.running.pid != 0) {
            order_.push_back(name);  // its previous hook still runs
            continue;
        }
        Start(name, &client, nowMs);
        if (client.running.pid != 0) {
            next = next < 0 ? timeoutMs_ : std::min(next, timeoutMs_);
        }
    }
    return next;
}

void HookRunner::Start(const std::string& name, Client* client, int64_t nowMs) {
    client->waiting = false;
    const MonitorEvent& event = client->next;
    const std::vector<std::string> argv = {"/bin/sh", "-c", CommandFor(event.kind)};
    const std::vector<std::string> env = HookEnvironment(event, environ);
    std::fflush(stdout);
    int error = 0;
    const pid_t pid = Spawn(argv, &env, false, &error, true);
    if (pid < 0) {
        std::fprintf(stderr, "heartbeat-monitor: cannot start the command for %s: %s\n", PlainEscape(name).c_str(),
                     std::strerror(error));
        return;
    }
    client->running = Running{pid, nowMs + timeoutMs_, event.kind};
    ++running_;
}

void HookRunner::KillAll() {
    for (auto& [name, client] : clients_) {
        if (client.running.pid != 0) {
            kill(-client.running.pid, SIGKILL);
        }
        client.waiting = false;
    }
    order_.clear();
}

}  // namespace hbtools
