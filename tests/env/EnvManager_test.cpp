#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "env_manager.h"
#include "support/child_process.h"

namespace {

// Each TEST runs in a fresh process: the cached name and run mode start empty.

const std::string kLib = "/usr/lib64/libkov.so.1";

void Set(const char* name, const char* value) { value != nullptr ? setenv(name, value, 1) : unsetenv(name); }
std::string Env(const char* name) { return getenv(name) != nullptr ? getenv(name) : "<unset>"; }

TEST(EnvManagerTest, FirstUseFixesTheProcessNameAndTheFirstNonEmptyRunMode) {
    // The name comes from PROC_NAME (unset when empty here), else from the
    // command name, unless a name was set before; over 100 characters it is empty.
    const struct { std::string env; const char *comm, *preset, *expected; } cases[] = {
        {"alarm", "x", "", "alarm"}, {"", "process-manager", "", "PROCMGR"}, {"env", "x", "set", "set"},
        {std::string(101, 'v'), "x", "", ""}};
    for (const auto& c : cases) {
        auto firstName = [&c] {
            Set("PROC_NAME", c.env.empty() ? nullptr : c.env.c_str());
            prctl(PR_SET_NAME, c.comm);
            EnvManager::SetProcName(c.preset);
            return std::string(EnvManager::ProcName()) == c.expected ? 0 : 1;
        };
        EXPECT_EQ(child_process::Run(firstName), 0) << c.expected;
    }

    std::string modes;
    for (const char* value : {static_cast<const char*>(nullptr), "", "factory", "normal", ""}) {
        Set("MERIDIAN_RUN_MODE", value);
        modes += EnvManager::GetRunMode() + ",";
    }
    EXPECT_EQ(modes, ",,factory,factory,factory,");
}

TEST(EnvPreparationTest, EnvInitPreparesTheEnvironmentAndStopsAtTheFirstFailure) {
    unsetenv("KOV_STATUS"), unsetenv("KOV_LIB_PATH"), unsetenv("LD_PRELOAD");
    Set("PROC_NAME", "first");
    EXPECT_STREQ(EnvManager::ProcName(), "first");
    EXPECT_EQ(EnvManager::EnvInit("alarmd"), 0);
    EXPECT_EQ(Env("PROC_NAME") + "," + Env("KOV_STATUS") + "," + Env("LD_PRELOAD"), "alarmd,READY," + kLib + " ");
    EXPECT_STREQ(EnvManager::ProcName(), "alarmd");  // the cached name follows the variable
    Set("KOV_STATUS", nullptr);
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());  // the library is preloaded
    Set("LD_PRELOAD", "/lib/o.so");
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());
    Set("KOV_LIB_PATH", "/opt/libkov.so");
    EXPECT_EQ(EnvManager::EnvInit("other"), -EINVAL);
    EXPECT_EQ(Env("PROC_NAME") + "," + Env("KOV_STATUS") + "," + Env("LD_PRELOAD"), "other,READY,/lib/o.so");
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());  // the status suffices
}

TEST(EnvPreparationTest, UpdateLdPreloadPutsTheFrameworkLibraryInFrontOnce) {
    const std::string longest = std::string(4096 - kLib.size(), '/') + kLib, tooLong = "/" + longest;
    // {LD_PRELOAD before, KOV_LIB_PATH, result, LD_PRELOAD after}; null is unset
    const struct { const char *before, *custom; int result; std::string after; } cases[] = {
        {nullptr, nullptr, 0, kLib + " "},
        {"/lib/o.so", nullptr, 0, kLib + " /lib/o.so"},
        {"/a.so:/opt/usr/lib64/libkov.so.1.2", "/bad", 0, "/a.so:/opt/usr/lib64/libkov.so.1.2"},
        {"/lib/o.so", longest.c_str(), 0, longest + " /lib/o.so"},
        {"/lib/o.so", tooLong.c_str(), -ENAMETOOLONG, "/lib/o.so"},
        {nullptr, "/usr/lib64/libkov.so", -EINVAL, "<unset>"}};
    for (const auto& c : cases) {
        Set("LD_PRELOAD", c.before);
        Set("KOV_LIB_PATH", c.custom);
        EXPECT_EQ(EnvManager::UpdateLdPreload(), c.result);
        EXPECT_EQ(EnvManager::UpdateLdPreload(), c.result);  // a second call changes nothing
        EXPECT_EQ(Env("LD_PRELOAD"), c.after);
    }
}

}  // namespace
