// Waiting for a condition with a deadline, and counting what a process holds
// from /proc: shared by the tests that watch real processes and threads.
#ifndef TESTS_SUPPORT_POLLING_H_
#define TESTS_SUPPORT_POLLING_H_

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

namespace polling {

// Whether `done` came true within `limit`, asked every `every`.
template <typename Done>
bool Eventually(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10),
                std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

// Entries of a directory, such as /proc/self/fd.
inline size_t Count(const std::string& directory) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

}  // namespace polling

#endif  // TESTS_SUPPORT_POLLING_H_
