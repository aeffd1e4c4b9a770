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

class KovSyslogTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnvManager::SetProcName("logtest");
        log_capture::Clear();
    }

    // The one captured line, or an empty string (and a failure) otherwise.
    static std::string OnlyLine() {
        auto lines = log_capture::Lines();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string() : lines.back().text;
    }
};

TEST_F(KovSyslogTest, WritesEveryPrefixFieldThenTheMessage) {
    KovSyslog(KOV_LOG_HEARTBEAT, LOG_NOTICE, 432, "checkheart",
              "Unregister all client check heart beat.");
    auto lines = log_capture::Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_NOTICE);  // the level alone, no facility bits

    std::smatch fields;
    const std::regex format(
        R"(^\[([^\]]*)\]\[([^\]]*)\]\[(\d\d:\d\d:\d\d)\.(\d{6})\]\[(\d+)\]\[(\d+)\]\[([^:\]]*):(\d+)\] (.*)$)");
    ASSERT_TRUE(std::regex_match(lines[0].text, fields, format)) << lines[0].text;
    EXPECT_EQ(fields[1], "HEARTBEAT");
    EXPECT_EQ(fields[2], "logtest");
    EXPECT_EQ(fields[5], std::to_string(getpid()));
    EXPECT_EQ(fields[6], std::to_string(static_cast<unsigned long>(pthread_self())));
    EXPECT_EQ(fields[7], "checkheart");
    EXPECT_EQ(fields[8], "432");
    EXPECT_EQ(fields[9], "Unregister all client check heart beat.");
}

TEST_F(KovSyslogTest, EachKindPrintsItsTag) {
    const char* tags[] = {"KOV", "LUMO", "FAULTEVENT", "HEARTBEAT"};
    for (int kind = 0; kind < 4; ++kind) {
        log_capture::Clear();
        KovSyslog(static_cast<KOVLogType>(kind), LOG_ERR, 1, "f", "m");
        EXPECT_EQ(OnlyLine().rfind(std::string("[") + tags[kind] + "][logtest][", 0), 0u);
    }
}

TEST_F(KovSyslogTest, InfoAndDebugAreDroppedAndLeaveErrnoAlone) {
    errno = 0;
    KovSyslog(KOV_LOG_HEARTBEAT, LOG_INFO, 1, "f", "info");
    KovSyslog(KOV_LOG_KOV, LOG_DEBUG, 1, "f", "debug");
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(log_capture::Lines().empty());
    for (int level = 0; level <= LOG_NOTICE; ++level) {
        KovSyslog(KOV_LOG_KOV, level, 1, "f", "written");
    }
    EXPECT_EQ(log_capture::Lines().size(), 6u);
}

TEST_F(KovSyslogTest, RestoresTheCallersErrno) {
    // The capturing syslog() clobbers errno, as the real one may.
    errno = ENOSPC;
    KovSyslog(KOV_LOG_HEARTBEAT, LOG_ERR, 7, "f", "errno stays %d", errno);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(log_capture::MessageOf(OnlyLine()), "errno stays 28");
}

TEST_F(KovSyslogTest, NullFileIsPrintedAsUnknowFile) {
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 12, nullptr, "x");
    EXPECT_NE(OnlyLine().find("][UnknowFile:12] x"), std::string::npos);
}

TEST_F(KovSyslogTest, UnformattableMessageBecomesF) {
    std::string tooLong(300, 'a');
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "%s", tooLong.c_str());
    EXPECT_EQ(log_capture::MessageOf(OnlyLine()), "F");

    log_capture::Clear();
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", nullptr);
    EXPECT_EQ(log_capture::MessageOf(OnlyLine()), "F");

    // 255 characters still fit the message buffer.
    log_capture::Clear();
    std::string longest(255, 'b');
    KovSyslog(static_cast<KOVLogType>(-1), LOG_ERR, 1, "f", "%s", longest.c_str());
    EXPECT_EQ(OnlyLine(), std::string(254, 'b'));  // cut to the 254-character line bound
}

TEST_F(KovSyslogTest, LineNeverExceeds254Characters) {
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "%s", "");
    const size_t prefixLength = OnlyLine().size();
    ASSERT_LT(prefixLength, 254u);

    log_capture::Clear();
    std::string message(254, 'm');
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "%s", message.c_str());
    std::string line = OnlyLine();
    EXPECT_EQ(line.size(), 254u);
    EXPECT_EQ(line.substr(prefixLength), std::string(254 - prefixLength, 'm'));
}

TEST_F(KovSyslogTest, PrefixTooLongForTheLineIsDropped) {
    // A file name that makes the prefix longer than 255 characters: the prefix
    // cannot be formatted and the message is written alone.
    std::string file(250, 'x');
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, file.c_str(), "alone");
    EXPECT_EQ(OnlyLine(), "alone");
}

TEST_F(KovSyslogTest, KindsOutsideTheTableHaveNoPrefix) {
    KovSyslog(static_cast<KOVLogType>(8), LOG_ERR, 1, "f", "bare %d", 8);
    KovSyslog(static_cast<KOVLogType>(-3), LOG_ERR, 1, "f", "bare %d", -3);
    auto lines = log_capture::Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "bare 8");
    EXPECT_EQ(lines[1].text, "bare -3");
}

TEST_F(KovSyslogTest, LineIsPassedAsArgumentNotAsFormat) {
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "%s", "100%s %n");
    EXPECT_EQ(log_capture::MessageOf(OnlyLine()), "100%s %n");
}

}  // namespace

namespace {

TEST(KovSyslogForkTest, ChildLinesCarryTheChildsPid) {
    EnvManager::SetProcName("logtest");
    KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "parent");
    ASSERT_EQ(log_capture::CountContaining("][" + std::to_string(getpid()) + "]["), 1u);
    EXPECT_EQ(child_process::Run([] {
                  log_capture::Clear();
                  KovSyslog(KOV_LOG_KOV, LOG_ERR, 1, "f", "child");
                  auto lines = log_capture::Lines();
                  return lines.size() == 1 && lines[0].text.find("][" + std::to_string(getpid()) + "][") !=
                                                  std::string::npos
                             ? 0
                             : 1;
              }),
              0);
}

}  // namespace
