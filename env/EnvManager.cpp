// EnvManager: the process name, and the environment the platform's framework
// expects. Never logs: it is called from inside log lines.
#include "env_manager.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "common/mutex.h"
#include "common/securec.h"
#include "common/thread_annotations.h"
#include "env/env_internal.h"

char EnvManager::procName[101] = {};
bool EnvManager::kovPerfFlag = false;

namespace {

// Constant-initialised (std::mutex has a constexpr constructor), so it exists
// before any static constructor of the process can log.
EnvManager envManagerInstance;

// envMutex as the thread-safety analysis sees it (its type is fixed by the
// public header). Constant-initialised like the object it refers to.
// Lock order: the log mutex, then this; a log line asks for the process name
// while it holds the log mutex, and this file never logs. The log mutex lives
// in another file, so the order is stated here rather than with
// ACQUIRED_AFTER.
hb::StdMutexRef envLock(envManagerInstance.envMutex);

// The run mode, read once non-empty and then fixed for the process.
struct RunModeCache {
    std::string value GUARDED_BY(envLock);
    std::atomic<bool> known{false};

    // The fast path: `value` is written once under envLock before `known` is
    // set with release order, and never again, so after an acquire load that
    // found `known` true it may be read without the lock.
    std::string ReadPublished() NO_THREAD_SAFETY_ANALYSIS { return value; }
};

std::once_flag procNameOnce;

constexpr size_t kMaxCommLength = 16;
constexpr size_t kMaxLibPathLength = 4096;

}  // namespace

namespace env_internal {
const char kBuildDomain[] = "dp";
const std::string kovLibDefaultPath = std::string("/usr/lib64/libkov.so.") + std::to_string(1);
const std::string runModeVarName = std::string("MERIDIAN_") + "RUN_MODE";
}  // namespace env_internal

EnvManager& EnvManager::Instance() { return envManagerInstance; }

const char* EnvManager::ProcName() {
    std::call_once(procNameOnce, [] {
        hb::StdMutexRefLock lock(&envLock);
        if (procName[0] != '\0') {
            return;  // SetProcName ran first; keep its name
        }
        const char* fromEnv = getenv("PROC_NAME");
        if (fromEnv != nullptr) {
            SetProcName(fromEnv);
        } else {
            EnableDefaultProcName();
        }
    });
    return procName;
}

void EnvManager::SetProcName(const std::string& name) {
    // A name that does not fit leaves an empty name, never a cut one.
    if (strcpy_s(procName, sizeof(procName), name.c_str()) != 0) {
        procName[0] = '\0';
    }
    procName[sizeof(procName) - 1] = '\0';
}

void EnvManager::EnableDefaultProcName() {
    std::string path = "/proc/" + std::to_string(getpid()) + "/comm";
    std::ifstream comm(path);
    if (!comm.is_open()) {
        return;
    }
    std::string word;
    comm >> word;
    comm.close();
    if (word.size() > kMaxCommLength) {
        return;
    }
    SetProcName(word == "process-manager" ? std::string(PROCMGR) : word);
}

int EnvManager::HostName() {
    if (strcmp(env_internal::kBuildDomain, "dp") == 0) {
        return 1;
    }
    return strcmp(env_internal::kBuildDomain, "sea") == 0 ? 2 : 1;
}

bool EnvManager::IsSeaDomain() { return HostName() == 2; }

std::string EnvManager::GetLocalDomainName() { return std::string(env_internal::kBuildDomain) + ":"; }

std::string EnvManager::FifoPrefix() { return "/dev/shm/kov/lumo/"; }

std::string EnvManager::SeaFifoDirPrefix() { return "/local"; }

int EnvManager::CheckKovlibPath(const std::string& path) {
    if (path.size() > kMaxLibPathLength) {
        return -ENAMETOOLONG;
    }
    return path.find(env_internal::kovLibDefaultPath) != std::string::npos ? 0 : -EINVAL;
}

int EnvManager::SetEnv(const std::string& name, const std::string& value) {
    // setenv without overwrite after an unset: an unconditional set.
    (void)unsetenv(name.c_str());
    if (setenv(name.c_str(), value.c_str(), 0) != 0) {
        return -errno;
    }
    if (name == "PROC_NAME") {
        SetProcName(value);
    }
    return 0;
}

int EnvManager::UpdateLdPreload() {
    const char* preload = getenv("LD_PRELOAD");
    std::string current = preload != nullptr ? preload : "";
    if (current.find(env_internal::kovLibDefaultPath) != std::string::npos) {
        return 0;
    }
    std::string lib = env_internal::kovLibDefaultPath;
    const char* custom = getenv("KOV_LIB_PATH");
    if (custom != nullptr) {
        int checked = CheckKovlibPath(custom);
        if (checked != 0) {
            return checked;
        }
        lib = custom;
    }
    // The blank stays even when there was nothing to append.
    return SetEnv("LD_PRELOAD", lib + " " + current);
}

int EnvManager::EnvInit(const std::string& name) {
    hb::StdMutexRefLock lock(&envLock);
    int result = SetEnv("PROC_NAME", name);
    if (result == 0) {
        result = SetEnv("KOV_STATUS", "READY");
    }
    if (result == 0) {
        result = UpdateLdPreload();
    }
    return result;
}

bool EnvManager::CheckEnvPreparation() {
    hb::StdMutexRefLock lock(&envLock);
    if (getenv("PROC_NAME") == nullptr) {
        return false;
    }
    if (getenv("KOV_STATUS") != nullptr) {
        return true;
    }
    const char* preload = getenv("LD_PRELOAD");
    return preload != nullptr &&
           std::string(preload).find(env_internal::kovLibDefaultPath) != std::string::npos;
}

std::string EnvManager::GetRunMode() {
    // Filled once, under envMutex, with the first non-empty value; after that
    // it is only read.
    static RunModeCache runMode;
    if (runMode.known.load(std::memory_order_acquire)) {
        return runMode.ReadPublished();
    }
    hb::StdMutexRefLock lock(&envLock);
    if (!runMode.known.load(std::memory_order_relaxed)) {
        const char* value = getenv(env_internal::runModeVarName.c_str());
        if (value != nullptr && value[0] != '\0') {
            runMode.value = value;
            runMode.known.store(true, std::memory_order_release);
        }
    }
    return runMode.value;
}
