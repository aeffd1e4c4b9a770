// What the checking side's tests share: a fault callback that records each
// report, a record as a client sends it, and a client's entry read under the
// registry's lock.
#ifndef TESTS_CHECKER_CHECKER_TEST_UTIL_H_
#define TESTS_CHECKER_CHECKER_TEST_UTIL_H_

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "checker/checkheart_internal.h"

namespace checker_test {

using Reports = std::vector<std::tuple<std::string, int32_t, uint32_t>>;  // name, pid, isLost

inline Reports recorded;  // written under stateMutex, like every report
inline void Record(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    recorded.emplace_back(std::string(name, length), pid, isLost);
}
inline Reports Taken() {
    hb::MutexLock lock(&checkheart::State().stateMutex);
    return std::exchange(recorded, {});
}

inline HeartBeatMessage Beat(const std::string& name, uint32_t order, int32_t pid = 10,
                             uint32_t timeoutTimes = 2, uint8_t dogFailed = 0) {
    HeartBeatMessage message{VeKov::GetCurrentTime(), order, {}, {}, pid, timeoutTimes, dogFailed};
    name.copy(message.clientName, sizeof(message.clientName));
    return message;
}

inline ClientMgrInfo Info(const std::string& name) {
    hb::MutexLock lock(&checkheart::State().stateMutex);
    return checkheart::State().stateMap.at(name);
}

}  // namespace checker_test

#endif  // TESTS_CHECKER_CHECKER_TEST_UTIL_H_
