// Opening one end of a heartbeat pipe: the one place that fills the pipe
// library's open block and follows its rule that an open answering -EAGAIN
// is made once more at once, with the same block.
//
// Used by the checking side (listening ends), the sender (connecting ends)
// and the heartbeat-send tool; header-only, so that the tool can use it
// without the library's internals.
#ifndef COMMON_PIPE_OPEN_H_
#define COMMON_PIPE_OPEN_H_

#include <cerrno>
#include <cstdint>

#include "lumo.h"

namespace hb {

// The open block of a message pipe from `selfName` to `peerName`. Both names
// and the callback must outlive the open.
inline LumoOpenParam HeartBeatOpenParam(const char* selfName, const char* peerName,
                                        uint32_t timeoutMs, bool isServer, uint32_t gid,
                                        const LumoCallback& callback) {
    LumoOpenParam param{};
    param.peerName = peerName;
    param.callback = callback;
    param.timeoutMs = timeoutMs;
    param.isServer = isServer ? 1 : 0;
    param.gid = gid;
    param.pipeMode = 1;
    param.selfName = selfName;
    param.bindCore = -1;  // no CPU affinity
    param.enableCallback = 1;
    param.flags = 0;
    param.reserved = 0;
    return param;
}

// LumoOpen(param), made a second time when the first answers -EAGAIN;
// onRetry() runs in between (for a log line). Returns the last LumoOpen()
// result: a positive handle, 0, or a negated errno.
template <typename OnRetry>
int OpenPipe(LumoOpenParam* param, OnRetry onRetry) {
    int ret = LumoOpen(param);
    if (ret == -EAGAIN) {
        onRetry();
        ret = LumoOpen(param);
    }
    return ret;
}

}  // namespace hb

#endif  // COMMON_PIPE_OPEN_H_
