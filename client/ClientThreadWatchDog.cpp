// The thread watchdog of a client process.
//
// Threads register under a name with a period counted in heartbeat cycles and
// kick the dog at least once per period. Every heartbeat cycle of a sender
// calls CheckWatchDog() once, which is one tick for every registered thread; a
// thread whose counter has run down to 0 fails the check, and the sender marks
// its record so that the checking side treats the whole process as lost.
#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "client/name_check.h"
#include "client/watchdog_internal.h"
#include "heartbeat.h"
#include "log/log_internal.h"

namespace {

using DogMap = std::unordered_map<std::string, uint32_t>;

// The maps and their mutex are allocated once and never destroyed: a send
// thread may still tick the watchdog while the process runs its exit-time
// destructors, and must never meet a destroyed map.
//
// dogMutex guards both maps. It is a leaf lock: nothing else of the library is
// taken while it is held, except the log mutex for the lines logged under it.
std::mutex& dogMutex = *new std::mutex();
// Name -> feeding period in ticks (never 0).
DogMap& dogPeriodMap = *new DogMap();
// Name -> ticks left before the thread counts as stalled (never above its
// period). Holds exactly the names of dogPeriodMap.
DogMap& dogCounterMap = *new DogMap();

}  // namespace

extern "C" int RegisterThreadForDog(const char* threadName, size_t nameLen, unsigned int period) {
    if (!client_internal::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Register thread for dog failed, threadName is invalid, nameLen=%zd.\n",
               static_cast<ssize_t>(nameLen));
        return -22;
    }
    if (period == 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "The period of feeding dog is 0.\n");
        return -22;
    }
    std::string name(threadName);
    std::lock_guard<std::mutex> lock(dogMutex);
    if (dogPeriodMap.find(name) != dogPeriodMap.end()) {
        // Keep the stored period and counter: a second registration must not
        // hide a stall by refilling the counter.
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Thread %s has been register for dog.\n", name.c_str());
        return 0;
    }
    dogPeriodMap.emplace(name, period);
    dogCounterMap.emplace(std::move(name), period);
    return 0;
}

extern "C" int UnregisterThreadForDog(const char* threadName, size_t nameLen) {
    if (!client_internal::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Unregister thread for dog failed, threadName param is invalid.\n");
        return -22;
    }
    std::string name(threadName);
    std::lock_guard<std::mutex> lock(dogMutex);
    if (dogPeriodMap.find(name) == dogPeriodMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Target: %s can't be found for unregister.\n",
               name.c_str());
        return 0;
    }
    dogPeriodMap.erase(name);
    dogCounterMap.erase(name);
    return 0;
}

extern "C" int KickingTheDog(const char* threadName, size_t nameLen) {
    if (!client_internal::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Kick dog failed, threadName param is invalid.\n");
        return -22;
    }
    std::string name(threadName);
    std::lock_guard<std::mutex> lock(dogMutex);
    auto counter = dogCounterMap.find(name);
    if (counter == dogCounterMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Thread %s does not register feeding dog.\n",
               name.c_str());
        return -1;
    }
    // Both maps always hold the same names, so the period is there.
    auto period = dogPeriodMap.find(name);
    counter->second = period != dogPeriodMap.end() ? period->second : counter->second;
    return 0;
}

bool CheckWatchDog() {
    std::lock_guard<std::mutex> lock(dogMutex);
    // The walk stops at the first expired thread: one stalled thread is enough
    // to mark the record, and the threads behind it keep their ticks.
    for (auto& entry : dogCounterMap) {
        if (entry.second == 0) {
            return false;
        }
        --entry.second;
    }
    return true;
}

namespace client_internal {

std::vector<std::pair<std::string, uint32_t>> WatchDogCounters() {
    std::lock_guard<std::mutex> lock(dogMutex);
    return {dogCounterMap.begin(), dogCounterMap.end()};
}

}  // namespace client_internal
