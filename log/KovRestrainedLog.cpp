// The rate limit of the rate-limited log kinds: every call site (thread, file
// and line) prints at most once in 600 seconds.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/SingletonProtector.h"
#include "common/securec.h"
#include "kov_log.h"
#include "log/log_internal.h"
#include "log/restrained_log_internal.h"

namespace {

// A call site prints again only when this many seconds have passed since the
// line it last printed.
constexpr int32_t kQuietSeconds = 600;
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

}  // namespace log_internal

namespace VeKov {

KovRestrainedLog::KovRestrainedLog() : destroyed(false) {}

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
        return -1;
    }
    // Narrowed to 32 bits, as the table stores it.
    const int32_t now = static_cast<int32_t>(RealtimeSeconds());
    std::lock_guard<std::mutex> lock(tableMutex);  // after the guard lock was released
    auto found = printTable.find(key);
    if (found != printTable.end()) {
        const int32_t last = found->second;
        // Difference in 32-bit two's-complement arithmetic. A clock set back
        // gives a negative difference and keeps the site quiet until the clock
        // passes the recorded second again; a negative stored second never
        // suppresses.
        const int32_t elapsed = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last));
        if (last >= 0 && elapsed < kQuietSeconds) {
            return -1;  // the window runs from the last printed line
        }
        found->second = now;
        return 0;
    }
    printTable.emplace(key, now);
    return 0;
}

}  // namespace VeKov

void KovLogGetInstance(bool create) { (void)VeKov::KovRestrainedLog::GetInstance(create); }
