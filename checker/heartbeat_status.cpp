// The status snapshot of the checking side: a copy of what the registry and
// the check thread currently know about every watched client.
#include "heartbeat_status.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "checker/checkheart_internal.h"
#include "common/mutex.h"
#include "heartbeat_message.h"

namespace {

void Fill(HeartBeatClientStatus& out, const std::string& name, const ClientMgrInfo& info,
          uint64_t now) {
    // Registered names are at most 100 bytes; the bound is kept anyway so that
    // the copy can never run past the caller's field.
    const size_t length = name.size() < HEARTBEAT_STATUS_NAME_SIZE - 1
                              ? name.size()
                              : HEARTBEAT_STATUS_NAME_SIZE - 1;
    memcpy(out.name, name.data(), length);
    out.name[length] = '\0';
    out.gid = info.gid;
    out.pid = info.pid;
    out.state = !info.isFirstHeartReceived ? HEARTBEAT_CLIENT_WAITING
                : info.lost                ? HEARTBEAT_CLIENT_LOST
                                           : HEARTBEAT_CLIENT_ALIVE;
    out.heartbeats = info.heartCount;
    out.silentCycles = info.silentCycles;
    out.timeoutTimes = info.timeoutTimes;
    out.lastHeartbeatAgeMs =
        !info.isFirstHeartReceived ? -1
        : now > info.lastHeartbeatMs ? static_cast<int64_t>(now - info.lastHeartbeatMs)
                                     : 0;
    out.watchDogFailed = info.watchDogFailed;
    out.losses = info.losses;
    out.recoveries = info.recoveries;
}

}  // namespace

extern "C" int GetCheckHeartBeatStatus(HeartBeatClientStatus* clients, size_t capacity,
                                       uint64_t* cycles) {
    if (clients == nullptr && capacity != 0) {
        return -EINVAL;
    }
    checkheart::CheckState& state = checkheart::State();
    hb::MutexLock lock(&state.stateMutex);
    const uint64_t now = VeKov::GetCurrentTime();
    size_t count = 0;
    for (const auto& entry : state.stateMap) {
        if (count < capacity) {
            Fill(clients[count], entry.first, entry.second, now);
        }
        ++count;
    }
    if (cycles != nullptr) {
        *cycles = state.cycleCount;
    }
    return count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}
