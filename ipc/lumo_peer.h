// Our IPC library's additions beyond the three-function contract in lumo.h.
//
// The platform's own pipe library may replace ours at link time and need not
// have these. A caller that wants to work against both declares them weak
// (see LUMO_PEER_WEAK below) and tests the function's address for null before
// the call; with a library that lacks them it simply goes without.
//
// The receiving side of a pipe learns from these who really sent a message:
// the kernel's record of the connecting process (SO_PEERCRED), taken when the
// connection was accepted, so a sender cannot claim another pid, uid or gid.
#ifndef LUMO_PEER_H_
#define LUMO_PEER_H_

#include <cstdint>

#include "lumo.h"

// The credentials of the process at the other end of a connection, as the
// kernel recorded them when it connected.
struct LumoPeerCred {
    int32_t pid;
    uint32_t uid;
    uint32_t gid;
};

// Callers that must also link against a pipe library without these
// additions put LUMO_PEER_WEAK in front of their own redeclaration.
#define LUMO_PEER_WEAK __attribute__((weak))

extern "C" {

// The credentials of the connection that delivered `request`. Valid only
// inside the receive callback that was handed `request`, on that thread (the
// library finds the connection through `request->reserved`, which it owns).
// At a listening end these are the connecting process's; at a connecting end,
// the listening process's. 0 and *cred filled; -22 when `request` or `cred`
// is null or `request` is not a message this library is delivering right now.
LUMO_API int LumoGetRequestPeer(const LumoRequest* request, LumoPeerCred* cred);

// Tells the library that the connection which delivered `request` carried a
// message the receiver accepted (for the heartbeat intake: a record that
// counted). A listening end keeps at most 4 connections; when a new one
// arrives and the end is full, connections that never carried an accepted
// message are evicted first, oldest first, then the oldest of the others. Valid only inside the receive
// callback that was handed `request`; does nothing otherwise.
LUMO_API void LumoMarkRequestAccepted(const LumoRequest* request);

}  // extern "C"

#endif  // LUMO_PEER_H_
