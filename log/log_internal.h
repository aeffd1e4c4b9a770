// The library's own way to log: HB_LOG(kind, level, fmt, ...) passes the base
// name of the calling source file and the line of the call to KovSyslog, so
// that no call site spells them out. Levels are syslog priorities (LOG_ERR,
// LOG_WARNING, LOG_NOTICE, LOG_INFO); info lines are issued but filtered.
#ifndef LOG_LOG_INTERNAL_H_
#define LOG_LOG_INTERNAL_H_

#include <syslog.h>

#include "kov_log.h"

#if defined(__FILE_NAME__)
#define HB_SOURCE_FILE __FILE_NAME__
#else
#define HB_SOURCE_FILE ::log_internal::BaseName(__FILE__)
#endif

#define HB_LOG(type, level, ...) ::KovSyslog((type), (level), __LINE__, HB_SOURCE_FILE, __VA_ARGS__)

namespace log_internal {

constexpr const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// The rate-limit step of a line of a rate-limited kind: true when the call site
// (this thread, `file` and `line`) may print now. Runs before the log mutex is
// taken; takes and releases the restrained log's own locks.
bool RestrainedLogAllows(int line, const char* file);

}  // namespace log_internal

#endif  // LOG_LOG_INTERNAL_H_
