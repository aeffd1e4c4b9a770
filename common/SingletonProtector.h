// SingletonProtector<T>: hands out a process-wide singleton through a weak
// reference and can switch it off for good.
//
// A singleton that lives in a function-local static std::shared_ptr is
// destroyed at process exit while other threads of the host may still be
// running and asking for it. The protector is a second function-local static,
// constructed right after the owning pointer, so that it is destroyed right
// before it: from the moment its destructor has run, Get() answers empty and
// the callers fall back to their "switched off" behaviour instead of touching
// an object that is about to go away. A caller that got a shared copy before
// that keeps the object alive until it drops the copy.
//
//   static std::shared_ptr<Foo> owner = std::make_shared<Foo>();
//   static SingletonProtector<Foo> protector(owner);
//   std::shared_ptr<Foo> foo = protector.Get();  // empty once switched off
#ifndef COMMON_SINGLETONPROTECTOR_H_
#define COMMON_SINGLETONPROTECTOR_H_

#include <memory>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace VeKov {

template <typename T>
class SingletonProtector {
public:
    explicit SingletonProtector(const std::shared_ptr<T>& owner) : alive(true), instance(owner) {}

    // Switches the singleton off before the owning pointer is destroyed. The
    // lock itself is deliberately not destroyed: threads that outlive static
    // destruction may still take it for reading, and must then find `alive`
    // false rather than an unusable lock.
    // `instance` is only read while `alive` is true, so dropping it after the
    // switch-off needs no lock.
    ~SingletonProtector() {
        SwitchOff();
        instance.reset();
    }

    SingletonProtector(const SingletonProtector&) = delete;
    SingletonProtector& operator=(const SingletonProtector&) = delete;

    // A shared copy of the singleton, or empty once it has been switched off or
    // has already been destroyed. Many threads may promote at once.
    std::shared_ptr<T> Get() EXCLUDES(guardLock) {
        std::shared_ptr<T> result;
        guardLock.ReaderLock();
        if (alive) {
            result = instance.lock();
        }
        guardLock.ReaderUnlock();
        return result;
    }

    // Makes every later Get() answer empty. There is no way back.
    void SwitchOff() EXCLUDES(guardLock) {
        guardLock.Lock();
        alive = false;
        guardLock.Unlock();
    }

private:
    bool alive GUARDED_BY(guardLock);
    std::weak_ptr<T> instance GUARDED_BY(guardLock);
    // Readers: Get(). Writer: SwitchOff(). Held only for a flag test and a
    // weak-pointer promotion; never while another lock of the library is taken.
    // Deliberately never destroyed (see the destructor above).
    hb::PosixRwLock guardLock;
};

}  // namespace VeKov

#endif  // COMMON_SINGLETONPROTECTOR_H_
