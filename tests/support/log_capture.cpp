// The fortified <syslog.h> turns syslog() into an inline wrapper; this file
// defines the real symbols, so it must not see that wrapper.
#undef _FORTIFY_SOURCE
#include "support/log_capture.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex captureMutex;
std::vector<log_capture::Line>& CapturedLines() {
    static auto* lines = new std::vector<log_capture::Line>();  // outlives exit-time loggers
    return *lines;
}

void Record(int priority, const char* format, va_list args) {
    // Like the real syslog(), the capture may change errno; the library must
    // hide that from its callers.
    char text[1024];
    vsnprintf(text, sizeof(text), format, args);
    std::lock_guard<std::mutex> lock(captureMutex);
    CapturedLines().push_back({priority, text});
    errno = EIO;
}
}  // namespace

extern "C" {
void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Record(priority, format, args);
    va_end(args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Record(priority, format, args);
    va_end(args);
}
void vsyslog(int priority, const char* format, va_list args) { Record(priority, format, args); }
void __vsyslog_chk(int priority, int, const char* format, va_list args) {
    Record(priority, format, args);
}
}

namespace log_capture {

std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(captureMutex);
    return CapturedLines();
}

void Clear() {
    std::lock_guard<std::mutex> lock(captureMutex);
    CapturedLines().clear();
}

std::string MessageOf(const std::string& text) {
    size_t end = text.find("] ");
    // The prefix has six "][" separators before the file field.
    size_t fileField = 0;
    for (int i = 0; i < 5 && fileField != std::string::npos; ++i) {
        fileField = text.find("][", fileField + 1);
    }
    if (fileField != std::string::npos) {
        end = text.find("] ", fileField);
    }
    return end == std::string::npos ? text : text.substr(end + 2);
}

size_t CountMessage(const std::string& message) {
    size_t count = 0;
    for (const Line& line : Lines()) {
        count += MessageOf(line.text) == message ? 1 : 0;
    }
    return count;
}

size_t CountContaining(const std::string& part) {
    size_t count = 0;
    for (const Line& line : Lines()) {
        count += line.text.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

}  // namespace log_capture
