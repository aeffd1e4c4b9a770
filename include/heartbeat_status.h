/* libheartbeat: a snapshot of the checking side's state.
 *
 * An addition to the library's checking operations (heartbeat.h): it lets a
 * process manager, or a tool such as heartbeat-monitor, see at any time which
 * clients it watches and what the check thread currently believes about each
 * of them. It changes nothing: registrations, heartbeats, cycles and reports
 * behave the same whether or not anybody takes snapshots.
 *
 * Plain C; safe to call from any thread except from inside the fault callback
 * (which runs under the lock this call takes).
 */
#ifndef HEARTBEAT_STATUS_H_
#define HEARTBEAT_STATUS_H_

#include <stddef.h>
#include <stdint.h>

#include "heartbeat_export.h"

/* What the check thread believes about a client. */
enum HeartBeatClientState {
    HEARTBEAT_CLIENT_WAITING = 0, /* registered, no heartbeat accepted yet */
    HEARTBEAT_CLIENT_ALIVE = 1,   /* heartbeats arrive; not reported lost */
    HEARTBEAT_CLIENT_LOST = 2     /* reported lost by a check cycle and not recovered
                                     since (ReportHeartBeatLost leaves the state as it is) */
};

/* Room for a client name of up to 100 bytes and its NUL. */
#define HEARTBEAT_STATUS_NAME_SIZE 101

/* One watched client. */
struct HeartBeatClientStatus {
    char name[HEARTBEAT_STATUS_NAME_SIZE]; /* NUL-terminated */
    uint32_t gid;                /* the group given at registration */
    int32_t pid;                 /* pid of its last accepted heartbeat; 0 before */
    uint32_t state;              /* an enum HeartBeatClientState */
    uint32_t heartbeats;         /* heartbeats accepted (wraps) */
    uint32_t silentCycles;       /* check cycles in a row without a new heartbeat; it
                                    stops at timeoutTimes (while waiting: cycles since
                                    registration, unbounded) */
    uint32_t timeoutTimes;       /* silent cycles after which it is lost; 0 before
                                    the first heartbeat */
    int64_t lastHeartbeatAgeMs;  /* ms since its last accepted heartbeat; -1: none */
    uint32_t watchDogFailed;     /* watchdog flag of its last accepted heartbeat */
    uint32_t losses;             /* lost reports made for it since it registered, by
                                    check cycles and ReportHeartBeatLost */
    uint32_t recoveries;         /* recovered reports made for it since it registered,
                                    the announcement of a registration included */
};

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the state of up to `capacity` watched clients into `clients` (in no
 * particular order) and, when `cycles` is not null, the number of check
 * cycles run so far into *cycles. Returns the number of watched clients,
 * which may exceed `capacity` (call again with a larger array to get them
 * all), or -22 when `clients` is null and `capacity` is not 0. Takes the
 * checking side's lock once, for time linear in the number of clients, and
 * allocates nothing. */
HEARTBEAT_API int GetCheckHeartBeatStatus(struct HeartBeatClientStatus* clients, size_t capacity,
                                          uint64_t* cycles);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* HEARTBEAT_STATUS_H_ */
