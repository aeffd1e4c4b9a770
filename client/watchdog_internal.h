// Internal view of the thread watchdog, for tests and benchmarks.
#ifndef CLIENT_WATCHDOG_INTERNAL_H_
#define CLIENT_WATCHDOG_INTERNAL_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace client_internal {

// Every registered name with its ticks left, in the order CheckWatchDog()
// walks them. A snapshot taken under the watchdog's mutex.
std::vector<std::pair<std::string, uint32_t>> WatchDogCounters();

}  // namespace client_internal

#endif  // CLIENT_WATCHDOG_INTERNAL_H_
