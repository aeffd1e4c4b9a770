// Our pipe library: the cost of sending one 232-byte heartbeat record next to
// a raw SOCK_SEQPACKET send of the same bytes, and the one-way delivery
// latency from LumoSendRequest in one process to the callback in another.
// The receiving ends run in a second process (this program started again
// with --peer or --raw-peer), so only the sending side is measured here.
//
// BM_SendWithBusyReceiver measures the case that matters on the checking side:
// this process's receive thread busy with a flood from a third process (this
// program with --flood) while the sender sends, the sender and the receive
// thread on different CPUs. It times batches of our send and of a raw send
// alternately in the same run and reports their ratio.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <fstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "lumo.h"

extern char** environ;

namespace {

constexpr uint32_t kRecordSize = 232;
// The receiver acknowledges every kBatch records with one byte; the sender
// waits for that outside the timed region, so no timed send waits for room.
constexpr int64_t kBatch = 64;
constexpr size_t kMark = 16;        // byte that is 1 in a latency probe, 0 elsewhere

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Open(const char* self, const char* peer, bool listening, LumoCallback callback) {
    LumoOpenParam param{};
    param.selfName = self;
    param.peerName = peer;
    param.isServer = listening ? 1 : 0;
    param.timeoutMs = 3000;
    param.gid = UINT32_MAX;
    param.enableCallback = 1;
    param.callback = std::move(callback);
    return LumoOpen(&param);
}

int Send(int handle, const void* data, uint32_t size) {
    LumoRequest request{};
    request.data = data;
    request.size = size;
    return LumoSendRequest(handle, &request);
}

// The receiving process of our pipe: answers a probe (send time at offset 0)
// with its receive time stamped at offset 8, and every kBatch other records
// with one byte.
[[noreturn]] void Peer() {
    int64_t count = 0;
    Open("bench_srv", "bench_cli", true, [&count](int handle, LumoRequest* request) {
        if (request == nullptr || request->size != kRecordSize) {
            return;
        }
        unsigned char record[kRecordSize];
        memcpy(record, request->data, kRecordSize);
        if (record[kMark] == 1) {
            const int64_t now = NowNs();
            memcpy(record + 8, &now, sizeof(now));
            Send(handle, record, kRecordSize);
        } else if (++count % kBatch == 0) {
            Send(handle, record, 1);
        }
    });
    for (;;) {
        pause();
    }
}

// The receiving process of a raw socket (descriptor 3), acknowledging alike.
[[noreturn]] void RawPeer() {
    char buffer[kRecordSize];
    for (int64_t count = 1; recv(3, buffer, sizeof(buffer), 0) > 0; ++count) {
        if (count % kBatch == 0) {
            send(3, buffer, 1, MSG_NOSIGNAL);
        }
    }
    _exit(0);
}

// Pins the calling thread (tid 0) or thread `tid` to `cpu` when there is one.
void Pin(pid_t tid, int cpu) {
    if (cpu >= static_cast<int>(std::thread::hardware_concurrency())) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(tid, sizeof(set), &set);
}

// The thread id of this process's pipe receive thread, 0 when not found.
pid_t ReceiveThread() {
    DIR* tasks = opendir("/proc/self/task");
    pid_t found = 0;
    while (dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
        std::string comm;
        std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm") >> comm;
        if (comm == "LumoRecv") {
            found = static_cast<pid_t>(atoi(entry->d_name));
        }
    }
    if (tasks != nullptr) {
        closedir(tasks);
    }
    return found;
}

// Keeps the receive thread of the benchmark process busy: sends records to
// it as fast as it takes them.
[[noreturn]] void Flood() {
    const int sender = Open("bench_flood_cli", "bench_busy_srv", false, nullptr);
    unsigned char record[kRecordSize] = {};
    while (sender > 0) {
        Send(sender, record, kRecordSize);
    }
    _exit(1);
}

// Starts this program again as a receiving process, killed with its parent.
pid_t StartPeer(const char* mode, int rawSocket = -1) {
    char self[] = "/proc/self/exe";
    char* argv[] = {self, const_cast<char*>(mode), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (rawSocket >= 0) {
        posix_spawn_file_actions_adddup2(&actions, rawSocket, 3);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, self, &actions, nullptr, argv, environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void StopPeer(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// What the sending side hears back from the peer process.
struct Replies {
    std::mutex mutex;
    std::condition_variable cv;
    int64_t acks = 0;
    int64_t probes = 0;
    int64_t oneWayNs = 0;

    LumoCallback Callback() {
        return [this](int, LumoRequest* request) {
            if (request == nullptr) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (request->size == kRecordSize) {
                int64_t times[2];
                memcpy(times, request->data, sizeof(times));
                oneWayNs += times[1] - times[0];
                ++probes;
            } else {
                ++acks;
            }
            cv.notify_one();
        };
    }
    bool WaitFor(int64_t Replies::*counter, int64_t target) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(2), [&] { return this->*counter >= target; });
    }
};

void BM_LumoSend232(benchmark::State& state) {
    const pid_t peer = StartPeer("--peer");
    Replies replies;
    const int sender = Open("bench_cli", "bench_srv", false, replies.Callback());
    unsigned char record[kRecordSize] = {};
    int64_t sent = 0;
    for (auto _ : state) {
        if (sender <= 0 || Send(sender, record, kRecordSize) != 0) {
            state.SkipWithError("send failed");
            break;
        }
        if (++sent % kBatch == 0) {
            state.PauseTiming();
            if (!replies.WaitFor(&Replies::acks, sent / kBatch)) {
                state.SkipWithError("no acknowledgement");
            }
            state.ResumeTiming();
        }
    }
    StopPeer(peer);
    while (sender > 0 && LumoClosePipe(sender) == -EBUSY) {
    }
}
BENCHMARK(BM_LumoSend232);

void BM_RawSeqpacketSend232(benchmark::State& state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    const pid_t peer = StartPeer("--raw-peer", sv[1]);
    close(sv[1]);
    unsigned char record[kRecordSize] = {};
    int64_t sent = 0;
    for (auto _ : state) {
        if (send(sv[0], record, kRecordSize, MSG_NOSIGNAL | MSG_DONTWAIT) != kRecordSize) {
            state.SkipWithError("send failed");
            break;
        }
        if (++sent % kBatch == 0) {
            state.PauseTiming();
            char ack;
            if (recv(sv[0], &ack, 1, 0) != 1) {
                state.SkipWithError("no acknowledgement");
            }
            state.ResumeTiming();
        }
    }
    StopPeer(peer);
    close(sv[0]);
}
BENCHMARK(BM_RawSeqpacketSend232);

// One iteration is one round trip; one_way_us is the mean time from the send
// here to the callback in the peer process (both read CLOCK_MONOTONIC).
void BM_OneWayLatencyBetweenProcesses(benchmark::State& state) {
    const pid_t peer = StartPeer("--peer");
    Replies replies;
    const int sender = Open("bench_cli", "bench_srv", false, replies.Callback());
    unsigned char record[kRecordSize] = {};
    record[kMark] = 1;
    int64_t sent = 0;
    for (auto _ : state) {
        const int64_t now = NowNs();
        memcpy(record, &now, sizeof(now));
        if (sender <= 0 || Send(sender, record, kRecordSize) != 0 ||
            !replies.WaitFor(&Replies::probes, ++sent)) {
            state.SkipWithError("no echo");
            break;
        }
    }
    std::lock_guard<std::mutex> lock(replies.mutex);
    state.counters["one_way_us"] = benchmark::Counter(
        replies.probes > 0 ? static_cast<double>(replies.oneWayNs) / static_cast<double>(replies.probes) / 1000.0
                           : 0.0);
    StopPeer(peer);
    while (sender > 0 && LumoClosePipe(sender) == -EBUSY) {
    }
}
BENCHMARK(BM_OneWayLatencyBetweenProcesses)->UseRealTime();

// Our send and a raw SEQPACKET send of the same record, batch by batch in the
// same run, while a third process floods this process's receive thread.
// Manual time is our send's; counters give both and their ratio.
void BM_SendWithBusyReceiver(benchmark::State& state) {
    std::atomic<int64_t> flooded{0};
    const int busy = Open("bench_busy_srv", "bench_flood_cli", true,
                          [&flooded](int, LumoRequest*) { flooded.fetch_add(1, std::memory_order_relaxed); });
    Pin(ReceiveThread(), 1);
    Pin(0, 0);
    const pid_t flood = StartPeer("--flood");
    const pid_t peer = StartPeer("--peer");
    int sv[2];
    const bool paired = socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0;
    const pid_t rawPeer = paired ? StartPeer("--raw-peer", sv[1]) : -1;
    if (paired) {
        close(sv[1]);
    }
    Replies replies;
    const int sender = Open("bench_cli", "bench_srv", false, replies.Callback());
    while (flooded.load() == 0 && sender > 0) {
        usleep(1000);
    }
    unsigned char record[kRecordSize] = {};
    int64_t batches = 0;
    double ours = 0;
    double raw = 0;
    for (auto _ : state) {
        if (!paired || sender <= 0) {
            state.SkipWithError("setup failed");
            break;
        }
        // Alternating which send goes first cancels what one batch leaves
        // behind for the next (wake-ups of the peers, cache state).
        bool ok = true;
        auto ourBatch = [&] {
            const int64_t start = NowNs();
            for (int64_t i = 0; i < kBatch; ++i) {
                ok = Send(sender, record, kRecordSize) == 0 && ok;
            }
            return NowNs() - start;
        };
        auto rawBatch = [&] {
            const int64_t start = NowNs();
            for (int64_t i = 0; i < kBatch; ++i) {
                ok = send(sv[0], record, kRecordSize, MSG_NOSIGNAL | MSG_DONTWAIT) == kRecordSize && ok;
            }
            return NowNs() - start;
        };
        int64_t ourNs = 0;
        int64_t rawNs = 0;
        if (batches % 2 == 0) {
            ourNs = ourBatch();
            rawNs = rawBatch();
        } else {
            rawNs = rawBatch();
            ourNs = ourBatch();
        }
        char ack;
        ++batches;
        if (!ok || !replies.WaitFor(&Replies::acks, batches) || recv(sv[0], &ack, 1, 0) != 1) {
            state.SkipWithError("send failed");
            break;
        }
        ours += static_cast<double>(ourNs);
        raw += static_cast<double>(rawNs);
        state.SetIterationTime(static_cast<double>(ourNs) / 1e9);
    }
    const double sends = static_cast<double>(std::max<int64_t>(batches, 1) * kBatch);
    state.counters["lumo_ns"] = ours / sends;
    state.counters["raw_ns"] = raw / sends;
    state.counters["ratio"] = raw > 0 ? ours / raw : 0.0;
    state.counters["flooded"] = static_cast<double>(flooded.load());
    StopPeer(flood);
    StopPeer(peer);
    StopPeer(rawPeer);
    if (paired) {
        close(sv[0]);
    }
    while (sender > 0 && LumoClosePipe(sender) == -EBUSY) {
    }
    while (busy > 0 && LumoClosePipe(busy) == -EBUSY) {
    }
}
BENCHMARK(BM_SendWithBusyReceiver)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-' && argv[1][1] == '-') {
        Pin(0, 1);  // the receiving processes stay off the sender's CPU
    }
    if (argc > 1 && strcmp(argv[1], "--peer") == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        Peer();
    }
    if (argc > 1 && strcmp(argv[1], "--raw-peer") == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        RawPeer();
    }
    if (argc > 1 && strcmp(argv[1], "--flood") == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        Flood();
    }
    // A private pipe directory, inherited by the peer processes.
    char dir[] = "/tmp/lumo-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    setenv("LUMO_PIPE_DIR", dir, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (DIR* entries = opendir(dir)) {
        while (dirent* entry = readdir(entries)) {
            if (entry->d_name[0] != '.') {
                unlink((std::string(dir) + "/" + entry->d_name).c_str());
            }
        }
        closedir(entries);
    }
    rmdir(dir);
    return 0;
}
