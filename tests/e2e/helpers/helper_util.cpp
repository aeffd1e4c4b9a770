// The fortified <syslog.h> would turn syslog() into an inline wrapper; this
// file defines the real symbols that the library's calls resolve to.
#undef _FORTIFY_SOURCE
#include "helper_util.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

namespace helper {
namespace {

std::vector<std::string>& ForwardedParts() {
    static auto* parts = new std::vector<std::string>();  // read by exit-time loggers too
    return *parts;
}
std::atomic<uint64_t> logLines{0};
std::atomic<uint64_t> signalsHandled{0};
std::mutex stormMutex;  // guards stormTimers
std::vector<timer_t> stormTimers;

void WriteAll(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDOUT_FILENO, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the reader went away; events are lost, the process goes on
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

__attribute__((format(printf, 1, 0))) void OnLogLine(const char* format, va_list args) {
    const int savedErrno = errno;
    logLines.fetch_add(1, std::memory_order_relaxed);
    char text[1024];
    vsnprintf(text, sizeof(text), format, args);
    for (const std::string& part : ForwardedParts()) {
        if (strstr(text, part.c_str()) != nullptr) {
            size_t length = strlen(text);
            while (length > 0 && text[length - 1] == '\n') {
                text[--length] = '\0';
            }
            Emit("log", " %s", text);
            break;
        }
    }
    errno = savedErrno;
}

void CountSignal(int) { signalsHandled.fetch_add(1, std::memory_order_relaxed); }

int CountEntries(const char* directory) {
    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

}  // namespace

int64_t MonoMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Emit(const char* kind, const char* format, ...) {
    char line[1200];
    int used = snprintf(line, sizeof(line), "%lld %s", static_cast<long long>(MonoMs()), kind);
    va_list args;
    va_start(args, format);
    used += vsnprintf(line + used, sizeof(line) - static_cast<size_t>(used) - 1, format, args);
    va_end(args);
    if (used > static_cast<int>(sizeof(line)) - 2) {
        used = static_cast<int>(sizeof(line)) - 2;
    }
    line[used++] = '\n';
    WriteAll(line, static_cast<size_t>(used));
}

void ForwardLogLinesContaining(std::vector<std::string> parts) { ForwardedParts() = std::move(parts); }
uint64_t LogLineCount() { return logLines.load(); }

void StartSignalStorm() {
    struct sigaction action{};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls must cope themselves
    sigaction(SIGUSR1, &action, nullptr);
    std::lock_guard<std::mutex> lock(stormMutex);
    for (pid_t tid : ThreadsNamed("")) {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGUSR1;
        event._sigev_un._tid = tid;
        timer_t timer;
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
            continue;
        }
        itimerspec every{};
        every.it_value.tv_nsec = 1000000;
        every.it_interval.tv_nsec = 1000000;
        timer_settime(timer, 0, &every, nullptr);
        stormTimers.push_back(timer);
    }
}

void StopSignalStorm() {
    std::lock_guard<std::mutex> lock(stormMutex);
    for (timer_t timer : stormTimers) {
        timer_delete(timer);
    }
    stormTimers.clear();
}

uint64_t SignalsHandled() { return signalsHandled.load(); }

std::vector<pid_t> ThreadsNamed(const std::string& name) {
    std::vector<pid_t> found;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (name.empty() || threadName == name) {
            found.push_back(static_cast<pid_t>(atoi(entry->d_name)));
        }
    }
    closedir(dir);
    return found;
}

int CountOpenDescriptors() { return CountEntries("/proc/self/fd") - 1; }  // less opendir's own
int CountThreads() { return CountEntries("/proc/self/task"); }

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return -1;
}

int64_t CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (static_cast<int64_t>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

bool ReadCommand(std::string* line) {
    static std::string pending;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            *line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace helper

// The library writes its log lines with syslog(); these definitions in the
// executable take the place of the C library's.
#define HELPER_SYSLOG(formatAt, argsAt) \
    __attribute__((visibility("default"), format(printf, formatAt, argsAt)))
extern "C" {
HELPER_SYSLOG(2, 3) void syslog(int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    helper::OnLogLine(format, args);
    va_end(args);
}
HELPER_SYSLOG(3, 4) void __syslog_chk(int, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    helper::OnLogLine(format, args);
    va_end(args);
}
HELPER_SYSLOG(2, 0) void vsyslog(int, const char* format, va_list args) {
    helper::OnLogLine(format, args);
}
HELPER_SYSLOG(3, 0) void __vsyslog_chk(int, int, const char* format, va_list args) {
    helper::OnLogLine(format, args);
}
}
