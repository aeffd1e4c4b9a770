// Costs of the checking side: one heartbeat intake, one check cycle, and the
// heap that the registry keeps per client.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "checker/checkheart_internal.h"
#include "heartbeat.h"
#include "heartbeat_status.h"
#include "bench_lumo.h"

// Live heap bytes of this program, counted by replacing the global operator
// new and delete (usable sizes, so malloc's rounding is included).
namespace {
std::atomic<long long> liveBytes{0};

void* Allocate(size_t size) {
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    liveBytes += static_cast<long long>(malloc_usable_size(block));
    return block;
}
void Release(void* block) noexcept {
    if (block != nullptr) {
        liveBytes -= static_cast<long long>(malloc_usable_size(block));
        free(block);
    }
}
}  // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void operator delete(void* block) noexcept {
    Release(block);
}
void operator delete[](void* block) noexcept {
    Release(block);
}
void operator delete(void* block, size_t) noexcept {
    Release(block);
}
void operator delete[](void* block, size_t) noexcept {
    Release(block);
}

namespace {

using checkheart::State;

void IgnoreFault(const char*, size_t, int32_t, uint32_t) {}

std::string ClientName(int index) {
    char name[32];
    snprintf(name, sizeof(name), "client_%05d", index);
    return name;
}

// One record per client, ready to send in order on handle 1000 + index.
struct Client {
    int fd;
    HeartBeatMessage message;
};

// An empty registry, then `count` clients as registration leaves them (put in
// directly, so that no check thread runs beside the benchmark), each with its
// first heartbeat taken in.
std::vector<Client> Populate(int count) {
    DisableAllCheckHeartBeat();
    State().SendFaultCb = IgnoreFault;
    State().checkProcName = "bench";
    std::vector<Client> clients(static_cast<size_t>(count));
    {
        hb::MutexLock lock(&State().stateMutex);
        State().stateMap.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            Client& client = clients[static_cast<size_t>(i)];
            client.fd = 1000 + i;
            client.message = HeartBeatMessage{};
            const std::string name = ClientName(i);
            memcpy(client.message.clientName, name.c_str(), name.size() + 1);
            client.message.pid = 5000 + i;
            client.message.timeoutTimes = 10;
            ClientMgrInfo info;
            info.fd = client.fd;
            State().stateMap.emplace(name, info);
        }
    }
    return clients;
}

void Send(Client& client, uint64_t now) {
    client.message.sendTime = now;
    GetHeartBeatMessageFromClient(client.fd, client.message, HEART_CHANNEL_PIPE);
    ++client.message.order;
}

// One accepted in-order record, turning through all clients.
void BM_IntakeInOrder(benchmark::State& state) {
    std::vector<Client> clients = Populate(static_cast<int>(state.range(0)));
    uint64_t now = VeKov::GetCurrentTime();
    for (Client& client : clients) {
        Send(client, now);
    }
    size_t next = 0;
    uint32_t sinceClock = 0;
    for (auto _ : state) {
        if (++sinceClock == 4096) {  // keep records fresh, never "late"
            sinceClock = 0;
            now = VeKov::GetCurrentTime();
        }
        Send(clients[next], now);
        next = next + 1 == clients.size() ? 0 : next + 1;
    }
    DisableAllCheckHeartBeat();
}
BENCHMARK(BM_IntakeInOrder)->Arg(10)->Arg(1000)->Arg(10000);

// The same through the intake that the pipe callback uses when the IPC
// library names the sender: the sender's own pid, from the process that owns
// the client (taken over by the first record).
void BM_IntakeInOrderWithPeer(benchmark::State& state) {
    std::vector<Client> clients = Populate(static_cast<int>(state.range(0)));
    uint64_t now = VeKov::GetCurrentTime();
    auto send = [&now](Client& client) {
        client.message.sendTime = now;
        const LumoPeerCred peer{client.message.pid, 0, 0};
        checkheart::TakeRecord(client.fd, client.message, &peer);
        ++client.message.order;
    };
    for (Client& client : clients) {
        send(client);
    }
    size_t next = 0;
    uint32_t sinceClock = 0;
    for (auto _ : state) {
        if (++sinceClock == 4096) {
            sinceClock = 0;
            now = VeKov::GetCurrentTime();
        }
        send(clients[next]);
        next = next + 1 == clients.size() ? 0 : next + 1;
    }
    DisableAllCheckHeartBeat();
}
BENCHMARK(BM_IntakeInOrderWithPeer)->Arg(10)->Arg(1000)->Arg(10000);

