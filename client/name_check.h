// The name rule shared by every operation of the client side that takes a name.
#ifndef CLIENT_NAME_CHECK_H_
#define CLIENT_NAME_CHECK_H_

#include <cstddef>
#include <cstring>

namespace client_internal {

// Names longer than this are accepted only with this length, and then used
// whole up to their NUL.
constexpr size_t kNameCheckLimit = 100;

// A name is valid when it exists and its length, counted up to the limit,
// equals what the caller says it is.
inline bool IsValidName(const char* name, size_t nameLen) {
    return name != nullptr && strnlen(name, kNameCheckLimit) == nameLen;
}

}  // namespace client_internal

#endif  // CLIENT_NAME_CHECK_H_
