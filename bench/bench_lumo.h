// A stand-in for the IPC pipe library (LumoOpen, LumoSendRequest,
// LumoClosePipe) for benchmarks that measure the library's own work and not
// the pipe's. It keeps no payloads, so nothing it does grows with the number
// of iterations: open answers the next handle of a counter (from 100 up),
// send and close answer 0, and each call is counted. Safe from any thread.
#ifndef BENCH_BENCH_LUMO_H_
#define BENCH_BENCH_LUMO_H_

#include <cstdint>

namespace bench_lumo {

// Zeroes the call counts; the handle counter restarts at 100.
void Reset();

struct Counts {
    uint64_t opens, sends, closes;
};
Counts CallCounts();

}  // namespace bench_lumo

#endif  // BENCH_BENCH_LUMO_H_
