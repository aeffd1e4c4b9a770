#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "env_manager.h"
#include "kov_log.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

// The one line written by KovSyslog(kind, LOG_ERR, line, file, "%s", message).
std::string LineOf(int kind, const char* file, const std::string& message, int line = 1) {
    log_capture::Clear();
    KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, line, file, "%s", message.c_str());
    auto lines = log_capture::Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? "" : lines[0].text;
}

TEST(KovSyslogTest, WritesTheFullPrefixThenTheMessageAlsoInAForkedChild) {
    EnvManager::SetProcName("logtest");
    const std::string ids = std::to_string(getpid()) + R"(\]\[)" +
                            std::to_string(static_cast<unsigned long>(pthread_self()));
    int kind = 0;
    for (const char* tag : {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"}) {
        const bool named = kind == KOV_LOG_HEARTBEAT;  // a message is a line, not a format
        const std::regex line(R"(\[)" + std::string(tag) + R"(\]\[logtest\]\[\d\d:\d\d:\d\d\.\d{6}\]\[)" + ids +
                              (named ? R"(\]\[checkheart:432\] 100%s\n)" : R"(\]\[UnknowFile:-7\] 100%s\n)"));
        EXPECT_TRUE(std::regex_match(LineOf(kind++, named ? "checkheart" : nullptr, "100%s\n", named ? 432 : -7), line))
            << tag;
    }
    EXPECT_EQ(child_process::Run([] {  // the pid is the caller's own, in a forked child too
                  return LineOf(KOV_LOG_KOV, "f", "child").find("][" + std::to_string(getpid()) + "][") == std::string::npos;
              }),
              0);
}

TEST(KovSyslogTest, WritesOnlyUpToNoticeAtThatPriorityAndKeepsErrno) {
    for (int level = 0; level <= LOG_DEBUG; ++level) {
        errno = ENOSPC;  // the capturing syslog() sets EIO, as the real one may
        KovSyslog(KOV_LOG_KOV, level, 1, "f", "level %d", level);
        EXPECT_EQ(errno, ENOSPC);
    }
    ASSERT_EQ(log_capture::Lines().size(), 6u);
    for (int level = 0; level <= LOG_NOTICE; ++level) EXPECT_EQ(log_capture::Lines()[level].priority, level);
}

TEST(KovSyslogTest, LongOrBadInputDegradesTheLine) {
    const size_t prefix = LineOf(KOV_LOG_KOV, "f", "").size();
    EXPECT_EQ(log_capture::MessageOf(LineOf(KOV_LOG_KOV, "f", std::string(300, 'a'))), "F");
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", nullptr);
    EXPECT_EQ(log_capture::MessageOf(log_capture::Lines().back().text), "F");
    const std::string cut = LineOf(KOV_LOG_KOV, "f", std::string(254, 'm'));
    EXPECT_EQ(cut.size(), 254u);  // prefix and message together
    EXPECT_EQ(log_capture::MessageOf(cut), std::string(254 - prefix, 'm'));
    // Kinds outside the table, and a prefix that does not fit, print the message alone.
    EXPECT_EQ(LineOf(8, "f", "bare"), "bare");
    EXPECT_EQ(LineOf(-3, "f", std::string(255, 'b')), std::string(254, 'b'));
    EXPECT_EQ(LineOf(KOV_LOG_KOV, std::string(250, 'x').c_str(), "alone"), "alone");
}

}  // namespace
