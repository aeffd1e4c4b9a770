// Helpers of the shared-memory channel tests.
#ifndef TESTS_MMAP_MMAP_TEST_UTIL_H_
#define TESTS_MMAP_MMAP_TEST_UTIL_H_

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "heartbeat_message.h"

namespace mmap_test {

// A private directory under /dev/shm, removed with its content.
struct ShmDir {
    std::string path;
    ShmDir() {
        char name[] = "/dev/shm/hbmmap_XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "/nonexistent";
    }
    ~ShmDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string& name) const { return path + "/" + name; }
};

inline void* AnonymousPage() {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : page;
}
inline uint32_t Head(const void* page) {
    uint32_t head;
    memcpy(&head, page, sizeof(head));
    return head;
}
inline void SetHead(void* page, uint32_t head) { memcpy(page, &head, sizeof(head)); }
inline HeartBeatMessage Record(const void* page) {
    HeartBeatMessage record;
    memcpy(&record, static_cast<const char*>(page) + 4, sizeof(record));
    return record;
}
// Writes like a sender: record, then head 1.
inline void Send(void* page, const char* name, uint32_t order) {
    HeartBeatMessage record{};
    strncpy(record.clientName, name, sizeof(record.clientName) - 1);
    record.order = order;
    memcpy(static_cast<char*>(page) + 4, &record, sizeof(record));
    SetHead(page, 1);
}

// Threads of this process whose kernel name is `name` (cut to 15 bytes).
inline int ThreadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        count += comm == name.substr(0, 15) ? 1 : 0;
    }
    return count;
}

// In a forked child only: allows or forbids new threads. Root, whom the
// process limit does not bind, becomes nobody for good on the first call.
inline bool AllowThreads(bool allow) {
    struct rlimit limit = {};
    if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
        return false;
    }
    if (getrlimit(RLIMIT_NPROC, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = allow ? limit.rlim_max : 0;
    return setrlimit(RLIMIT_NPROC, &limit) == 0;
}

}  // namespace mmap_test

#endif  // TESTS_MMAP_MMAP_TEST_UTIL_H_
