// The boot configuration centre: reads the kernel command line once per
// process and answers the chip type and the time-outs that go with it.
#include "cmdline_config_center.h"

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "common/SingletonProtector.h"
#include "env/cmdline_internal.h"
#include "log/log_internal.h"

namespace {

constexpr char kProcCmdline[] = "/proc/cmdline";

// The time-out set of a non-FPGA board. The constructor starts from the same
// values, so a centre whose command line could not be read answers like one
// that read it, and like the fallback.
constexpr uint32_t kVfsClientOpenPipeTimeout = 1000;
constexpr uint32_t kVfsKovmgrRouteTimeout = 1500;
constexpr uint32_t kVfsServerOpenPipeTimeout = 3000;
constexpr uint32_t kKovReadyTimeout = 1000;

std::atomic<const char*> defaultCmdlinePath{nullptr};

std::string DefaultCmdlinePath() {
    const char* path = defaultCmdlinePath.load(std::memory_order_relaxed);
    return path != nullptr ? path : kProcCmdline;
}

// Reads one time-out under the read lock of `lock`.
uint32_t ReadLocked(pthread_rwlock_t* lock, const uint32_t& value) {
    (void)pthread_rwlock_rdlock(lock);
    const uint32_t copy = value;
    (void)pthread_rwlock_unlock(lock);
    return copy;
}

}  // namespace

namespace cmdline_internal {
void SetDefaultCmdlinePath(const char* path) { defaultCmdlinePath.store(path, std::memory_order_relaxed); }
}  // namespace cmdline_internal

namespace VeKov {

CmdlineBaseCenter::~CmdlineBaseCenter() = default;

CmdlineConfigCenter::CmdlineConfigCenter() : CmdlineConfigCenter(DefaultCmdlinePath()) {}

CmdlineConfigCenter::CmdlineConfigCenter(std::string path)
    : cmdlinePath(std::move(path)),
      configLock(),
      cmdlineTokens(),
      isFpga(false),
      vfsClientOpenPipeTimeout(kVfsClientOpenPipeTimeout),
      vfsKovmgrRouteTimeout(kVfsKovmgrRouteTimeout),
      vfsServerOpenPipeTimeout(kVfsServerOpenPipeTimeout),
      kovReadyTimeout(kKovReadyTimeout) {
    (void)pthread_rwlock_init(&configLock, nullptr);
    cmdlineTokens.max_load_factor(1.0f);
}

CmdlineConfigCenter::~CmdlineConfigCenter() {
    // Runs when the last shared copy is dropped, so no getter holds the lock.
    (void)pthread_rwlock_destroy(&configLock);
}

std::shared_ptr<CmdlineBaseCenter> CmdlineConfigCenter::GetInstance(bool) {
    // `create` is ignored: every caller wants the centre, and this never
    // answers empty. The owning pointer is destroyed at exit after `tmpRef`,
    // which is constructed after it; from then on callers get the fallback.
    static std::shared_ptr<CmdlineConfigCenter> rc = std::make_shared<CmdlineConfigCenter>();
    // Init runs once; concurrent first callers wait for it, and a failed Init
    // (no command line) is not retried. It needs no lock: no getter can reach
    // the centre before `tmpRef` below exists.
    static std::once_flag flag;
    std::call_once(flag, [] { rc->Init(); });
    static SingletonProtector<CmdlineConfigCenter> tmpRef(rc);

    std::shared_ptr<CmdlineConfigCenter> centre = tmpRef.Get();
    if (centre == nullptr) {
        return std::make_shared<CmdlineInvalidCenter>();
    }
    return centre;
}

void CmdlineConfigCenter::Init() {
    std::ifstream file(cmdlinePath);
    if (!file.is_open()) {
        HB_LOG(KOV_LOG_KOV, LOG_ERR, "Cmdline config fail, can't find %s.\n", cmdlinePath.c_str());
        return;
    }
    // Tokens are separated by single spaces only: a tab belongs to its token.
    std::string line;
    while (std::getline(file, line)) {
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find(' ', start);
            if (end == std::string::npos) {
                end = line.size();
            }
            if (end > start) {
                cmdlineTokens.emplace(line, start, end - start);
            }
            start = end + 1;
        }
    }
    if (cmdlineTokens.empty()) {
        HB_LOG(KOV_LOG_KOV, LOG_WARNING, "Cmdline config, can't find %s.\n", cmdlinePath.c_str());
    }
    StoreTimeoutViaChipType();
    file.close();
}

void CmdlineConfigCenter::StoreTimeoutViaChipType() {
    // No chip-type detection exists yet: every board is treated as a non-FPGA
    // board, whatever its command line says.
    isFpga = false;
    vfsClientOpenPipeTimeout = kVfsClientOpenPipeTimeout;
    vfsKovmgrRouteTimeout = kVfsKovmgrRouteTimeout;
    vfsServerOpenPipeTimeout = kVfsServerOpenPipeTimeout;
    kovReadyTimeout = kKovReadyTimeout;
}

// Written only by Init, before the centre is handed out, so the flag needs no
// lock.
bool CmdlineConfigCenter::IsFpga() const { return isFpga; }

uint32_t CmdlineConfigCenter::GetVfsClientOpenPipeTimeout() {
    return ReadLocked(&configLock, vfsClientOpenPipeTimeout);
}

uint32_t CmdlineConfigCenter::GetVfsKovmgrRouteTimeout() { return ReadLocked(&configLock, vfsKovmgrRouteTimeout); }

uint32_t CmdlineConfigCenter::GetVfsServerOpenPipeTimeout() {
    return ReadLocked(&configLock, vfsServerOpenPipeTimeout);
}

uint32_t CmdlineConfigCenter::GetKovReadyTimeout() { return ReadLocked(&configLock, kovReadyTimeout); }

CmdlineInvalidCenter::~CmdlineInvalidCenter() = default;
bool CmdlineInvalidCenter::IsFpga() const { return false; }
uint32_t CmdlineInvalidCenter::GetVfsClientOpenPipeTimeout() { return kVfsClientOpenPipeTimeout; }
uint32_t CmdlineInvalidCenter::GetVfsKovmgrRouteTimeout() { return kVfsKovmgrRouteTimeout; }
uint32_t CmdlineInvalidCenter::GetVfsServerOpenPipeTimeout() { return kVfsServerOpenPipeTimeout; }
uint32_t CmdlineInvalidCenter::GetKovReadyTimeout() { return kKovReadyTimeout; }

}  // namespace VeKov
