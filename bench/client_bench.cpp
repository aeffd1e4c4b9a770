// Cost of the client side's periodic work: one send cycle (without its 3 s
// sleep) against the benchmarks' IPC stand-in, and one watchdog tick with 1,
// 10 and 100 registered threads.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "client/heartbeat_internal.h"
#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "bench_lumo.h"

namespace {

void UnregisterAllThreads() {
    for (const auto& entry : client_internal::WatchDogCounters()) {
        UnregisterThreadForDog(entry.first.c_str(), entry.first.size());
    }
}

void BM_SendOneHeartBeat(benchmark::State& state) {
    UnregisterAllThreads();
    bench_lumo::Reset();
    heartAppName = "bench_client";
    heartPipeName = "bench_server_heartbeat";
    isConnected = true;
    HeartBeatMessage record;
    std::memset(&record, 0, sizeof(record));
    int handle = 100;
    uint64_t previous = 0;
    for (auto _ : state) {
        SendOneHeartBeat(record, handle, previous, 10);
    }
    benchmark::DoNotOptimize(record);
}
BENCHMARK(BM_SendOneHeartBeat);

void BM_CheckWatchDog(benchmark::State& state) {
    UnregisterAllThreads();
    for (int64_t i = 0; i < state.range(0); ++i) {
        std::string name = "thread" + std::to_string(i);
        RegisterThreadForDog(name.c_str(), name.size(), 0xFFFFFFFFU);  // never runs out here
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckWatchDog());
    }
    UnregisterAllThreads();
}
BENCHMARK(BM_CheckWatchDog)->Arg(1)->Arg(10)->Arg(100);

}  // namespace
