#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline_config_center.h"
#include "env/cmdline_internal.h"
#include "env_manager.h"
#include "support/log_capture.h"

namespace {

using VeKov::CmdlineBaseCenter;
using VeKov::CmdlineConfigCenter;
using VeKov::CmdlineInvalidCenter;
using Tokens = std::unordered_set<std::string>;

// Every answer of a centre, in slot order.
std::vector<uint32_t> Answers(CmdlineBaseCenter& centre) {
    return {centre.IsFpga() ? 1u : 0u, centre.GetVfsClientOpenPipeTimeout(), centre.GetVfsKovmgrRouteTimeout(),
            centre.GetVfsServerOpenPipeTimeout(), centre.GetKovReadyTimeout()};
}
const std::vector<uint32_t> kFixedAnswers = {0, 1000, 1500, 3000, 1000};

class CmdlineConfigCenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnvManager::SetProcName("cmdtest");
        char dir[] = "/tmp/cmdline_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        log_capture::Clear();
    }
    void TearDown() override {
        std::remove(Path().c_str());
        rmdir(directory.c_str());
    }

    std::string Path() const { return directory + "/cmdline"; }
    std::string WriteCmdline(const std::string& content) const {
        std::ofstream(Path(), std::ios::binary) << content;
        return Path();
    }
    static std::unique_ptr<CmdlineConfigCenter> InitFrom(const std::string& path) {
        auto centre = std::make_unique<CmdlineConfigCenter>(path);
        centre->Init();
        return centre;
    }

    std::string directory;
};

TEST_F(CmdlineConfigCenterTest, SplitsOnSingleSpacesOnlyAndKeepsEachTokenOnce) {
    auto centre = InitFrom(WriteCmdline("console=ttyS0  quiet\tro quiet   root=/dev/vda \n\n  last quiet\n\t"));
    EXPECT_EQ(centre->Tokens(), (Tokens{"console=ttyS0", "quiet\tro", "quiet", "root=/dev/vda", "last", "\t"}));
    EXPECT_TRUE(log_capture::Lines().empty());
    EXPECT_EQ(Answers(*centre), kFixedAnswers);
}

TEST_F(CmdlineConfigCenterTest, OnlySpacesAndNewlinesWarnOnce) {
    for (const char* content : {"", "   \n \n\n  ", "\n"}) {
        log_capture::Clear();
        auto centre = InitFrom(WriteCmdline(content));
        EXPECT_TRUE(centre->Tokens().empty());
        auto lines = log_capture::Lines();
        ASSERT_EQ(lines.size(), 1u) << '"' << content << '"';
        EXPECT_EQ(lines[0].priority, LOG_WARNING);
        EXPECT_EQ(lines[0].text.rfind("[KOV][cmdtest][", 0), 0u);
        EXPECT_EQ(log_capture::MessageOf(lines[0].text), "Cmdline config, can't find " + Path() + ".\n");
        EXPECT_EQ(Answers(*centre), kFixedAnswers);
    }
}

TEST_F(CmdlineConfigCenterTest, MissingFileLogsAnErrorAndKeepsTheDefaults) {
    auto centre = InitFrom(directory + "/absent");
    auto lines = log_capture::Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text.rfind("[KOV][cmdtest][", 0), 0u);
    EXPECT_EQ(log_capture::MessageOf(lines[0].text), "Cmdline config fail, can't find " + directory + "/absent.\n");
    EXPECT_EQ(Answers(*centre), kFixedAnswers);
}

TEST_F(CmdlineConfigCenterTest, EveryCentreGivesTheSameAnswers) {
    CmdlineConfigCenter uninitialised(Path());
    CmdlineInvalidCenter fallback;
    EXPECT_EQ(Answers(uninitialised), kFixedAnswers);
    EXPECT_EQ(Answers(fallback), kFixedAnswers);
    EXPECT_EQ(Answers(*InitFrom(WriteCmdline("fpga=1 chip=fpga\n"))), kFixedAnswers);
}

TEST_F(CmdlineConfigCenterTest, ProcessCentreReadsProcCmdlineOnce) {
    auto first = CmdlineConfigCenter::GetInstance(true);
    auto* centre = dynamic_cast<CmdlineConfigCenter*>(first.get());
    ASSERT_NE(centre, nullptr);
    EXPECT_EQ(CmdlineConfigCenter::GetInstance(true), first);
    EXPECT_EQ(CmdlineConfigCenter::GetInstance(false), first);
    EXPECT_FALSE(centre->Tokens().empty());  // a booted kernel always has a command line
    EXPECT_EQ(Answers(*first), kFixedAnswers);
}

// Many first callers at once: Init runs once, so a missing command line is
// reported exactly once, and everybody gets the one centre.
TEST_F(CmdlineConfigCenterTest, ConcurrentFirstCallersRunInitOnce) {
    const std::string absent = directory + "/absent";
    cmdline_internal::SetDefaultCmdlinePath(absent.c_str());
    constexpr int kThreads = 16;
    std::atomic<int> ready{0};
    std::vector<std::shared_ptr<CmdlineBaseCenter>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            seen[t] = CmdlineConfigCenter::GetInstance(true);
            for (int i = 0; i < 200; ++i) {
                if (Answers(*CmdlineConfigCenter::GetInstance(true)) != kFixedAnswers) {
                    seen[t] = nullptr;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    cmdline_internal::SetDefaultCmdlinePath(nullptr);
    EXPECT_EQ(log_capture::CountMessage("Cmdline config fail, can't find " + absent + ".\n"), 1u);
    EXPECT_EQ(log_capture::Lines().size(), 1u);
    ASSERT_NE(dynamic_cast<CmdlineConfigCenter*>(seen[0].get()), nullptr);
    for (const auto& centre : seen) {
        EXPECT_EQ(centre, seen[0]);
    }
}

}  // namespace
