// heartbeat-send: sends heartbeats under a name for a command while that
// command is healthy, or for itself until stopped.
//
// One thread does everything: it waits in poll() on a signalfd (SIGCHLD and
// the stop signals), the notification socket and the next deadline (a cycle,
// a --check time limit, a reopen of the pipe). Opens of the pipe do not wait
// for the server, so the command's end is seen and passed on at once; only a
// send to a server that stopped reading can hold the loop, for as long as the
// pipe library bounds a send. The pipe library runs a receive thread of its
// own, which needs nothing from this one.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "heartbeat_message.h"
#include "tools/process_util.h"
#include "tools/send_child.h"
#include "tools/send_health.h"
#include "tools/send_link.h"
#include "tools/send_notify.h"
#include "tools/send_options.h"

namespace {

using hbsend::Verdict;

// sd_notify's own receivers wait as long for a barrier.
constexpr int kNotifyBarrierMs = 5000;

uint64_t NowMs() { return VeKov::GetCurrentTime(); }

void Say(const std::string& line) { std::fprintf(stderr, "heartbeat-send: %s\n", line.c_str()); }

class Supervisor {
public:
    Supervisor(const hbsend::SendOptions& options, int signalFd)
        : options_(options),
          signalFd_(signalFd),
          link_(options.name, options.server, hbsend::EffectiveTimeoutTimes(options)) {}

    int Run();

private:
    bool StartCommand(int* status);
    void Cycle(uint64_t now);
    void SendHeartbeat(uint64_t now, bool watchdogFailed);
    void Withhold(Verdict verdict, const hbsend::HealthInputs& inputs, int checkStatus);
    void SayHealthy();
    void SayLinkFails(int rc);
    void ReportLink(int rc);  // one line when sending starts failing, one when it works again
    void OnNotifications(uint64_t now);
    void OnCheckEnded(int waitStatus, uint64_t now);
    bool OnSignals(int* status);  // true when the tool is to end with *status
    hbsend::HealthInputs Inputs(uint64_t now) const;
    uint64_t NextDeadline() const;

