// Bounded copies into fixed buffers.
//
// The platform provides these with its own library; this is our stand-in with
// the same contract, internal to libheartbeat. The destination's capacity
// always comes first:
//   memcpy_s, strcpy_s, strcat_s: 0 on success, a positive errno value on
//     failure (EINVAL for a null pointer or zero capacity, ERANGE when the data
//     does not fit). On ERANGE the destination holds an empty string
//     (strcpy_s, strcat_s) or zeros (memcpy_s); nothing is ever written past
//     destMax.
//   snprintf_s, vsnprintf_s: the number of characters written, or -1 when the
//     text is longer than `count` or than destMax - 1, or on any error. On -1
//     the destination holds a NUL-terminated (possibly cut) prefix.
#ifndef COMMON_SECUREC_H_
#define COMMON_SECUREC_H_

#include <cstdarg>
#include <cstddef>

extern "C" {

int memcpy_s(void* dest, size_t destMax, const void* src, size_t count);
int strcpy_s(char* dest, size_t destMax, const char* src);
int strcat_s(char* dest, size_t destMax, const char* src);
int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));

}  // extern "C"

#endif  // COMMON_SECUREC_H_
