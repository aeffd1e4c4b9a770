#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "env_manager.h"
#include "support/child_process.h"

namespace {

// The process name is filled once per process, so each case runs in a child.

TEST(ProcNameTest, ComesFromProcNameVariable) {
    EXPECT_EQ(child_process::Run([] {
                  setenv("PROC_NAME", "alarm", 1);
                  return std::string(EnvManager::ProcName()) == "alarm" ? 0 : 1;
              }),
              0);
}

TEST(ProcNameTest, FallsBackToCommandNameAndMapsProcessManager) {
    EXPECT_EQ(child_process::Run([] {
                  unsetenv("PROC_NAME");
                  prctl(PR_SET_NAME, "process-manager");
                  return std::string(EnvManager::ProcName()) == PROCMGR ? 0 : 1;
              }),
              0);
    EXPECT_EQ(child_process::Run([] {
                  unsetenv("PROC_NAME");
                  prctl(PR_SET_NAME, "svc-daemon");
                  return std::string(EnvManager::ProcName()) == "svc-daemon" ? 0 : 1;
              }),
              0);
}

TEST(ProcNameTest, SetProcNameBeforeFirstUseWins) {
    EXPECT_EQ(child_process::Run([] {
                  setenv("PROC_NAME", "fromenv", 1);
                  EnvManager::SetProcName("chosen");
                  return std::string(EnvManager::ProcName()) == "chosen" ? 0 : 1;
              }),
              0);
}

TEST(ProcNameTest, NameOver100CharactersLeavesItEmpty) {
    EnvManager::SetProcName(std::string(100, 'n'));
    EXPECT_EQ(std::string(EnvManager::ProcName()), std::string(100, 'n'));
    EnvManager::SetProcName(std::string(101, 'n'));
    EXPECT_STREQ(EnvManager::ProcName(), "");
    EXPECT_EQ(EnvManager::procName[100], '\0');
}

TEST(ProcNameTest, TooLongProcNameVariableGivesEmptyName) {
    EXPECT_EQ(child_process::Run([] {
                  setenv("PROC_NAME", std::string(120, 'v').c_str(), 1);
                  return EnvManager::ProcName()[0] == '\0' ? 0 : 1;
              }),
              0);
}

TEST(ProcNameTest, SetEnvOfProcNameUpdatesTheCachedName) {
    EXPECT_EQ(child_process::Run([] {
                  setenv("PROC_NAME", "first", 1);
                  bool firstOk = std::string(EnvManager::ProcName()) == "first";
                  int result = EnvManager::SetEnv("PROC_NAME", "second");
                  bool secondOk = std::string(EnvManager::ProcName()) == "second" &&
                                  std::string(getenv("PROC_NAME")) == "second";
                  return firstOk && secondOk && result == 0 ? 0 : 1;
              }),
              0);
}

TEST(ProcNameTest, ExportedDataStartsZeroed) {
    EXPECT_EQ(sizeof(EnvManager::procName), 101u);
    EXPECT_EQ(sizeof(EnvManager::kovPerfFlag), 1u);
    EXPECT_FALSE(EnvManager::kovPerfFlag);
}

}  // namespace

namespace {

const std::string kDefaultLib = "/usr/lib64/libkov.so.1";

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "<unset>";
}

class EnvPreparationTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"PROC_NAME", "KOV_STATUS", "KOV_LIB_PATH", "LD_PRELOAD", "MERIDIAN_RUN_MODE"}) {
            unsetenv(name);
        }
    }
};

TEST_F(EnvPreparationTest, PreloadGetsTheDefaultLibraryInFrontOnce) {
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);
    EXPECT_EQ(Env("LD_PRELOAD"), kDefaultLib + " ");  // the blank stays
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);
    EXPECT_EQ(Env("LD_PRELOAD"), kDefaultLib + " ");

    setenv("LD_PRELOAD", "/lib/libother.so", 1);
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);
    EXPECT_EQ(Env("LD_PRELOAD"), kDefaultLib + " /lib/libother.so");

    // Already named anywhere in the list, even as part of a longer path.
    setenv("LD_PRELOAD", "/lib/a.so:/opt/usr/lib64/libkov.so.1.2", 1);
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);
    EXPECT_EQ(Env("LD_PRELOAD"), "/lib/a.so:/opt/usr/lib64/libkov.so.1.2");
}

TEST_F(EnvPreparationTest, PreloadUsesAnAcceptedKovLibPath) {
    setenv("KOV_LIB_PATH", "/chroot/usr/lib64/libkov.so.1", 1);
    setenv("LD_PRELOAD", "/lib/libother.so", 1);
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);
    EXPECT_EQ(Env("LD_PRELOAD"), "/chroot/usr/lib64/libkov.so.1 /lib/libother.so");
    EXPECT_EQ(EnvManager::UpdateLdPreload(), 0);  // idempotent through the custom path too
    EXPECT_EQ(Env("LD_PRELOAD"), "/chroot/usr/lib64/libkov.so.1 /lib/libother.so");
}

