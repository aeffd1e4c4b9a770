#include "bench_lumo.h"

#include <atomic>

#include "lumo.h"

namespace {

constexpr int kFirstHandle = 100;

std::atomic<int> nextHandle{kFirstHandle};
std::atomic<uint64_t> opens{0};
std::atomic<uint64_t> sends{0};
std::atomic<uint64_t> closes{0};

}  // namespace

extern "C" {

int LumoOpen(LumoOpenParam* /*param*/) {
    opens.fetch_add(1, std::memory_order_relaxed);
    return nextHandle.fetch_add(1, std::memory_order_relaxed);
}

int LumoSendRequest(int /*handle*/, LumoRequest* /*request*/) {
    sends.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int LumoClosePipe(int /*handle*/) {
    closes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // extern "C"

namespace bench_lumo {

void Reset() {
    nextHandle.store(kFirstHandle);
    opens.store(0);
    sends.store(0);
    closes.store(0);
}

Counts CallCounts() { return Counts{opens.load(), sends.load(), closes.load()}; }

}  // namespace bench_lumo
