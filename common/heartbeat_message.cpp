// The clock of heartbeat records and the group that owns a pipe.
#include "heartbeat_message.h"

#include <unistd.h>

#include <ctime>

namespace VeKov {

uint64_t GetCurrentTime() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
}

unsigned int GetChannelGidForLink(unsigned int first, unsigned int second) {
    // Groups of the platform: 1000 the default group, 1101 and 1102 the
    // framework's. The first matching rule decides.
    if (first == 0) {
        return second;
    }
    if (second == 0) {
        return first;
    }
    if (first == 1101) {
        return second;
    }
    if (first == 1102) {
        return 1102;
    }
    if (first == 1000 && second != 1101) {
        return second;
    }
    return 1000;
}

unsigned int GetChannelGid() { return GetChannelGidForLink(getgid(), 1102); }

}  // namespace VeKov
