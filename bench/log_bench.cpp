// Cost of one log call. Lines go to the real syslog(3) of the machine; on a
// host without a system logger that still includes syslog's attempt to reach
// it, so the written line and the plain syslog call are compared in one run.
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

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

}  // namespace
