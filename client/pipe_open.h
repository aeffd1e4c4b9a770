// Opening the connecting end of a client's heartbeat pipe.
//
// Shared by the library's sender ("SendHeart") and the heartbeat-send tool,
// which builds its own records: both must fill the open block the same way and
// follow the pipe library's rule that an open answering -EAGAIN is made once
// more at once with the same block. Internal: not exported from
// libheartbeat.so (the tool compiles this file in).
#ifndef CLIENT_PIPE_OPEN_H_
#define CLIENT_PIPE_OPEN_H_

#include <cstdint>

#include "lumo.h"

namespace client_internal {

// Called between the two attempts when the first open answered -EAGAIN, with
// the peer's name (for a log line).
using OpenRetryNotice = void (*)(const char* peerName);

// Opens the pipe from `selfName` to `peerName` (the server's name followed by
// "_heartbeat"), waiting at most `timeoutMs` for the peer. Returns the
// LumoOpen() result: a positive handle, 0, or a negated errno.
int OpenClientPipe(const char* selfName, const char* peerName, uint32_t timeoutMs,
                   const LumoCallback& callback, OpenRetryNotice onRetry);

}  // namespace client_internal

#endif  // CLIENT_PIPE_OPEN_H_
