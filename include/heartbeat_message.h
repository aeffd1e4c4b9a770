// The heartbeat record and the clock and group helpers that go with it.
//
// A client sends one HeartBeatMessage per 3-second cycle; both channels (the
// IPC pipe and the shared-memory page) carry it unchanged, in the host's native
// byte order, because sender and receiver always run on the same machine.
#ifndef HEARTBEAT_MESSAGE_H_
#define HEARTBEAT_MESSAGE_H_

#include <stddef.h>
#include <stdint.h>

#include "heartbeat_export.h"

#ifndef __cplusplus
#include <assert.h>    // static_assert
#include <stdalign.h>  // alignof
// C names the record and the channel through these typedefs, as C++ does by their tags.
typedef struct HeartBeatMessage HeartBeatMessage;
#endif

// Where a record came from, as told to GetHeartBeatMessageFromClient().
#ifdef __cplusplus
enum HeartChannelType : int {
#else
enum HeartChannelType {  // int-sized in C too, as asserted below
#endif
    HEART_CHANNEL_PIPE = 1,  // payload of one pipe request
    HEART_CHANNEL_MMAP = 2,  // read from the client's shared-memory page
};
#ifndef __cplusplus
typedef enum HeartChannelType HeartChannelType;
#endif

// The 232-byte heartbeat record. Layout, in bytes:
//
//   offset size  field           content
//        0    8  sendTime        VeKov::GetCurrentTime() when the record was built
//        8    4  order           sequence number of the sending thread; starts at
//                                0, wraps at 2^32
//       12  200  clientName      sender's name, NUL-terminated (at most 199
//                                characters); first byte 0 if it could not be copied
//      212    4  reserved        not written by senders, never read
//      216    4  pid             getpid() of the sender
//      220    4  timeoutTimes    silent check cycles after which the client is lost
//      224    1  watchDogFailed  1 when the sender's thread watchdog failed
//      225    7  (padding)       not written, never read
//
// Bytes that are not written have no specified content; receivers ignore them.
struct HeartBeatMessage {
    uint64_t sendTime;
    uint32_t order;
    char clientName[200];
    uint8_t reserved[4];
    int32_t pid;
    uint32_t timeoutTimes;
    uint8_t watchDogFailed;
};

static_assert(sizeof(HeartBeatMessage) == 232, "the heartbeat record is 232 bytes");
static_assert(alignof(HeartBeatMessage) == 8, "the heartbeat record is 8-aligned");
static_assert(offsetof(HeartBeatMessage, sendTime) == 0, "sendTime at 0");
static_assert(offsetof(HeartBeatMessage, order) == 8, "order at 8");
static_assert(offsetof(HeartBeatMessage, clientName) == 12, "clientName at 12");
static_assert(offsetof(HeartBeatMessage, reserved) == 212, "reserved at 212");
static_assert(offsetof(HeartBeatMessage, pid) == 216, "pid at 216");
static_assert(offsetof(HeartBeatMessage, timeoutTimes) == 220, "timeoutTimes at 220");
static_assert(offsetof(HeartBeatMessage, watchDogFailed) == 224, "watchDogFailed at 224");
static_assert(sizeof(HeartChannelType) == sizeof(int), "HeartChannelType is int-sized");

#ifdef __cplusplus
namespace VeKov {

// Milliseconds of CLOCK_MONOTONIC (tv_sec * 1000 + tv_nsec / 1000000,
// truncated). Unaffected by changes of the wall clock. Any thread.
HEARTBEAT_API uint64_t GetCurrentTime();

// The group id under which a channel between two parties is created. The first
// matching row decides:
//   first == 0                          -> second
//   second == 0                         -> first
//   first == 1101                       -> second
//   first == 1102                       -> 1102
//   first == 1000 && second != 1101     -> second
//   otherwise                           -> 1000
HEARTBEAT_API unsigned int GetChannelGidForLink(unsigned int first, unsigned int second);

// GetChannelGidForLink(getgid(), 1102): the group that owns a client's pipe.
HEARTBEAT_API unsigned int GetChannelGid();

}  // namespace VeKov
#endif  // __cplusplus

#endif  // HEARTBEAT_MESSAGE_H_
