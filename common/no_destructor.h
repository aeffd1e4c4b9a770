// A process-wide object that is built on first use and never destroyed.
//
// The library's threads ("SendHeart", "CheckHeart", the listeners, the IPC
// receive thread) may still run while the process exits, after static
// destructors have started; state they reach must therefore outlive every
// destructor. NoDestructor<T> constructs T in place and never runs ~T, so the
// object stays valid until the process is gone. Use it as a function-local
// static (thread-safe first use) or a namespace-scope object.
#ifndef COMMON_NO_DESTRUCTOR_H_
#define COMMON_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace hb {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& operator*() { return *get(); }
    T* operator->() { return get(); }
    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace hb

#endif  // COMMON_NO_DESTRUCTOR_H_
