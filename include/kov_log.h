// The log facility: one printf-style entry point that writes to syslog.
//
// A written line is
//
//   [<tag>][<process name>][<HH:MM:SS.uuuuuu>][<pid>][<thread id>][<file>:<line>] <message>
//
// at most 254 characters in all. The level is the syslog priority (3 error,
// 4 warning, 5 notice, 6 info, 7 debug) and is never printed; levels above 5
// are dropped on entry. Kinds 4 to 7 print the tags of kinds 0 to 3 but are
// rate-limited: each call site (thread, file and line) prints at most once in
// 600 seconds. openlog() is never called, so the process's defaults apply.
#ifndef KOV_LOG_H_
#define KOV_LOG_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "heartbeat_export.h"

enum KOVLogType : int {
    KOV_LOG_KOV = 0,                    // "KOV"
    KOV_LOG_LUMO = 1,                   // "LUMO"
    KOV_LOG_FAULTEVENT = 2,             // "FAULTEVENT"
    KOV_LOG_HEARTBEAT = 3,              // "HEARTBEAT"
    KOV_LOG_KOV_RESTRAINED = 4,         // "KOV", rate-limited
    KOV_LOG_LUMO_RESTRAINED = 5,        // "LUMO", rate-limited
    KOV_LOG_FAULTEVENT_RESTRAINED = 6,  // "FAULTEVENT", rate-limited
    KOV_LOG_HEARTBEAT_RESTRAINED = 7,   // "HEARTBEAT", rate-limited
};

// Formats `fmt` with the arguments and writes it to syslog at priority `level`
// with the prefix above. `file` is the base name of the caller's source file
// ("UnknowFile" when null) and `line` the line of the call. A message that does
// not fit in 255 characters, or cannot be formatted, is written as "F". Kinds
// outside 0..7 are written without a prefix (and, above 7, rate-limited). A
// rate-limited line with a null `file` is dropped. Never fails visibly; errno is
// the same after the call as before. Any thread; lines are written whole.
HEARTBEAT_API void KovSyslog(KOVLogType type, int level, int line, const char* file,
                             const char* fmt, ...) __attribute__((format(printf, 5, 6)));

// true: makes sure the rate limit's memory exists. false: switches rate-limited
// lines off for the rest of the process (kinds 0..3 keep printing).
HEARTBEAT_API void KovLogGetInstance(bool create);

namespace log_internal {
class PrintTable;
}

namespace VeKov {

// The memory of the rate limit: for every call site that printed in the last
// 600 seconds, the wall-clock second of its last printed line (older entries
// are dropped, so the memory follows the call sites active in the window). A
// process-wide singleton, reached only through GetInstance() and torn down
// safely at exit while other threads may still be logging.
class HEARTBEAT_API KovRestrainedLog {
public:
    KovRestrainedLog();
    ~KovRestrainedLog();
    KovRestrainedLog(const KovRestrainedLog&) = delete;
    KovRestrainedLog& operator=(const KovRestrainedLog&) = delete;

    // The singleton, created on first use. Empty once the rate limit has been
    // switched off or torn down. With `create` false, switches it off for good
    // and returns empty.
    static std::shared_ptr<KovRestrainedLog> GetInstance(bool create);

    // 0 when the call site `key` may print now (the time is recorded); -1 when
    // it printed less than 600 seconds ago, or the object is being destroyed.
    int PrintTableInsert(unsigned long key);

private:
    // Set as the first act of the destructor; read without a lock.
    std::atomic<bool> destroyed;
    // The table and its lock, kept out of this header.
    std::unique_ptr<log_internal::PrintTable> printTable;
};

}  // namespace VeKov

#endif  // KOV_LOG_H_