    const hbsend::SendOptions& options_;
    const int signalFd_;
    hbsend::HeartbeatLink link_;
    std::unique_ptr<hbsend::NotifySocket> notify_;
    pid_t command_ = 0;  // 0: no command, the tool sends for itself
    pid_t check_ = 0;    // the running --check command, 0 when none
    uint64_t checkDeadlineMs_ = 0;
    uint64_t nextCycleMs_ = 0;
    bool linkFailing_ = false;  // a failure line went out, a success line is due
    Verdict shown_ = Verdict::kHealthy;  // the last verdict a line told about
    // --notify state.
    bool ready_ = false;
    bool stopping_ = false;
    uint64_t lastPingMs_ = 0;
    uint64_t triggerUntilMs_ = 0;  // heartbeats carry the watchdog flag until then
    bool foreignSaid_ = false;
};

hbsend::HealthInputs Supervisor::Inputs(uint64_t now) const {
    hbsend::HealthInputs in;
    hbsend::ProcStat stat;
    in.exists = hbsend::ReadProcStat(command_ != 0 ? command_ : getpid(), &stat);
    in.state = stat.state;
    in.notify = options_.notify;
    in.ready = ready_;
    in.stopping = stopping_;
    in.lastPingMs = lastPingMs_;
    in.pingTimeoutMs = hbsend::PingTimeoutMs(options_);
    in.nowMs = now;
    return in;
}

void Supervisor::ReportLink(int rc) {
    if (rc == 0 && linkFailing_) {
        Say("sending heartbeats as " + options_.name + " to " + options_.server);
        linkFailing_ = false;
    } else if (rc != 0 && !linkFailing_) {
        SayLinkFails(rc);
    }
}

void Supervisor::SendHeartbeat(uint64_t now, bool watchdogFailed) {
    ReportLink(link_.Send(command_ != 0 ? command_ : getpid(), watchdogFailed, now));
}

void Supervisor::Withhold(Verdict verdict, const hbsend::HealthInputs& inputs, int checkStatus) {
    link_.Skip();
    if (verdict != shown_ && hbsend::IsFault(verdict)) {
        Say("no heartbeat for " + options_.name + ": command " + std::to_string(command_) + " " +
            hbsend::Describe(verdict, inputs, checkStatus));
        shown_ = verdict;
    }
}

void Supervisor::SayHealthy() {
    if (shown_ != Verdict::kHealthy) {
        Say("heartbeats for " + options_.name + " resume: command " + std::to_string(command_) +
            " is healthy again");
        shown_ = Verdict::kHealthy;
    }
}

void Supervisor::SayLinkFails(int rc) {
    Say("cannot send heartbeats as " + options_.name + " to " + options_.server + ": " + link_.Diagnose(rc) +
        "; trying again");
    linkFailing_ = true;
}

void Supervisor::Cycle(uint64_t now) {
    const hbsend::HealthInputs inputs = Inputs(now);
    const Verdict verdict = hbsend::Evaluate(inputs);
    if (verdict != Verdict::kHealthy) {
        Withhold(verdict, inputs, 0);
        return;
    }
    if (options_.check.empty()) {
        SayHealthy();
        SendHeartbeat(now, now < triggerUntilMs_);
        return;
    }
    if (check_ != 0) {
        return;  // still being killed after its time-out: this cycle has no verdict
    }
    hbsend::ChildLaunch launch;
    launch.argv = {"/bin/sh", "-c", options_.check};
    launch.env = hbsend::ChildEnvironment({"HEARTBEAT_PID"}, {"HEARTBEAT_PID=" + std::to_string(command_)});
    launch.deathSignal = SIGKILL;
    int error = 0;
    check_ = hbsend::StartChild(launch, &error);
    if (check_ < 0) {
        check_ = 0;
        Say("cannot run --check: " + std::string(std::strerror(error)));
        Withhold(Verdict::kCheckFailed, inputs, 127);
        return;
    }
    checkDeadlineMs_ = now + hbsend::kCheckLimitMs;
}

void Supervisor::OnCheckEnded(int waitStatus, uint64_t now) {
    const bool timedOut = checkDeadlineMs_ == 0;
    check_ = 0;
    checkDeadlineMs_ = 0;
    if (timedOut) {
        return;  // its cycle was judged when the time ran out
    }
    const int status = hbtools::ShellStatus(waitStatus);
    const hbsend::HealthInputs inputs = Inputs(now);
    Verdict verdict = hbsend::Evaluate(inputs);  // the command may have changed meanwhile
    if (verdict == Verdict::kHealthy && status != 0) {
        verdict = Verdict::kCheckFailed;
    }
    if (verdict != Verdict::kHealthy) {
        Withhold(verdict, inputs, status);
        return;
    }
    SayHealthy();
    SendHeartbeat(now, now < triggerUntilMs_);
}

void Supervisor::OnNotifications(uint64_t now) {
    const hbsend::NotifyEvents events = notify_->Drain(command_);
    if (events.foreign != 0 && !foreignSaid_) {
        Say("ignoring notifications from pid " + std::to_string(events.foreignPid) +
            ", which is not command " + std::to_string(command_) + " or one of its descendants");
        foreignSaid_ = true;  // once: a flood must not flood stderr
    }
    if (events.ready && !ready_) {
        ready_ = true;
        lastPingMs_ = now;
    }
    if (events.ping) {
        lastPingMs_ = now;
    }
    if (events.stopping) {
        stopping_ = true;
    }
    if (events.trigger) {
        // Flagged for a whole cycle: the checking side keeps only the latest
        // record's flag, so a good record within the same check cycle would
        // hide the failure.
        triggerUntilMs_ = now + hbsend::kCycleMs;
        SendHeartbeat(now, true);
    }
}

bool Supervisor::OnSignals(int* status) {
    signalfd_siginfo info{};
    bool end = false;
    while (read(signalFd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        const int signo = static_cast<int>(info.ssi_signo);
        if (signo == SIGCHLD) {
            continue;  // reaped below
        }
        if (command_ == 0) {
            *status = hbsend::kExitOk;
            end = true;
        } else if (kill(-command_, signo) != 0) {
            // The command left its group (setsid, setpgid): it still gets it.
            kill(command_, signo);
        }  // its own reaction decides when this tool ends
    }
    int waitStatus = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &waitStatus, WNOHANG)) > 0) {
        if (pid == command_) {
            *status = hbtools::ShellStatus(waitStatus);
            end = true;
        } else if (pid == check_) {
            OnCheckEnded(waitStatus, NowMs());
        }
    }
    return end;
}

uint64_t Supervisor::NextDeadline() const {
    uint64_t next = nextCycleMs_;
    if (checkDeadlineMs_ != 0) {
        next = std::min(next, checkDeadlineMs_);
    }
    if (!link_.connected() && linkFailing_) {
        next = std::min(next, link_.nextAttemptMs());
    }
    return next;
}

bool Supervisor::StartCommand(int* status) {
    std::vector<std::string> drop;
    std::vector<std::string> add;
    if (notify_) {
        drop = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
        add = {"NOTIFY_SOCKET=" + notify_->path(),
               "WATCHDOG_USEC=" + std::to_string(hbsend::WatchdogTimeoutMs(options_) * 1000U),
               "WATCHDOG_PID="};
    }
    hbsend::ChildLaunch launch;
    launch.argv = options_.command;
    launch.env = hbsend::ChildEnvironment(drop, add);
    launch.setWatchdogPid = static_cast<bool>(notify_);
    launch.deathSignal = SIGTERM;
    int error = 0;
    command_ = hbsend::StartChild(launch, &error);
    if (command_ < 0) {
        command_ = 0;
        Say("cannot run " + options_.command[0] + ": " + std::strerror(error));
        *status = error == ENOENT ? hbsend::kExitNotFound : hbsend::kExitCannotRun;
        return false;
    }
    return true;
}

