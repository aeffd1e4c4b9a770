// What the shared-memory channel tests share.
#ifndef TESTS_MMAP_MMAP_TEST_UTIL_H_
#define TESTS_MMAP_MMAP_TEST_UTIL_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"
#include "support/log_capture.h"

namespace mmap_test {

// A channel file name of this test process.
inline std::string ShmPath(const std::string& client) {
    return "/dev/shm/" + client + std::to_string(getpid()) + "__to__procmgr_mmap_heartbeat";
}

inline void* AnonymousPage() {
    return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
}
inline uint32_t Head(const void* page) { return *static_cast<const volatile uint32_t*>(page); }

}  // namespace mmap_test

#endif  // TESTS_MMAP_MMAP_TEST_UTIL_H_
