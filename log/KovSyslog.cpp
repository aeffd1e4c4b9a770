// KovSyslog: format one line with its prefix and hand it to syslog.
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "common/mutex.h"
#include "common/securec.h"
#include "common/thread_annotations.h"
#include "env_manager.h"
#include "kov_log.h"
#include "log/log_internal.h"

namespace {

constexpr int kMaxWrittenLevel = LOG_NOTICE;
constexpr size_t kLineBufferSize = 256;  // message and line buffers
constexpr size_t kTimeBufferSize = 32;   // clock text and time field

// Indexed by KOVLogType: kinds 4..7 print the tags of kinds 0..3.
constexpr const char* kModuleTags[8] = {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT",
                                        "KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"};

// Serialises the building of lines and their hand-over to syslog, so that lines
// of different threads are written whole. Lock order: the rate limit's locks
// (all released before this is taken), then this, then EnvManager's envMutex
// (the first ProcName() inside a line); the annotations cannot name the other
// two, which live in other files. Constant-initialised, so it works from the
// first line of any static constructor, and never destroyed while in use.
hb::Mutex logMutex;

// The process id for the prefix. getpid() is a system call (glibc no longer
// caches it) and cost about as much as all the rest of the prefix, so it is read
// once and read again only in the child of a fork(), whose atfork handler
// forgets it.
pid_t cachedPid GUARDED_BY(logMutex) = 0;

// Runs in the single-threaded child, where no lock is needed (and logMutex may
// be held for good by a thread that the child does not have).
void ForgetPidInChild() NO_THREAD_SAFETY_ANALYSIS { cachedPid = 0; }

// Registered while the library loads, not on the first line: pthread_atfork
// takes the C library's fork-handler lock, which must never be waited for with
// logMutex held (a fork handler of the host may log).
[[maybe_unused]] const int forkHandlerRegistered = pthread_atfork(nullptr, nullptr, ForgetPidInChild);

pid_t CurrentPid() REQUIRES(logMutex) {
    if (cachedPid == 0) {
        cachedPid = getpid();
    }
    return cachedPid;
}

// "HH:MM:SS.uuuuuu" of the wall clock, or "F" when it cannot be built.
void FormatTimeField(char (&field)[kTimeBufferSize]) {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    int micros = static_cast<int>(now.tv_nsec / 1000);
    struct tm local = {};
    char clockText[kTimeBufferSize] = {};
    if (localtime_r(&now.tv_sec, &local) == nullptr ||
        strftime(clockText, sizeof(clockText), "%T", &local) == 0 ||
        snprintf_s(field, sizeof(field), sizeof(field) - 1, "%s.%06d", clockText, micros) < 0) {
        field[0] = 'F';
        field[1] = '\0';
    }
}

}  // namespace

void KovSyslog(KOVLogType type, int level, int line, const char* file, const char* fmt, ...) {
    // Info and debug lines cost one comparison.
    if (level > kMaxWrittenLevel) {
        return;
    }
    const int savedErrno = errno;
    const int kind = static_cast<int>(type);
    if (kind > KOV_LOG_HEARTBEAT && !log_internal::RestrainedLogAllows(line, file)) {
        errno = savedErrno;
        return;
    }

    char message[kLineBufferSize];
    char buffer[kLineBufferSize];
    memset(message, 0, sizeof(message));
    memset(buffer, 0, sizeof(buffer));
    {
        hb::MutexLock lock(&logMutex);

        int formatted = -1;
        if (fmt != nullptr) {
            va_list args;
            va_start(args, fmt);
            formatted = vsnprintf_s(message, sizeof(message), sizeof(message) - 1, fmt, args);
            va_end(args);
        }
        if (formatted < 0) {
            message[0] = 'F';
            message[1] = '\0';
        }
        message[sizeof(message) - 1] = '\0';

        if (kind >= 0 && kind < 8) {
            char timeField[kTimeBufferSize];
            FormatTimeField(timeField);
            if (snprintf_s(buffer, sizeof(buffer), sizeof(buffer) - 1, "[%s][%s][%s][%d][%lu][%s:%d] ",
                           kModuleTags[kind], EnvManager::ProcName(), timeField, CurrentPid(),
                           static_cast<unsigned long>(pthread_self()),
                           file != nullptr ? file : "UnknowFile", line) < 0) {
                buffer[0] = '\0';  // an unformattable prefix is dropped, not cut
            }
        }

        // Prefix and message together never exceed 254 characters.
        const size_t prefixLen = strnlen(buffer, sizeof(buffer) - 1);
        const size_t room = (sizeof(buffer) - 1) - prefixLen;
        if (room > 0) {
            message[room - 1] = '\0';  // at most 254 - prefixLen characters
            memcpy_s(buffer + prefixLen, sizeof(buffer) - prefixLen, message,
                     strnlen(message, sizeof(message)) + 1);
        }

        syslog(level, "%s", buffer);
    }
    errno = savedErrno;
}
