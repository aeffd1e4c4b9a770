// Placeholder boot configuration: answers the defaults without reading anything.
#include "cmdline_config_center.h"

namespace VeKov {
CmdlineBaseCenter::~CmdlineBaseCenter() = default;

CmdlineConfigCenter::CmdlineConfigCenter() : CmdlineConfigCenter(std::string("/proc/cmdline")) {}
CmdlineConfigCenter::CmdlineConfigCenter(std::string path)
    : cmdlinePath(std::move(path)),
      configLock(PTHREAD_RWLOCK_INITIALIZER),
      isFpga(false),
      vfsClientOpenPipeTimeout(1000),
      vfsKovmgrRouteTimeout(1500),
      vfsServerOpenPipeTimeout(3000),
      kovReadyTimeout(1000) {}
CmdlineConfigCenter::~CmdlineConfigCenter() = default;
bool CmdlineConfigCenter::IsFpga() const { return isFpga; }
uint32_t CmdlineConfigCenter::GetVfsClientOpenPipeTimeout() { return vfsClientOpenPipeTimeout; }
uint32_t CmdlineConfigCenter::GetVfsKovmgrRouteTimeout() { return vfsKovmgrRouteTimeout; }
uint32_t CmdlineConfigCenter::GetVfsServerOpenPipeTimeout() { return vfsServerOpenPipeTimeout; }
uint32_t CmdlineConfigCenter::GetKovReadyTimeout() { return kovReadyTimeout; }
std::shared_ptr<CmdlineBaseCenter> CmdlineConfigCenter::GetInstance(bool) {
    return std::make_shared<CmdlineInvalidCenter>();
}
void CmdlineConfigCenter::Init() {}
void CmdlineConfigCenter::StoreTimeoutViaChipType() {}

CmdlineInvalidCenter::~CmdlineInvalidCenter() = default;
bool CmdlineInvalidCenter::IsFpga() const { return false; }
uint32_t CmdlineInvalidCenter::GetVfsClientOpenPipeTimeout() { return 1000; }
uint32_t CmdlineInvalidCenter::GetVfsKovmgrRouteTimeout() { return 1500; }
uint32_t CmdlineInvalidCenter::GetVfsServerOpenPipeTimeout() { return 3000; }
uint32_t CmdlineInvalidCenter::GetKovReadyTimeout() { return 1000; }
}  // namespace VeKov
