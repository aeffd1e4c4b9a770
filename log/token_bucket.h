// A token bucket per key, for log lines that a remote party can provoke at
// will (a malformed message, a record on the wrong pipe).
//
// Each key starts with a full bucket of `burst` lines, so a handful of faults
// logs every line exactly as before; after that a line costs one token and a
// token comes back every `periodMs`. Lines refused in between are counted,
// and the next line that a key may write again carries that count, so its
// caller can say how many were left out.
//
// Memory is bounded by `capacity` keys. A key that has no entry and finds the
// table full takes over the entry whose bucket has been full longest (it holds
// nothing worth keeping: a fresh bucket looks the same); if no bucket is full,
// the least recently used entry is taken over, and its count of refused lines
// is forgotten. Keys at this library's call sites are (line, pipe handle), so
// the table only fills when more than `capacity` sites and handles misbehave
// at once.
#ifndef LOG_TOKEN_BUCKET_H_
#define LOG_TOKEN_BUCKET_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace hb {

class TokenBucketTable {
public:
    struct Verdict {
        bool write;           // the line may be written now
        uint32_t suppressed;  // with write: lines of this key refused since its last written one
    };

    TokenBucketTable(uint32_t burst, uint32_t periodMs, size_t capacity);
    TokenBucketTable(const TokenBucketTable&) = delete;
    TokenBucketTable& operator=(const TokenBucketTable&) = delete;

    // Takes a token of `key` at `nowMs` (a monotonic clock in milliseconds).
    // Any thread. Its lock is a leaf: taken under the caller's locks, released
    // before the caller logs.
    Verdict Take(uint64_t key, uint64_t nowMs) EXCLUDES(mu_);

    size_t Size() EXCLUDES(mu_);

private:
    struct Bucket {
        uint64_t refilledMs;  // time up to which `tokens` has been refilled
        uint64_t usedMs;      // time of the latest Take
        uint64_t tokens;      // in 1/periodMs of a line: a line costs periodMs
        uint32_t suppressed;
    };

    void Refill(Bucket& bucket, uint64_t nowMs) const;
    Bucket& Slot(uint64_t key, uint64_t nowMs) REQUIRES(mu_);

    const uint64_t full_;    // burst * periodMs
    const uint64_t period_;  // periodMs, at least 1
    const size_t capacity_;  // at least 1
    Mutex mu_;
    std::unordered_map<uint64_t, Bucket> buckets_ GUARDED_BY(mu_);
};

}  // namespace hb

#endif  // LOG_TOKEN_BUCKET_H_
