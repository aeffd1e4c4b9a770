// The boot configuration centre: what the kernel command line says about this
// board. Reached only through CmdlineConfigCenter::GetInstance(), which never
// returns an empty pointer; after the centre has been torn down at process exit
// it hands out a CmdlineInvalidCenter, which gives the same fixed answers.
//
//   bool fpga = VeKov::CmdlineConfigCenter::GetInstance(true)->IsFpga();
#ifndef CMDLINE_CONFIG_CENTER_H_
#define CMDLINE_CONFIG_CENTER_H_

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "heartbeat_export.h"

namespace VeKov {

class HEARTBEAT_API CmdlineBaseCenter {
public:
    virtual ~CmdlineBaseCenter();
    // Whether the board is an FPGA board. Lock-free.
    virtual bool IsFpga() const = 0;
    // Time-outs for the platform's pipe and manager components.
    virtual uint32_t GetVfsClientOpenPipeTimeout() = 0;
    virtual uint32_t GetVfsKovmgrRouteTimeout() = 0;
    virtual uint32_t GetVfsServerOpenPipeTimeout() = 0;
    virtual uint32_t GetKovReadyTimeout() = 0;
};

class HEARTBEAT_API CmdlineConfigCenter : public CmdlineBaseCenter {
public:
    CmdlineConfigCenter();
    ~CmdlineConfigCenter() override;
    CmdlineConfigCenter(const CmdlineConfigCenter&) = delete;
    CmdlineConfigCenter& operator=(const CmdlineConfigCenter&) = delete;

    bool IsFpga() const override;
    uint32_t GetVfsClientOpenPipeTimeout() override;   // 1000
    uint32_t GetVfsKovmgrRouteTimeout() override;      // 1500
    uint32_t GetVfsServerOpenPipeTimeout() override;   // 3000
    uint32_t GetKovReadyTimeout() override;            // 1000

    // The process-wide centre, created and initialised (Init) on first use;
    // a new CmdlineInvalidCenter on every call once the centre is switched off
    // at exit. Never empty. Any thread; concurrent first callers wait for Init.
    // `create` is ignored: false answers like true.
    static std::shared_ptr<CmdlineBaseCenter> GetInstance(bool create);

    // Reads the kernel command line into the token set, then stores the chip
    // type and time-outs. Run once, by GetInstance().
    void Init();
    // Stores the chip type (not FPGA) and the time-out set.
    void StoreTimeoutViaChipType();

    // A centre that reads `path` instead of /proc/cmdline (for tests).
    HEARTBEAT_HIDDEN explicit CmdlineConfigCenter(std::string path);
    // The distinct tokens read by Init() (for tests).
    HEARTBEAT_HIDDEN const std::unordered_set<std::string>& Tokens() const { return cmdlineTokens; }

private:
    std::string cmdlinePath;
    // Guards the four time-outs for the getters; nothing writes them after Init.
    // Held only for one copy, never together with another lock.
    pthread_rwlock_t configLock;
    std::unordered_set<std::string> cmdlineTokens;
    bool isFpga;
    uint32_t vfsClientOpenPipeTimeout;
    uint32_t vfsKovmgrRouteTimeout;
    uint32_t vfsServerOpenPipeTimeout;
    uint32_t kovReadyTimeout;
};

// The stateless fallback handed out after the centre is gone.
class HEARTBEAT_API CmdlineInvalidCenter : public CmdlineBaseCenter {
public:
    ~CmdlineInvalidCenter() override;
    bool IsFpga() const override;
    uint32_t GetVfsClientOpenPipeTimeout() override;
    uint32_t GetVfsKovmgrRouteTimeout() override;
    uint32_t GetVfsServerOpenPipeTimeout() override;
    uint32_t GetKovReadyTimeout() override;
};

}  // namespace VeKov

#endif  // CMDLINE_CONFIG_CENTER_H_
