// Cost of one log call. Lines go to the real syslog(3) of the machine; on a
// host without a system logger that still includes syslog's attempt to reach
// it, so the written line and the plain syslog call are compared in one run.
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "env_manager.h"
#include "kov_log.h"
#include "log/restrained_log_internal.h"

namespace {

constexpr char kFile[] = "checkheart";
constexpr int kLine = 432;
constexpr char kMessage[] = "Unregister all client check heart beat.";

void BM_FilteredLine(benchmark::State& state) {
    for (auto _ : state) {
        KovSyslog(KOV_LOG_HEARTBEAT, LOG_DEBUG, kLine, kFile, "%s", kMessage);
    }
}
BENCHMARK(BM_FilteredLine);

void BM_WrittenLine(benchmark::State& state) {
    for (auto _ : state) {
        KovSyslog(KOV_LOG_HEARTBEAT, LOG_NOTICE, kLine, kFile, "%s", kMessage);
    }
}
BENCHMARK(BM_WrittenLine);

// The line KovSyslog writes above, formatted once, handed to syslog directly.
void BM_PlainSyslog(benchmark::State& state) {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local = {};
    localtime_r(&now.tv_sec, &local);
    char clock[32];
    strftime(clock, sizeof(clock), "%T", &local);
    char line[256];
    snprintf(line, sizeof(line), "[HEARTBEAT][%s][%s.%06d][%d][%lu][%s:%d] %s", EnvManager::ProcName(), clock,
             static_cast<int>(now.tv_nsec / 1000), getpid(), static_cast<unsigned long>(pthread_self()), kFile,
             kLine, kMessage);
    for (auto _ : state) {
        syslog(LOG_NOTICE, "%s", line);
    }
}
BENCHMARK(BM_PlainSyslog);

void BM_SuppressedLine(benchmark::State& state) {
    // The first call prints; every call measured is from a site that printed.
    KovSyslog(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, 77, "heartbeat", "Send heart beat fail, ret %d.\n", -32);
    for (auto _ : state) {
        KovSyslog(KOV_LOG_HEARTBEAT_RESTRAINED, LOG_ERR, 77, "heartbeat", "Send heart beat fail, ret %d.\n", -32);
    }
}
BENCHMARK(BM_SuppressedLine);

// The pieces of a suppressed line, to see where its time goes.
void BM_CallSiteKey(benchmark::State& state) {
    unsigned long key = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(log_internal::CallSiteKey(77, "heartbeat", &key));
        benchmark::DoNotOptimize(key);
    }
}
BENCHMARK(BM_CallSiteKey);

void BM_GetInstance(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(VeKov::KovRestrainedLog::GetInstance(true));
    }
}
BENCHMARK(BM_GetInstance);

void BM_PrintTableInsertSuppressed(benchmark::State& state) {
    std::shared_ptr<VeKov::KovRestrainedLog> log = VeKov::KovRestrainedLog::GetInstance(true);
    log->PrintTableInsert(12345);
    for (auto _ : state) {
        benchmark::DoNotOptimize(log->PrintTableInsert(12345));
    }
}
BENCHMARK(BM_PrintTableInsertSuppressed);

// A suppressed line among many call sites that all printed a moment ago, from
// one and two threads: the lookups walk a table far larger than the caches.
void BM_SuppressedAmongManySites(benchmark::State& state) {
    constexpr unsigned long kSites = 1UL << 18;
    std::shared_ptr<VeKov::KovRestrainedLog> log = VeKov::KovRestrainedLog::GetInstance(true);
    if (state.thread_index() == 0) {
        for (unsigned long site = 0; site < kSites; ++site) {
            log->PrintTableInsert(site * 2654435761UL);
        }
    }
    unsigned long site = static_cast<unsigned long>(state.thread_index()) * 977;
    for (auto _ : state) {
        site = (site + 7919) % kSites;
        benchmark::DoNotOptimize(log->PrintTableInsert(site * 2654435761UL));
    }
}
BENCHMARK(BM_SuppressedAmongManySites)->Threads(1)->Threads(2)->UseRealTime();

// Every line from a call site never seen before (threads that come and go):
// the cost of entering it, sweeps of the table included. All sites stay within
// their window here, so every sweep finds nothing to drop: the worst case.
void BM_NewCallSites(benchmark::State& state) {
    static std::atomic<unsigned long> next{1UL << 40};
    std::shared_ptr<VeKov::KovRestrainedLog> log = VeKov::KovRestrainedLog::GetInstance(true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(log->PrintTableInsert(next.fetch_add(1, std::memory_order_relaxed)));
    }
}
BENCHMARK(BM_NewCallSites)->Threads(1)->Threads(2)->Iterations(200000)->UseRealTime();

}  // namespace
