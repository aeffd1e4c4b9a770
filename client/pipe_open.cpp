#include "client/pipe_open.h"

#include "common/pipe_open.h"
#include "heartbeat_message.h"

namespace client_internal {

int OpenClientPipe(const char* selfName, const char* peerName, uint32_t timeoutMs,
                   const LumoCallback& callback, OpenRetryNotice onRetry) {
    LumoOpenParam param = hb::HeartBeatOpenParam(selfName, peerName, timeoutMs, false,
                                                 VeKov::GetChannelGid(), callback);
    return hb::OpenPipe(&param, [onRetry, peerName] {
        if (onRetry != nullptr) {
            onRetry(peerName);
        }
    });
}

}  // namespace client_internal
