#include "client/pipe_open.h"

#include <cerrno>

#include "heartbeat_message.h"

namespace client_internal {

int OpenClientPipe(const char* selfName, const char* peerName, uint32_t timeoutMs,
                   const LumoCallback& callback, OpenRetryNotice onRetry) {
    LumoOpenParam param{};
    param.peerName = peerName;
    param.callback = callback;
    param.timeoutMs = timeoutMs;
    param.isServer = 0;
    param.gid = VeKov::GetChannelGid();
    param.pipeMode = 1;
    param.selfName = selfName;
    param.bindCore = -1;
    param.enableCallback = 1;
    param.flags = 0;
    param.reserved = 0;

    int ret = LumoOpen(&param);
    if (ret == -EAGAIN) {
        if (onRetry != nullptr) {
            onRetry(peerName);
        }
        ret = LumoOpen(&param);
    }
    return ret;
}

}  // namespace client_internal
