#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "cmdline_config_center.h"
#include "env/cmdline_internal.h"
#include "env_manager.h"
#include "support/log_capture.h"

namespace {

const std::string kPath = "cmdline_test_file";  // in the test's working directory

// Runs Init on a centre that reads `path`, expects `tokens`, and takes what it
// logged: priority, tag and process name, message.
std::string InitFrom(const std::string& path, const std::unordered_set<std::string>& tokens = {}) {
    VeKov::CmdlineConfigCenter centre(path);
    centre.Init();
    EXPECT_EQ(centre.Tokens(), tokens);
    std::string logged;
    for (const auto& line : log_capture::Lines()) {
        logged += std::to_string(line.priority) + line.text.substr(0, 15) +
                  log_capture::MessageOf(line.text);
    }
    log_capture::Clear();
    return logged;
}

TEST(CmdlineConfigCenterTest,
     InitKeepsSpaceSeparatedTokensAndTheCentreIsSharedAndAnswersLikeTheFallback) {
    EnvManager::SetProcName("cmdtest");
    std::ofstream(kPath) << "console=ttyS0  quiet\tro quiet   root=/dev/vda \n\n  last quiet\n\t";
    EXPECT_EQ(
        InitFrom(kPath, {"console=ttyS0", "quiet\tro", "quiet", "root=/dev/vda", "last", "\t"}),
        "");
    std::ofstream(kPath) << "   \n \n\n  ";
    EXPECT_EQ(InitFrom(kPath), "4[KOV][cmdtest][Cmdline config, can't find " + kPath + ".\n");
    const std::string missing = kPath + "/cmdline";  // under a plain file: cannot be opened
    EXPECT_EQ(InitFrom(missing),
              "3[KOV][cmdtest][Cmdline config fail, can't find " + missing + ".\n");
    std::remove(kPath.c_str());

    // Concurrent first callers share one centre, initialised (and failing) once.
    cmdline_internal::SetDefaultCmdlinePath(missing.c_str());
    std::shared_ptr<VeKov::CmdlineBaseCenter> seen[3];
    std::thread a([&seen] { seen[0] = VeKov::CmdlineConfigCenter::GetInstance(true); });
    std::thread b([&seen] { seen[1] = VeKov::CmdlineConfigCenter::GetInstance(true); });
    seen[2] = VeKov::CmdlineConfigCenter::GetInstance(true);
    a.join(), b.join();
    EXPECT_EQ(log_capture::CountMessage("Cmdline config fail, can't find " + missing + ".\n"), 1u);
    EXPECT_TRUE(seen[0] == seen[1] && seen[0] == seen[2]);
    // Whether the command line was read or not, the centre answers like the
    // fallback that replaces it at exit.
    VeKov::CmdlineConfigCenter read(kPath);
    std::ofstream(kPath) << "console=ttyS0 quiet";
    read.Init();
    std::remove(kPath.c_str());
    VeKov::CmdlineInvalidCenter fallback;
    const auto answers = [](VeKov::CmdlineBaseCenter& c) {
        return std::vector<uint32_t>({c.IsFpga(), c.GetVfsClientOpenPipeTimeout(),
                                      c.GetVfsKovmgrRouteTimeout(), c.GetVfsServerOpenPipeTimeout(),
                                      c.GetKovReadyTimeout()});
    };
    EXPECT_EQ(answers(read), answers(fallback));
    EXPECT_EQ(answers(*seen[0]), answers(fallback));
}

}  // namespace
