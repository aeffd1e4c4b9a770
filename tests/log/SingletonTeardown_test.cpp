// A process whose threads keep logging rate-limited lines and asking the boot
// configuration centre while main returns must exit cleanly, with status 0.
// After the singletons' guards are destroyed at exit, the rate limit answers
// "suppress" and the centre hands out fresh fallbacks with the same answers.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "cmdline_config_center.h"
#include "env_manager.h"
#include "kov_log.h"
#include "support/log_capture.h"

namespace {

constexpr int kThreads = 4;
std::atomic<long> iterations{0};
std::atomic<int> wrongAnswers{0};

bool AnswersLikeTheCentre(VeKov::CmdlineBaseCenter& centre) {
    return !centre.IsFpga() && centre.GetVfsClientOpenPipeTimeout() == 1000 &&
           centre.GetVfsKovmgrRouteTimeout() == 1500 && centre.GetVfsServerOpenPipeTimeout() == 3000 &&
           centre.GetKovReadyTimeout() == 1000;
}

void Worker(int id) {
    for (long i = 0;; ++i) {
        KovSyslog(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, static_cast<int>(i % 64), "teardown",
                  "worker %d\n", id);
        if (!AnswersLikeTheCentre(*VeKov::CmdlineConfigCenter::GetInstance(true))) {
            wrongAnswers.fetch_add(1);
        }
        iterations.fetch_add(1);
    }
}

void WaitForIterations(long more) {
    const long target = iterations.load() + more;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (iterations.load() < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

// Registered before the singletons exist, so it runs after their exit-time
// destruction, while the workers are still going.
void CheckAfterTeardown() {
    WaitForIterations(2000);
    int failures = 0;
    if (VeKov::KovRestrainedLog::GetInstance(true) != nullptr) {
        fprintf(stderr, "restrained log still handed out after teardown\n");
        ++failures;
    }
    const size_t linesBefore = log_capture::Lines().size();
    KovSyslog(KOV_LOG_KOV_RESTRAINED, LOG_ERR, 1, "teardown", "after teardown\n");
    if (log_capture::Lines().size() != linesBefore) {
        fprintf(stderr, "rate-limited line written after teardown\n");
        ++failures;
    }
    auto first = VeKov::CmdlineConfigCenter::GetInstance(true);
    auto second = VeKov::CmdlineConfigCenter::GetInstance(true);
    if (dynamic_cast<VeKov::CmdlineInvalidCenter*>(first.get()) == nullptr || first == second ||
        !AnswersLikeTheCentre(*first)) {
        fprintf(stderr, "no fresh fallback centre after teardown\n");
        ++failures;
    }
    if (wrongAnswers.load() != 0) {
        fprintf(stderr, "%d wrong answers from the centre\n", wrongAnswers.load());
        ++failures;
    }
    if (failures != 0) {
        _exit(1);
    }
}

}  // namespace

int main() {
    EnvManager::SetProcName("teardown");
    atexit(CheckAfterTeardown);
    KovLogGetInstance(true);
    if (dynamic_cast<VeKov::CmdlineConfigCenter*>(VeKov::CmdlineConfigCenter::GetInstance(true).get()) ==
        nullptr) {
        fprintf(stderr, "the centre is not handed out while the process runs\n");
        return 1;
    }
    for (int id = 0; id < kThreads; ++id) {
        std::thread(Worker, id).detach();
    }
    WaitForIterations(5000);
    if (log_capture::CountContaining("[teardown:") == 0) {
        fprintf(stderr, "the workers' rate-limited lines were never written\n");
        return 1;
    }
    return 0;  // the workers keep running through the exit-time teardown
}
