// Internals of the rate limit of rate-limited log kinds, reachable by tests.
#ifndef LOG_RESTRAINED_LOG_INTERNAL_H_
#define LOG_RESTRAINED_LOG_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace log_internal {

// A call site prints again only when this many seconds have passed since the
// line it last printed.
constexpr int32_t kQuietSeconds = 600;

// The key of a call site: the standard string hash of the decimal
// pthread_self(), the decimal line (as a 64-bit unsigned value after sign
// extension) and the file name, written one after the other without
// separators. False, with `key` untouched, when `file` is null or the text would
// be longer than 255 characters; such a line is suppressed.
bool CallSiteKey(int line, const char* file, unsigned long* key);

// Where PrintTableInsert() reads the wall-clock second. Null (the default)
// means clock_gettime(CLOCK_REALTIME); tests install a fake clock to walk the
// 600-second window without sleeping, and must install it before any other
// thread logs a rate-limited line.
using RealtimeSecondsSource = int64_t (*)();
void SetRealtimeSecondsSource(RealtimeSecondsSource source);

// The memory of the rate limit: for every call site that printed in the last
// 600 seconds, the second of its last printed line.
//
// An entry whose window has passed (or whose second is negative) answers
// exactly as an absent one does, so it may go at any time without a line
// changing. They are swept out at least once a window (so a burst of sites
// that then fall silent is freed too), and when the table has doubled since
// the last sweep and its oldest second has left the window (so sweeps cost
// O(1) per new site, amortised, and a burst of live sites costs none).
// Threads that come and go thus leave a table bounded by the sites of the
// last 600 seconds, not by every site ever seen.
class PrintTable {
public:
    PrintTable() = default;
    PrintTable(const PrintTable&) = delete;
    PrintTable& operator=(const PrintTable&) = delete;

    // 0 when `key` may print at second `now` (which is recorded); -1 when it
    // printed less than 600 seconds before, in 32-bit two's-complement
    // arithmetic (a clock set back keeps it quiet until it passes that second
    // again; a negative recorded second never suppresses).
    int Insert(unsigned long key, int32_t now) EXCLUDES(tableMutex);

    // Entries and hash buckets now held, for tests and benchmarks.
    size_t Entries() EXCLUDES(tableMutex);
    size_t Buckets() EXCLUDES(tableMutex);

private:
    static constexpr size_t kFirstSweep = 1024;

    void SweepLocked(int32_t now) REQUIRES(tableMutex);

    // Guards everything below. Taken after the singleton's guard lock has been
    // released and released before KovSyslog takes its log mutex; no other
    // lock is ever taken while it is held.
    hb::Mutex tableMutex;
    // Call-site key -> CLOCK_REALTIME second of its last printed line.
    std::unordered_map<unsigned long, int32_t> printTable GUARDED_BY(tableMutex);
    size_t sweepAtSize GUARDED_BY(tableMutex) = kFirstSweep;
    int32_t lastSweep GUARDED_BY(tableMutex) = 0;
    // No entry holds an older second than this (it may be older than all).
    int32_t oldestKept GUARDED_BY(tableMutex) = 0;
};

}  // namespace log_internal

#endif  // LOG_RESTRAINED_LOG_INTERNAL_H_
