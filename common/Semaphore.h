// A counting semaphore with a timed wait on the steady clock.
//
// It wakes the check thread early when checking is disabled: the thread waits
// with TimedWait(3 s) between its cycles, DisableAllCheckHeartBeat posts.
//
// `count` is the number of posts not yet consumed, or, when negative, minus the
// number of threads inside TimedWait. A post made while a thread waits is
// handed over through `signaled`, which is a flag rather than a counter, so
// the semaphore is meant for at most one waiter at a time (the check thread).
#ifndef COMMON_SEMAPHORE_H_
#define COMMON_SEMAPHORE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "common/mutex.h"
#include "common/thread_annotations.h"

class Semaphore {
public:
    Semaphore() = default;
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds one to the count and wakes a waiter if there is one.
    void Post() EXCLUDES(mutex);

    // Takes one post: true at once when one is pending, true when a post
    // arrives within `limit`, false once `limit` has passed on the steady clock
    // (the count is then as it was before the call).
    bool TimedWait(std::chrono::milliseconds limit) EXCLUDES(mutex);

    // The current count (for tests and diagnostics).
    int32_t Count() EXCLUDES(mutex);

private:
    bool signaled GUARDED_BY(mutex) = false;
    int32_t count GUARDED_BY(mutex) = 0;
    // Held only inside the member functions, never together with another lock
    // of the library.
    hb::Mutex mutex;
    // _any, because it waits on hb::Mutex rather than std::mutex.
    std::condition_variable_any condition;
};

#endif  // COMMON_SEMAPHORE_H_
