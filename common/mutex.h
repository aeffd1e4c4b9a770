// The locks of the library, annotated for clang's thread-safety analysis.
//
// std::mutex carries no annotations, so a member marked GUARDED_BY(someStdMutex)
// is checked against nothing. Every lock of the library is one of these
// instead; the comment beside each lock says why it exists and what it may be
// held across, the annotations say what it guards and in which order it nests.
//
// Both types also have the standard lowercase spelling (lock/unlock), so that
// std::condition_variable_any can wait on them.
#ifndef COMMON_MUTEX_H_
#define COMMON_MUTEX_H_

#include <pthread.h>

#include <mutex>
#include <shared_mutex>

#include "common/thread_annotations.h"

namespace hb {

// A plain, non-recursive mutex.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mu_.lock(); }
    void Unlock() RELEASE() { mu_.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
    // Tells the analysis that the caller holds the lock (for callbacks that
    // are documented to run under it). Checks nothing at run time.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

    void lock() ACQUIRE() { mu_.lock(); }
    void unlock() RELEASE() { mu_.unlock(); }

private:
    std::mutex mu_;
};

// A reader-writer lock: many readers or one writer.
class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void Lock() ACQUIRE() { mu_.lock(); }
    void Unlock() RELEASE() { mu_.unlock(); }
    void ReaderLock() ACQUIRE_SHARED() { mu_.lock_shared(); }
    void ReaderUnlock() RELEASE_SHARED() { mu_.unlock_shared(); }

private:
    std::shared_mutex mu_;
};

// A POSIX reader-writer lock (pthread_rwlock_t) that the analysis can name.
// Unlike SharedMutex it is never destroyed: the destructor leaves the lock as
// it is, so a thread that outlives static destruction can still take it. Lock
// failures (EDEADLK, EAGAIN for too many readers) are not reported; callers
// only ever take it once per thread, briefly.
class CAPABILITY("mutex") PosixRwLock {
public:
    PosixRwLock() { (void)pthread_rwlock_init(&lock_, nullptr); }
    PosixRwLock(const PosixRwLock&) = delete;
    PosixRwLock& operator=(const PosixRwLock&) = delete;

    void Lock() ACQUIRE() { (void)pthread_rwlock_wrlock(&lock_); }
    void Unlock() RELEASE() { (void)pthread_rwlock_unlock(&lock_); }
    void ReaderLock() ACQUIRE_SHARED() { (void)pthread_rwlock_rdlock(&lock_); }
    void ReaderUnlock() RELEASE_SHARED() { (void)pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

// Gives an existing std::mutex (one whose type an interface fixes) a name the
// analysis can check members against. It holds a reference only; the mutex
// keeps its own lifetime.
class CAPABILITY("mutex") StdMutexRef {
public:
    explicit constexpr StdMutexRef(std::mutex& mu) : mu_(mu) {}
    StdMutexRef(const StdMutexRef&) = delete;
    StdMutexRef& operator=(const StdMutexRef&) = delete;

    void Lock() ACQUIRE() { mu_.lock(); }
    void Unlock() RELEASE() { mu_.unlock(); }

private:
    std::mutex& mu_;
};

// Holds a StdMutexRef's mutex for the life of the scope.
class SCOPED_CAPABILITY StdMutexRefLock {
public:
    explicit StdMutexRefLock(StdMutexRef* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
    ~StdMutexRefLock() RELEASE() { mu_->Unlock(); }
    StdMutexRefLock(const StdMutexRefLock&) = delete;
    StdMutexRefLock& operator=(const StdMutexRefLock&) = delete;

private:
    StdMutexRef* const mu_;
};

// Holds a Mutex for the life of the scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
    ~MutexLock() RELEASE() { mu_->Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex* const mu_;
};

// Holds a SharedMutex exclusively for the life of the scope.
class SCOPED_CAPABILITY WriterMutexLock {
public:
    explicit WriterMutexLock(SharedMutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
    ~WriterMutexLock() RELEASE() { mu_->Unlock(); }
    WriterMutexLock(const WriterMutexLock&) = delete;
    WriterMutexLock& operator=(const WriterMutexLock&) = delete;

private:
    SharedMutex* const mu_;
};

// Holds a SharedMutex shared for the life of the scope.
class SCOPED_CAPABILITY ReaderMutexLock {
public:
    explicit ReaderMutexLock(SharedMutex* mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_->ReaderLock(); }
    ~ReaderMutexLock() RELEASE() { mu_->ReaderUnlock(); }
    ReaderMutexLock(const ReaderMutexLock&) = delete;
    ReaderMutexLock& operator=(const ReaderMutexLock&) = delete;

private:
    SharedMutex* const mu_;
};

}  // namespace hb

#endif  // COMMON_MUTEX_H_