// One check cycle over clients that all sent a heartbeat since the last one.
void BM_CheckCycleAllAlive(benchmark::State& state) {
    std::vector<Client> clients = Populate(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        const uint64_t now = VeKov::GetCurrentTime();
        for (Client& client : clients) {
            Send(client, now);
        }
        state.ResumeTiming();
        checkheart::RunCheckCycle();
    }
    DisableAllCheckHeartBeat();
}
BENCHMARK(BM_CheckCycleAllAlive)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// One status snapshot of clients that all sent heartbeats and went through a
// cycle, into an array with room for all of them.
void BM_StatusSnapshot(benchmark::State& state) {
    std::vector<Client> clients = Populate(static_cast<int>(state.range(0)));
    const uint64_t now = VeKov::GetCurrentTime();
    for (Client& client : clients) {
        Send(client, now);
    }
    checkheart::RunCheckCycle();
    std::vector<HeartBeatClientStatus> out(clients.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetCheckHeartBeatStatus(out.data(), out.size(), nullptr));
        benchmark::ClobberMemory();
    }
    DisableAllCheckHeartBeat();
}
BENCHMARK(BM_StatusSnapshot)->Arg(10000)->Unit(benchmark::kMicrosecond);

// What a check cycle costs the thread that waits for stateMutex: the time the
// lock is held, with caches cold as they are after 3 seconds of other work
// (8 MB touched between cycles), all clients alive with a new heartbeat each.
// Beside it, in the same run, a plain walk over the same records under the
// same conditions: the least a cycle could cost.
constexpr size_t kColdBytes = 8u << 20;

template <typename Body>
void ColdUnderLock(benchmark::State& state, Body body) {
    std::vector<Client> clients = Populate(static_cast<int>(state.range(0)));
    std::vector<char> other(kColdBytes);
    checkheart::RunCheckCycle();
    uint64_t sink = 0;
    for (auto _ : state) {
        const uint64_t now = VeKov::GetCurrentTime();
        for (Client& client : clients) {
            Send(client, now);
        }
        for (size_t i = 0; i < other.size(); i += 64) {
            other[i] = static_cast<char>(other[i] + 1);
        }
        benchmark::DoNotOptimize(other.data());
        hb::MutexLock lock(&State().stateMutex);
        const auto start = std::chrono::steady_clock::now();
        sink += body();
        const auto held = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(held).count());
    }
    benchmark::DoNotOptimize(sink);
    DisableAllCheckHeartBeat();
}

void BM_CheckCycleColdLockHold(benchmark::State& state) {
    ColdUnderLock(state, [] {
        State().stateMutex.AssertHeld();  // ColdUnderLock holds it around the body
        checkheart::RunCheckCycleLocked(State());
        return uint64_t{0};
    });
}
BENCHMARK(BM_CheckCycleColdLockHold)->Arg(1000)->Arg(10000)->Arg(100000)->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_PlainWalkCold(benchmark::State& state) {
    ColdUnderLock(state, [] {
        State().stateMutex.AssertHeld();  // ColdUnderLock holds it around the body
        uint64_t sum = 0;
        for (const auto& entry : State().stateMap) {
            sum += entry.second.heartCount;
        }
        return sum;
    });
}
BENCHMARK(BM_PlainWalkCold)->Arg(1000)->Arg(10000)->Arg(100000)->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Heap kept per client: after registration, and once heartbeats flow and a
// cycle has seen them.
void BM_HeapPerRegisteredClient(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string self = "bench";
    // Let the recording fake grow its call list first, so that its own
    // storage is not counted below.
    for (int i = 0; i < count; ++i) {
        LumoOpenParam param{};
        const std::string name = ClientName(i);
        param.peerName = name.c_str();
        param.selfName = self.c_str();
        LumoOpen(&param);
    }
    bench_lumo::Reset();
    DisableAllCheckHeartBeat();
    for (auto _ : state) {
        const long long before = liveBytes.load();
        for (int i = 0; i < count; ++i) {
            const std::string name = ClientName(i);
            RegisterCheckHeartBeat(name.c_str(), name.size(), 0, IgnoreFault);
        }
        const long long registered = liveBytes.load();
        const uint64_t now = VeKov::GetCurrentTime();
        for (int i = 0; i < count; ++i) {
            Client client{100 + i, HeartBeatMessage{}};
            const std::string name = ClientName(i);
            memcpy(client.message.clientName, name.c_str(), name.size() + 1);
            Send(client, now);
            Send(client, now);
        }
        checkheart::RunCheckCycle();
        const long long running = liveBytes.load();
        state.counters["registered_B"] =
            static_cast<double>(registered - before) / static_cast<double>(count);
        state.counters["running_B"] =
            static_cast<double>(running - before) / static_cast<double>(count);
        DisableAllCheckHeartBeat();
        bench_lumo::Reset();
    }
}
BENCHMARK(BM_HeapPerRegisteredClient)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
