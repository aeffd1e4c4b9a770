#include <sys/prctl.h>

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
