// The name rule of every operation that takes a name as pointer and length.
//
// A name is accepted when the pointer is non-null and strnlen(name, 100)
// equals the length the caller gives. Names of 100 characters or more thus
// pass only with length 100. An accepted name is then used as exactly its
// first `length` bytes and never read further: a caller may pass a name of
// 100 bytes that has no terminating NUL, at the very end of its memory.
#ifndef COMMON_NAME_RULE_H_
#define COMMON_NAME_RULE_H_

#include <cstddef>
#include <cstring>
#include <string>

namespace hb {

constexpr size_t kNameLimit = 100;

inline bool IsValidName(const char* name, size_t length) {
    return name != nullptr && strnlen(name, kNameLimit) == length;
}

// The accepted name as the library keeps it. Call only after IsValidName.
inline std::string NameOf(const char* name, size_t length) {
    return std::string(name, length);
}

}  // namespace hb

#endif  // COMMON_NAME_RULE_H_
