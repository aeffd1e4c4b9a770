// Captures what the library writes to syslog (the first 100,000 lines), for
// assertions on exact lines; the fuzz targets link it as their syslog.
//
// The test binary defines syslog() (and its fortified variant),
// so the library's calls land here instead of in the system log.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace log_capture {

struct Line {
    int priority;
    std::string text;
};

// Every line written since the last Clear(), in order.
std::vector<Line> Lines();
void Clear();

// The message part of a prefixed line: what follows "] " after "[file:line".
std::string MessageOf(const std::string& text);

// Number of lines whose message equals `message` exactly.
size_t CountMessage(const std::string& message);
// Number of lines that contain `part` anywhere.
size_t CountContaining(const std::string& part);

}  // namespace log_capture

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
