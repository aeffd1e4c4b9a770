// The thread watchdog of a client process.
//
// Threads register under a name with a period counted in heartbeat cycles and
// kick the dog at least once per period. Every heartbeat cycle of a sender
// calls CheckWatchDog() once, which is one tick for every registered thread; a
// thread whose counter has run down to 0 fails the check, and the sender marks
// its record so that the checking side treats the whole process as lost.
#include <pthread.h>
#include <sys/types.h>

#include <cerrno>
#include <new>
#include <string>
#include <unordered_map>

#include "client/watchdog_internal.h"
#include "common/mutex.h"
#include "common/name_rule.h"
#include "common/no_destructor.h"
#include "common/result.h"
#include "common/thread_annotations.h"
#include "heartbeat.h"
#include "log/log_internal.h"

namespace {

using DogMap = std::unordered_map<std::string, uint32_t>;

// The maps and their mutex are built on first use and never destroyed: a send
// thread may still tick the watchdog while the process runs its exit-time
// destructors, and must never meet a destroyed map.
struct WatchDog {
    // Guards both maps. A leaf lock: nothing else of the library is taken
    // while it is held, except the log mutex for the lines logged under it.
    hb::Mutex dogMutex;
    // Name -> feeding period in ticks (never 0).
    DogMap dogPeriodMap GUARDED_BY(dogMutex);
    // Name -> ticks left before the thread counts as stalled (never above its
    // period). Holds exactly the names of dogPeriodMap.
    DogMap dogCounterMap GUARDED_BY(dogMutex);
};

WatchDog& Dog() {
    static hb::NoDestructor<WatchDog> dog;
    return *dog;
}

// The child of a fork() has only the forking thread: the threads registered
// in the parent are not there to kick, and would make the child's first
// heartbeats report a stall. The child starts with an empty watchdog. A lock
// held by another thread at the fork stays held for good in the child, and
// the maps it guarded may be half changed: then both are replaced.
void EmptyWatchDogInChild() NO_THREAD_SAFETY_ANALYSIS {
    WatchDog& dog = Dog();
    if (dog.dogMutex.TryLock()) {
        dog.dogPeriodMap.clear();
        dog.dogCounterMap.clear();
        dog.dogMutex.Unlock();
    } else {
        new (&dog) WatchDog();
    }
}
[[maybe_unused]] const int forkHandlerRegistered = pthread_atfork(nullptr, nullptr, EmptyWatchDogInChild);

}  // namespace

extern "C" int RegisterThreadForDog(const char* threadName, size_t nameLen, unsigned int period) {
    if (!hb::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Register thread for dog failed, threadName is invalid, nameLen=%zd.\n",
               static_cast<ssize_t>(nameLen));
        return -EINVAL;
    }
    if (period == 0) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "The period of feeding dog is 0.\n");
        return -EINVAL;
    }
    std::string name = hb::NameOf(threadName, nameLen);
    WatchDog& dog = Dog();
    hb::MutexLock lock(&dog.dogMutex);
    if (dog.dogPeriodMap.find(name) != dog.dogPeriodMap.end()) {
        // Keep the stored period and counter: a second registration must not
        // hide a stall by refilling the counter.
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_INFO, "Thread %s has been register for dog.\n", name.c_str());
        return 0;
    }
    dog.dogPeriodMap.emplace(name, period);
    dog.dogCounterMap.emplace(std::move(name), period);
    return 0;
}

extern "C" int UnregisterThreadForDog(const char* threadName, size_t nameLen) {
    if (!hb::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR,
               "Unregister thread for dog failed, threadName param is invalid.\n");
        return -EINVAL;
    }
    std::string name = hb::NameOf(threadName, nameLen);
    WatchDog& dog = Dog();
    hb::MutexLock lock(&dog.dogMutex);
    if (dog.dogPeriodMap.find(name) == dog.dogPeriodMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Target: %s can't be found for unregister.\n",
               name.c_str());
        return 0;
    }
    dog.dogPeriodMap.erase(name);
    dog.dogCounterMap.erase(name);
    return 0;
}

extern "C" int KickingTheDog(const char* threadName, size_t nameLen) {
    if (!hb::IsValidName(threadName, nameLen)) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Kick dog failed, threadName param is invalid.\n");
        return -EINVAL;
    }
    std::string name = hb::NameOf(threadName, nameLen);
    WatchDog& dog = Dog();
    hb::MutexLock lock(&dog.dogMutex);
    auto counter = dog.dogCounterMap.find(name);
    if (counter == dog.dogCounterMap.end()) {
        HB_LOG(KOV_LOG_HEARTBEAT, LOG_ERR, "Thread %s does not register feeding dog.\n",
               name.c_str());
        return hb::kResultThreadNotRegistered;
    }
    // Both maps always hold the same names, so the period is there.
    auto period = dog.dogPeriodMap.find(name);
    counter->second = period != dog.dogPeriodMap.end() ? period->second : counter->second;
    return 0;
}

bool CheckWatchDog() {
    WatchDog& dog = Dog();
    hb::MutexLock lock(&dog.dogMutex);
    // The walk stops at the first expired thread: one stalled thread is enough
    // to mark the record, and the threads behind it keep their ticks.
    for (auto& entry : dog.dogCounterMap) {
        if (entry.second == 0) {
            return false;
        }
        --entry.second;
    }
    return true;
}

namespace client_internal {

std::vector<std::pair<std::string, uint32_t>> WatchDogCounters() {
    WatchDog& dog = Dog();
    hb::MutexLock lock(&dog.dogMutex);
    return {dog.dogCounterMap.begin(), dog.dogCounterMap.end()};
}

}  // namespace client_internal
