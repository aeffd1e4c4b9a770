// What the pipe tests and their peer program send and print: a pattern that
// depends on size and position, and one line per callback.
#ifndef TESTS_IPC_PAYLOAD_H_
#define TESTS_IPC_PAYLOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lumo.h"

namespace payload {

inline std::string Line(int handle, const void* data, size_t size) {
    uint64_t digest = 14695981039346656037ULL;  // FNV-1a
    for (size_t i = 0; i < size; ++i) {
        digest = (digest ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ULL;
    }
    return "msg " + std::to_string(handle) + " " + std::to_string(size) + " " + std::to_string(digest);
}

inline std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + size);
    }
    return bytes;
}

// The line a callback of `handle` prints for the pattern of `size` bytes.
inline std::string Expected(int handle, size_t size) { return Line(handle, Pattern(size).data(), size); }

inline std::string Describe(int handle, const LumoRequest* request) {
    return request == nullptr ? "gone " + std::to_string(handle)
                              : Line(handle, request->data, request->size);
}

inline int Send(int handle, size_t size) {
    auto bytes = Pattern(size);
    LumoRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(size);
    return LumoSendRequest(handle, &request);
}

}  // namespace payload

#endif  // TESTS_IPC_PAYLOAD_H_