TEST_F(EnvPreparationTest, BadOrTooLongKovLibPathChangesNothing) {
    setenv("LD_PRELOAD", "/lib/libother.so", 1);
    setenv("KOV_LIB_PATH", "/usr/lib64/libkov.so", 1);
    EXPECT_EQ(EnvManager::UpdateLdPreload(), -EINVAL);
    EXPECT_EQ(Env("LD_PRELOAD"), "/lib/libother.so");

    setenv("KOV_LIB_PATH", (std::string(4097 - kDefaultLib.size(), '/') + kDefaultLib).c_str(), 1);
    EXPECT_EQ(EnvManager::UpdateLdPreload(), -ENAMETOOLONG);
    EXPECT_EQ(Env("LD_PRELOAD"), "/lib/libother.so");

    unsetenv("LD_PRELOAD");
    setenv("KOV_LIB_PATH", "", 1);  // set but empty is checked, not defaulted
    EXPECT_EQ(EnvManager::UpdateLdPreload(), -EINVAL);
    EXPECT_EQ(Env("LD_PRELOAD"), "<unset>");
}

TEST_F(EnvPreparationTest, CheckKovlibPathBounds) {
    const std::string longest = std::string(4096 - kDefaultLib.size(), '/') + kDefaultLib;
    EXPECT_EQ(EnvManager::CheckKovlibPath(longest), 0);
    EXPECT_EQ(EnvManager::CheckKovlibPath(longest + "x"), -ENAMETOOLONG);
    EXPECT_EQ(EnvManager::CheckKovlibPath("/usr/lib64/libkov.so.2"), -EINVAL);
}

TEST_F(EnvPreparationTest, SetEnvFailsWithTheNegatedErrno) {
    EXPECT_EQ(EnvManager::SetEnv("BAD=NAME", "v"), -EINVAL);
    EXPECT_EQ(EnvManager::SetEnv("", "v"), -EINVAL);
    setenv("KOV_STATUS", "old", 1);
    EXPECT_EQ(EnvManager::SetEnv("KOV_STATUS", "new"), 0);  // overwrites
    EXPECT_EQ(Env("KOV_STATUS"), "new");
}

TEST_F(EnvPreparationTest, EnvInitPreparesACleanEnvironment) {
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());
    EXPECT_EQ(EnvManager::EnvInit("alarmd"), 0);
    EXPECT_EQ(Env("PROC_NAME"), "alarmd");
    EXPECT_STREQ(EnvManager::ProcName(), "alarmd");
    EXPECT_EQ(Env("KOV_STATUS"), "READY");
    EXPECT_EQ(Env("LD_PRELOAD"), kDefaultLib + " ");
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());
}

TEST_F(EnvPreparationTest, EnvInitStopsAtTheFirstFailureWithoutUndoing) {
    setenv("KOV_LIB_PATH", "/opt/libkov.so", 1);
    EXPECT_EQ(EnvManager::EnvInit("alarmd"), -EINVAL);
    EXPECT_EQ(Env("PROC_NAME"), "alarmd");
    EXPECT_EQ(Env("KOV_STATUS"), "READY");
    EXPECT_EQ(Env("LD_PRELOAD"), "<unset>");
}

TEST_F(EnvPreparationTest, CheckEnvPreparationNeedsNameAndStatusOrPreload) {
    setenv("KOV_STATUS", "READY", 1);
    setenv("LD_PRELOAD", kDefaultLib.c_str(), 1);
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());  // no PROC_NAME

    setenv("PROC_NAME", "svc", 1);
    setenv("KOV_STATUS", "", 1);  // any value counts
    unsetenv("LD_PRELOAD");
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());

    unsetenv("KOV_STATUS");
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());
    setenv("LD_PRELOAD", "/lib/libother.so", 1);
    EXPECT_FALSE(EnvManager::CheckEnvPreparation());
    setenv("LD_PRELOAD", ("/lib/libother.so " + kDefaultLib).c_str(), 1);
    EXPECT_TRUE(EnvManager::CheckEnvPreparation());
}

TEST_F(EnvPreparationTest, RunModeIsFixedByTheFirstNonEmptyValue) {
    // The cache is process-wide: start from a fresh process.
    EXPECT_EQ(child_process::Run([] {
                  bool ok = EnvManager::GetRunMode().empty();
                  setenv("MERIDIAN_RUN_MODE", "", 1);
                  ok = ok && EnvManager::GetRunMode().empty();
                  setenv("MERIDIAN_RUN_MODE", "factory", 1);
                  ok = ok && EnvManager::GetRunMode() == "factory";
                  setenv("MERIDIAN_RUN_MODE", "normal", 1);
                  ok = ok && EnvManager::GetRunMode() == "factory";
                  unsetenv("MERIDIAN_RUN_MODE");
                  ok = ok && EnvManager::GetRunMode() == "factory";
                  return ok ? 0 : 1;
              }),
              0);
}

TEST(DomainTest, DpBuildAnswers) {
    EXPECT_EQ(EnvManager::HostName(), 1);
    EXPECT_FALSE(EnvManager::IsSeaDomain());
    EXPECT_EQ(EnvManager::GetLocalDomainName(), "dp:");
    EXPECT_EQ(EnvManager::FifoPrefix(), "/dev/shm/kov/lumo/");
    EXPECT_EQ(EnvManager::SeaFifoDirPrefix(), "/local");
}

}  // namespace
