#include "log/token_bucket.h"

#include <algorithm>

namespace hb {

TokenBucketTable::TokenBucketTable(uint32_t burst, uint32_t periodMs, size_t capacity)
    : full_(static_cast<uint64_t>(std::max<uint32_t>(burst, 1)) * std::max<uint32_t>(periodMs, 1)),
      period_(std::max<uint32_t>(periodMs, 1)),
      capacity_(std::max<size_t>(capacity, 1)) {
    // All nodes the table may ever hold are allocated as it fills; the bucket
    // array is sized once so that a flood never rehashes under the lock.
    buckets_.reserve(capacity_);
}

void TokenBucketTable::Refill(Bucket& bucket, uint64_t nowMs) const {
    if (nowMs > bucket.refilledMs) {
        bucket.tokens = std::min(full_, bucket.tokens + (nowMs - bucket.refilledMs));
        bucket.refilledMs = nowMs;
    }
}

TokenBucketTable::Bucket& TokenBucketTable::Slot(uint64_t key, uint64_t nowMs) {
    auto found = buckets_.find(key);
    if (found != buckets_.end()) {
        return found->second;
    }
    const Bucket fresh{nowMs, nowMs, full_, 0};
    if (buckets_.size() < capacity_) {
        return buckets_.emplace(key, fresh).first->second;
    }
    // Full: prefer a bucket that has refilled (it remembers nothing a fresh
    // one would not), the one idle longest; else the least recently used.
    auto victim = buckets_.end();
    bool victimIdle = false;
    for (auto it = buckets_.begin(); it != buckets_.end(); ++it) {
        Refill(it->second, nowMs);
        const bool idle = it->second.tokens == full_ && it->second.suppressed == 0;
        if (victim == buckets_.end() || (idle && !victimIdle) ||
            (idle == victimIdle && it->second.usedMs < victim->second.usedMs)) {
            victim = it;
            victimIdle = idle;
        }
    }
    buckets_.erase(victim);
    return buckets_.emplace(key, fresh).first->second;
}

TokenBucketTable::Verdict TokenBucketTable::Take(uint64_t key, uint64_t nowMs) {
    MutexLock lock(&mu_);
    Bucket& bucket = Slot(key, nowMs);
    Refill(bucket, nowMs);
    bucket.usedMs = nowMs;
    if (bucket.tokens < period_) {
        if (bucket.suppressed != UINT32_MAX) {
            ++bucket.suppressed;
        }
        return {false, 0};
    }
    bucket.tokens -= period_;
    const uint32_t suppressed = bucket.suppressed;
    bucket.suppressed = 0;
    return {true, suppressed};
}

size_t TokenBucketTable::Size() {
    MutexLock lock(&mu_);
    return buckets_.size();
}

}  // namespace hb
