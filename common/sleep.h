// The one signal-safe sleep of the library and of the IPC layer (header-only,
// so that the separately built IPC library can use it too).
#ifndef COMMON_SLEEP_H_
#define COMMON_SLEEP_H_

#include <cerrno>
#include <ctime>

namespace hb {

// Sleeps the whole interval: a signal interrupts nanosleep, and the sleep then
// goes on with what remained. Any other failure (an invalid interval) ends it
// at once.
inline void SleepFully(time_t seconds, long nanoseconds) {
    struct timespec request = {seconds, nanoseconds};
    struct timespec remaining = {0, 0};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

}  // namespace hb

#endif  // COMMON_SLEEP_H_
