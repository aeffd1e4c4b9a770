#include "common/Semaphore.h"

// The condition variable is destroyed with the object; nothing else to free.
Semaphore::~Semaphore() = default;

void Semaphore::Post() {
    hb::MutexLock lock(&mutex);
    ++count;
    if (count <= 0) {
        // A thread is inside TimedWait: hand it this post.
        signaled = true;
        condition.notify_one();
    }
}

bool Semaphore::TimedWait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    hb::MutexLock lock(&mutex);
    --count;
    if (count >= 0) {
        return true;  // a post was pending
    }
    signaled = false;
    // The predicate form waits again after a wake-up without a post.
    // The predicate runs with the mutex held (the wait re-takes it first).
    if (condition.wait_until(mutex, deadline, [this] {
            mutex.AssertHeld();
            return signaled;
        })) {
        return true;  // the post's addition paid for this wait
    }
    ++count;
    return false;
}

int32_t Semaphore::Count() {
    hb::MutexLock lock(&mutex);
    return count;
}
