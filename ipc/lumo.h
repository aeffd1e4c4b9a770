// The IPC pipe library's interface, as libheartbeat uses it.
//
// A pipe joins the end opened with the names (self A, peer B) to the end opened
// with (self B, peer A). The checking side opens listening ends (isServer = 1);
// a sender opens a connecting end (isServer = 0). A request sent at one end
// reaches the other end's callback with the same size and payload bytes.
//
// Results are int: a positive handle from LumoOpen, 0 or more for a delivered
// request, 0 for a closed pipe, or a negated Linux errno value:
//   -2  ENOENT     no such pipe (close: already gone)
//   -11 EAGAIN     try the open once more at once
//   -16 EBUSY      the pipe's callback is running; retry the close
//   -22 EINVAL     bad argument or unknown handle
//   -32 EPIPE      the peer is not there or went away
//   -110 ETIMEDOUT the peer did not appear within timeoutMs
// Ours adds -90 EMSGSIZE (a request over 64 KiB), -98 EADDRINUSE (another
// live process listens on the names), and, for a listening end whose pipe
// directory is unsafe, -40 ELOOP (a symlink on the path, unless it is an
// existing ancestor owned by root or this process's effective user: such a
// link, e.g. /var/run -> /run, is followed and its target checked the same
// way; the pipe directory itself and the directories created on the way are
// never links) and -1 EPERM (a directory on the path not owned by root or
// this process's effective user, or writable by others without the sticky
// bit). It answers -22 only
// for handles of 0 or less, -2 for handles that are not open (including those
// a forked child inherited).
//
// Ours carries the pipes of one host over AF_UNIX SOCK_SEQPACKET sockets whose
// files live in $LUMO_PIPE_DIR (default "/dev/shm/kov/lumo/"); lumo.cpp says
// how it behaves where this contract leaves room.
//
// lumo_peer.h adds the peer's credentials for each delivered message.
//
// This header is the contract with the platform's own pipe library, which can
// replace ours at link time: the byte offsets of both structures are binding.
#ifndef LUMO_H_
#define LUMO_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#define LUMO_API __attribute__((visibility("default")))

// One message. The sender sets data and size; the payload is copied during
// LumoSendRequest. A receiver's request is valid only during its callback.
struct LumoRequest {
    uint64_t reserved;  //  0: owned by the library
    const void* data;   //  8: payload
    uint32_t size;      // 16: payload length in bytes
    uint32_t flags;     // 20: owned by the library
};

// Called on the library's receive thread with the handle of the end and a
// message from its peer; a null request tells a connecting end that its peer
// went away and the handle should be closed.
using LumoCallback = std::function<void(int, LumoRequest*)>;

// The open parameter block. It and its strings live only during LumoOpen; the
// library keeps copies of what it needs.
struct LumoOpenParam {
    const char* peerName;   //  0: name of the other end
    LumoCallback callback;  //  8: receive and disconnect callback
    uint32_t timeoutMs;     // 40: how long a connecting end waits for its peer
    uint32_t isServer;      // 44: 1 listening end, 0 connecting end
    uint32_t gid;           // 48: group that may connect to a listening end
    uint32_t pipeMode;      // 52: 1 (message pipe)
    const char* selfName;   // 56: name of this end
    int32_t bindCore;       // 64: -1 (no affinity)
    uint8_t enableCallback; // 68: 1
    uint32_t flags;         // 72: 0
    uint64_t reserved;      // 80: 0
};

static_assert(offsetof(LumoRequest, data) == 8, "LumoRequest::data at 8");
static_assert(offsetof(LumoRequest, size) == 16, "LumoRequest::size at 16");
// std::function makes LumoOpenParam non-standard-layout; GCC and Clang still
// give offsetof its plain meaning, which is exactly what must be pinned here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(LumoCallback) == 32, "the callback object spans offsets 8 to 40");
static_assert(offsetof(LumoOpenParam, peerName) == 0, "peerName at 0");
static_assert(offsetof(LumoOpenParam, callback) == 8, "callback at 8");
static_assert(offsetof(LumoOpenParam, timeoutMs) == 40, "timeoutMs at 40");
static_assert(offsetof(LumoOpenParam, isServer) == 44, "isServer at 44");
static_assert(offsetof(LumoOpenParam, gid) == 48, "gid at 48");
static_assert(offsetof(LumoOpenParam, pipeMode) == 52, "pipeMode at 52");
static_assert(offsetof(LumoOpenParam, selfName) == 56, "selfName at 56");
static_assert(offsetof(LumoOpenParam, bindCore) == 64, "bindCore at 64");
static_assert(offsetof(LumoOpenParam, enableCallback) == 68, "enableCallback at 68");
static_assert(offsetof(LumoOpenParam, flags) == 72, "flags at 72");
static_assert(offsetof(LumoOpenParam, reserved) == 80, "reserved at 80");
#pragma GCC diagnostic pop

extern "C" {

// Opens one end of a pipe. Returns a positive handle or a negated errno.
LUMO_API int LumoOpen(LumoOpenParam* param);

// Sends one request to the peer of `handle`. 0 or more: delivered.
LUMO_API int LumoSendRequest(int handle, LumoRequest* request);

// Closes `handle`. 0 closed; -16 its callback is running on another thread;
// -2 or -22 no such handle.
LUMO_API int LumoClosePipe(int handle);

}  // extern "C"

#endif  // LUMO_H_