int Supervisor::Run() {
    uint64_t now = NowMs();
    int rc = link_.Connect(now);
    if (rc != 0 && hbsend::HeartbeatLink::IsPermanent(rc)) {
        Say("cannot send heartbeats as " + options_.name + " to " + options_.server + ": " + link_.Diagnose(rc));
        return hbsend::kExitFailure;
    }
    int status = hbsend::kExitOk;
    if (options_.command.empty()) {
        // Sending for itself, the tool gives the server one cycle to be there:
        // without a command there is nothing to supervise in the meantime.
        const uint64_t giveUp = now + hbsend::kCycleMs;
        while (rc != 0 && now < giveUp) {
            pollfd pfd{signalFd_, POLLIN, 0};
            const uint64_t wake = std::min(giveUp, link_.nextAttemptMs());
            (void)poll(&pfd, 1, static_cast<int>(wake > now ? wake - now : 0));
            if ((pfd.revents & POLLIN) != 0 && OnSignals(&status)) {
                return status;
            }
            now = NowMs();
            rc = link_.Connect(now);
        }
        if (rc != 0) {
            Say("cannot send heartbeats as " + options_.name + " to " + options_.server + ": " +
                link_.Diagnose(rc));
            return hbsend::kExitFailure;
        }
    } else {
        if (options_.notify) {
            notify_ = std::make_unique<hbsend::NotifySocket>();
            const int error = notify_->Open();
            if (error != 0) {
                Say("cannot create the notification socket: " + std::string(std::strerror(-error)));
                return hbsend::kExitFailure;
            }
        }
        if (!StartCommand(&status)) {
            return status;
        }
        if (rc != 0) {
            SayLinkFails(rc);
        }
    }

    nextCycleMs_ = NowMs();
    for (;;) {
        now = NowMs();
        if (checkDeadlineMs_ != 0 && now >= checkDeadlineMs_) {
            kill(-check_, SIGKILL);
            checkDeadlineMs_ = 0;  // reaped when SIGCHLD comes
            Withhold(Verdict::kCheckTimedOut, Inputs(now), 0);
        }
        if (!link_.connected() && linkFailing_ && now >= link_.nextAttemptMs()) {
            ReportLink(link_.Connect(now));
        }
        if (now >= nextCycleMs_) {
            Cycle(now);
            // Cycles keep their 3-second grid; one missed while the loop was
            // held up is not made up for.
            nextCycleMs_ += hbsend::kCycleMs * (1 + (now - nextCycleMs_) / hbsend::kCycleMs);
        }
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {notify_ ? notify_->fd() : -1, POLLIN, 0}};
        const uint64_t deadline = NextDeadline();
        now = NowMs();
        const int ready = poll(fds, 2, static_cast<int>(deadline > now ? deadline - now : 0));
        if (ready < 0 && errno != EINTR) {
            Say("cannot wait: " + std::string(std::strerror(errno)));
            if (command_ != 0) {
                kill(-command_, SIGTERM);
            }
            return hbsend::kExitFailure;
        }
        if ((fds[0].revents & POLLIN) != 0 && OnSignals(&status)) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            OnNotifications(NowMs());
        }
    }
    if (check_ != 0) {
        kill(-check_, SIGKILL);
    }
    return status;
}

int RunNotify(const hbsend::SendOptions& options) {
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr || address[0] == '\0') {
        Say("NOTIFY_SOCKET is not set (run under heartbeat-send --notify)");
        return hbsend::kExitFailure;
    }
    std::string message;
    for (const std::string& line : options.messages) {
        message += line + "\n";
    }
    const int rc = hbsend::SendNotify(address, message, kNotifyBarrierMs);
    if (rc != 0) {
        Say("cannot notify " + std::string(address) + ": " + std::strerror(-rc));
        return hbsend::kExitFailure;
    }
    return hbsend::kExitOk;
}

}  // namespace

int main(int argc, char* argv[]) {
    hbsend::SendOptions options;
    const hbsend::ParseResult parsed = hbsend::ParseSendCommandLine(argc, argv, &options);
    switch (parsed.mode) {
    case hbsend::Mode::kHelp:
        std::fputs(hbsend::SendUsageText().c_str(), stdout);
        return hbsend::kExitOk;
    case hbsend::Mode::kVersion:
        std::fputs(hbsend::SendVersionLine().c_str(), stdout);
        return hbsend::kExitOk;
    case hbsend::Mode::kUsage:
        for (const std::string& error : parsed.errors) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
        return hbsend::kExitUsage;
    case hbsend::Mode::kNotify:
        return RunNotify(options);
    case hbsend::Mode::kSend:
        break;
    }

    // Blocked before the pipe library starts its thread, so that they reach
    // the signalfd only. Children get an empty mask back before exec.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signo : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&handled, signo);
    }
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = sigprocmask(SIG_BLOCK, &handled, nullptr) == 0
                             ? signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK)
                             : -1;
    if (signalFd < 0) {
        Say("cannot set up signal handling: " + std::string(std::strerror(errno)));
        return hbsend::kExitFailure;
    }
    Supervisor supervisor(options, signalFd);
    return supervisor.Run();
}
