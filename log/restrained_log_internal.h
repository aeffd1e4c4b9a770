// Internals of the rate limit of rate-limited log kinds, reachable by tests.
#ifndef LOG_RESTRAINED_LOG_INTERNAL_H_
#define LOG_RESTRAINED_LOG_INTERNAL_H_

#include <cstdint>

namespace log_internal {

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

}  // namespace log_internal

#endif  // LOG_RESTRAINED_LOG_INTERNAL_H_
