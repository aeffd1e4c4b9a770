// The rate limit of the rate-limited log kinds: every call site (thread, file
// and line) prints at most once in 600 seconds.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <string_view>

#include "common/SingletonProtector.h"
#include "common/result.h"
#include "common/securec.h"
#include "kov_log.h"
#include "log/log_internal.h"
#include "log/restrained_log_internal.h"

namespace {

constexpr size_t kKeyBufferSize = 256;

std::atomic<log_internal::RealtimeSecondsSource> realtimeSecondsSource{nullptr};

int64_t RealtimeSeconds() {
    log_internal::RealtimeSecondsSource source = realtimeSecondsSource.load(std::memory_order_relaxed);
    if (source != nullptr) {
        return source();
    }
    struct timespec now = {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace

namespace log_internal {

bool CallSiteKey(int line, const char* file, unsigned long* key) {
    if (file == nullptr) {
        return false;
    }
    char text[kKeyBufferSize];
    memset(text, 0, sizeof(text));
    // The line goes through sign extension first, so line -1 reads as
    // 18446744073709551615, exactly like the 64-bit unsigned it is stored as.
    const unsigned long long wideLine = static_cast<unsigned long long>(static_cast<long long>(line));
    const int digits = snprintf_s(text, sizeof(text), sizeof(text) - 1, "%lu%llu",
                                  static_cast<unsigned long>(pthread_self()), wideLine);
    if (digits < 0 || strcat_s(text, sizeof(text), file) != 0) {
        return false;
    }
    // hash<string_view> is required to equal hash<string> of the same text, and
    // spares the allocation that a std::string of this length would cost.
    *key = static_cast<unsigned long>(std::hash<std::string_view>{}(std::string_view(text)));
    return true;
}

bool RestrainedLogAllows(int line, const char* file) {
    unsigned long key = 0;
    if (!CallSiteKey(line, file, &key)) {
        return false;
    }
    // The shared copy keeps the table alive for this one call even if the
    // process starts its exit teardown meanwhile; it is dropped before the
    // caller takes the log mutex.
    std::shared_ptr<VeKov::KovRestrainedLog> restrained = VeKov::KovRestrainedLog::GetInstance(true);
    return restrained != nullptr && restrained->PrintTableInsert(key) == 0;
}

void SetRealtimeSecondsSource(RealtimeSecondsSource source) {
    realtimeSecondsSource.store(source, std::memory_order_relaxed);
}

namespace {

// Seconds from `from` to `to` in 32-bit two's-complement arithmetic, so that a
// clock set back gives a negative difference.
int32_t Elapsed(int32_t from, int32_t to) {
    return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

// An entry that suppresses nothing any more: one that is absent answers the same.
bool Expired(int32_t last, int32_t now) { return last < 0 || Elapsed(last, now) >= kQuietSeconds; }

}  // namespace

int PrintTable::Insert(unsigned long key, int32_t now) {
    hb::MutexLock lock(&tableMutex);
    const int32_t sinceSweep = Elapsed(lastSweep, now);
    if (sinceSweep >= kQuietSeconds || sinceSweep < 0) {
        SweepLocked(now);
    }
    auto found = printTable.find(key);
    if (found != printTable.end()) {
        if (!Expired(found->second, now)) {
            return hb::kResultLineSuppressed;  // the window runs from the last printed line
        }
        found->second = now;
        return 0;
    }
    if (printTable.size() >= sweepAtSize) {
        // A sweep can only find something once the oldest second held has
        // left its window; until then the table just grows.
        if (Expired(oldestKept, now) || Elapsed(oldestKept, now) < 0) {
            SweepLocked(now);
        } else {
            sweepAtSize = 2 * printTable.size();
        }
    }
    printTable.emplace(key, now);
    if (Elapsed(oldestKept, now) < 0) {
        oldestKept = now;  // a clock set back
    }
    return 0;
}

void PrintTable::SweepLocked(int32_t now) {
    oldestKept = now;
    for (auto entry = printTable.begin(); entry != printTable.end();) {
        if (Expired(entry->second, now)) {
            entry = printTable.erase(entry);
            continue;
        }
        if (Elapsed(oldestKept, entry->second) < 0) {
            oldestKept = entry->second;
        }
        ++entry;
    }
    // The bucket array does not shrink by itself; give back what a burst left.
    if (printTable.bucket_count() > 4 * (printTable.size() + kFirstSweep)) {
        printTable.rehash(0);
    }
    sweepAtSize = std::max(kFirstSweep, 2 * printTable.size());
    lastSweep = now;
}

size_t PrintTable::Entries() {
    hb::MutexLock lock(&tableMutex);
    return printTable.size();
}

size_t PrintTable::Buckets() {
    hb::MutexLock lock(&tableMutex);
    return printTable.bucket_count();
}

}  // namespace log_internal

namespace VeKov {

KovRestrainedLog::KovRestrainedLog() : destroyed(false), printTable(new log_internal::PrintTable()) {}

KovRestrainedLog::~KovRestrainedLog() {
    // First act: a PrintTableInsert that still reaches this object now backs
    // off instead of touching a table that is being freed.
    destroyed.store(true, std::memory_order_seq_cst);
}

std::shared_ptr<KovRestrainedLog> KovRestrainedLog::GetInstance(bool create) {
    // The only owning reference. Destroyed at exit after `protector`, which is
    // constructed after it; the object itself dies with the last shared copy,
    // so a thread that is inside a log call at exit finishes with it.
    static std::shared_ptr<KovRestrainedLog> owner = std::make_shared<KovRestrainedLog>();
    static SingletonProtector<KovRestrainedLog> protector(owner);
    if (!create) {
        protector.SwitchOff();
        return nullptr;
    }
    return protector.Get();
}

int KovRestrainedLog::PrintTableInsert(unsigned long key) {
    if (destroyed.load(std::memory_order_seq_cst)) {
        return hb::kResultLineSuppressed;
    }
    // Narrowed to 32 bits, as the table stores it. The table's lock is taken
    // after the guard lock was released.
    return printTable->Insert(key, static_cast<int32_t>(RealtimeSeconds()));
}

}  // namespace VeKov

void KovLogGetInstance(bool create) { (void)VeKov::KovRestrainedLog::GetInstance(create); }
