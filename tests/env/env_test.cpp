#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline_config_center.h"
#include "env/cmdline_internal.h"
#include "env_manager.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

// Each TEST runs in a fresh process: the cached name, run mode and centre start empty.

const std::string kLib = "/usr/lib64/libkov.so.1";

void Set(const char* name, const char* value) { value != nullptr ? setenv(name, value, 1) : unsetenv(name); }
std::string Env(const char* name) { return getenv(name) != nullptr ? getenv(name) : "<unset>"; }

TEST(EnvManagerTest, FirstUseFixesTheProcessNameAndTheFirstNonEmptyRunMode) {
    // PROC_NAME (unset when empty here), else the command name, unless a name
    // was set before; a name over 100 characters leaves it empty.
    const struct { std::string env; const char *comm, *preset, *expected; } cases[] = {
        {"alarm", "x", "", "alarm"}, {"", "process-manager", "", "PROCMGR"}, {"env", "x", "set", "set"},
        {std::string(101, 'v'), "x", "", ""}};
    for (const auto& c : cases) {
        const int wrong = child_process::Run([&c] {
            Set("PROC_NAME", c.env.empty() ? nullptr : c.env.c_str());
            prctl(PR_SET_NAME, c.comm);
            EnvManager::SetProcName(c.preset);
            return std::string(EnvManager::ProcName()) == c.expected ? 0 : 1;
        });
        EXPECT_EQ(wrong, 0) << c.expected;
    }
    std::string modes;
    for (const char* value : {static_cast<const char*>(nullptr), "", "factory", "normal", ""}) {
        Set("MERIDIAN_RUN_MODE", value);
        modes += EnvManager::GetRunMode() + ",";
    }
    EXPECT_EQ(modes, ",,factory,factory,factory,");
}

TEST(EnvManagerTest, EnvInitNamesTheProcessAndPutsTheFrameworkLibraryInFrontOnce) {
    Set("PROC_NAME", "first");
    EXPECT_STREQ(EnvManager::ProcName(), "first");
    const std::string longest = std::string(4096 - kLib.size(), '/') + kLib, tooLong = "/" + longest;
    // LD_PRELOAD before, KOV_LIB_PATH, result, LD_PRELOAD after; null is unset
    const struct { const char *before, *custom; int result; std::string after; } cases[] = {
        {nullptr, nullptr, 0, kLib + " "}, {nullptr, "/usr/lib64/libkov.so", -EINVAL, "<unset>"},
        {"/lib/o.so", nullptr, 0, kLib + " /lib/o.so"}, {"/lib/o.so", longest.c_str(), 0, longest + " /lib/o.so"},
        {"/a.so:/opt/usr/lib64/libkov.so.1.2", "/bad", 0, "/a.so:/opt/usr/lib64/libkov.so.1.2"},
        {"/lib/o.so", tooLong.c_str(), -ENAMETOOLONG, "/lib/o.so"}};
    for (const auto& c : cases) {
        Set("LD_PRELOAD", c.before), Set("KOV_LIB_PATH", c.custom), Set("KOV_STATUS", nullptr);
        EXPECT_EQ(EnvManager::EnvInit("alarmd"), c.result);  // the name and the status are set all the same
        EXPECT_EQ(EnvManager::UpdateLdPreload(), c.result);  // a second call changes nothing
        EXPECT_EQ(Env("PROC_NAME") + "," + Env("KOV_STATUS") + "," + Env("LD_PRELOAD"), "alarmd,READY," + c.after);
    }
    EXPECT_STREQ(EnvManager::ProcName(), "alarmd");  // the cached name follows the variable
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());  // the status suffices
    Set("KOV_STATUS", nullptr);
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());
    Set("LD_PRELOAD", (kLib + " /lib/o.so").c_str());
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());  // so does the preloaded library
}

// Tokens are split at single spaces only; an empty command line is a warning,
// an unreadable one an error, both lines an operator greps for.
TEST(CmdlineConfigCenterTest, InitSplitsAtSpacesAndEveryCentreAnswersLikeTheFallback) {
    const std::string path = "cmdline_test_file", missing = path + "/cmdline";  // under a plain file
    // Concurrent first callers share one centre, initialised (and failing) once.
    cmdline_internal::SetDefaultCmdlinePath(missing.c_str());
    std::shared_ptr<VeKov::CmdlineBaseCenter> seen[3];
    const auto first = [&seen](int i) { seen[i] = VeKov::CmdlineConfigCenter::GetInstance(true); };
    std::thread a(first, 0), b(first, 1);
    first(2), a.join(), b.join();
    EXPECT_EQ(log_capture::CountMessage("Cmdline config fail, can't find " + missing + ".\n"), 1u);
    EXPECT_TRUE(seen[0] == seen[1] && seen[0] == seen[2]);

    // {content, file read, tokens, the priority and message of each line logged}
    const struct { const char* content; std::string file; std::unordered_set<std::string> tokens; std::string logged;
    } cases[] = {{"console=ttyS0  quiet\tro quiet   root=/dev/vda \n\n  last quiet\n\t", path,
                  {"console=ttyS0", "quiet\tro", "quiet", "root=/dev/vda", "last", "\t"}, ""},
                 {"   \n \n\n  ", path, {}, "4 Cmdline config, can't find " + path + ".\n"},
                 {"", missing, {}, "3 Cmdline config fail, can't find " + missing + ".\n"}};
    VeKov::CmdlineInvalidCenter fallback;
    const auto answers = [](VeKov::CmdlineBaseCenter& c) {
        return std::vector<uint32_t>({c.IsFpga(), c.GetVfsClientOpenPipeTimeout(), c.GetVfsKovmgrRouteTimeout(),
                                      c.GetVfsServerOpenPipeTimeout(), c.GetKovReadyTimeout()});
    };
    for (const auto& c : cases) {
        std::ofstream(path) << c.content;
        VeKov::CmdlineConfigCenter centre(c.file);
        log_capture::Clear();
        centre.Init();
        EXPECT_EQ(centre.Tokens(), c.tokens);
        EXPECT_EQ(answers(centre), answers(fallback));
        std::string logged;
        for (const auto& line : log_capture::Lines()) {
            logged += std::to_string(line.priority) + " " + log_capture::MessageOf(line.text);
        }
        EXPECT_EQ(logged, c.logged);
    }
    std::remove(path.c_str());
}

}  // namespace
