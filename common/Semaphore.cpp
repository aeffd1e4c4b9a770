#include "common/Semaphore.h"

// The condition variable is destroyed with the object; nothing else to free.
Semaphore::~Semaphore() = default;

void Semaphore::Post() {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    if (count <= 0) {
        // A thread is inside TimedWait: hand it this post.
        signaled = true;
        condition.notify_one();
    }
}

bool Semaphore::TimedWait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex);
    --count;
    if (count >= 0) {
        return true;  // a post was pending
    }
    signaled = false;
    // The predicate form waits again after a wake-up without a post.
    if (condition.wait_until(lock, deadline, [this] { return signaled; })) {
        return true;  // the post's addition paid for this wait
    }
    ++count;
    return false;
}

int32_t Semaphore::Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
}
