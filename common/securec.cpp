#include "common/securec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {

int memcpy_s(void* dest, size_t destMax, const void* src, size_t count) {
    if (dest == nullptr || destMax == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        memset(dest, 0, destMax);
        return EINVAL;
    }
    if (count > destMax) {
        memset(dest, 0, destMax);
        return ERANGE;
    }
    // Overlapping ranges are a caller bug on the platform's library too; moving
    // instead of failing keeps the destination well-defined.
    memmove(dest, src, count);
    return 0;
}

int strcpy_s(char* dest, size_t destMax, const char* src) {
    if (dest == nullptr || destMax == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, destMax);
    if (len == destMax) {  // no room for the terminator
        dest[0] = '\0';
        return ERANGE;
    }
    memmove(dest, src, len + 1);
    return 0;
}

int strcat_s(char* dest, size_t destMax, const char* src) {
    if (dest == nullptr || destMax == 0) {
        return EINVAL;
    }
    size_t used = strnlen(dest, destMax);
    if (src == nullptr || used == destMax) {  // null source or unterminated destination
        dest[0] = '\0';
        return EINVAL;
    }
    size_t add = strnlen(src, destMax - used);
    if (add == destMax - used) {
        dest[0] = '\0';
        return ERANGE;
    }
    memmove(dest + used, src, add + 1);
    return 0;
}

// The -1 results below are the platform function's own contract (see
// securec.h), not negated errno values.
int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format, va_list args) {
    if (dest == nullptr || destMax == 0) {
        return -1;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return -1;
    }
    size_t limit = count < destMax - 1 ? count : destMax - 1;
    int written = vsnprintf(dest, limit + 1, format, args);
    if (written < 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(written) > limit) {
        return -1;  // cut: the destination keeps the prefix that fitted
    }
    return written;
}

int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = vsnprintf_s(dest, destMax, count, format, args);
    va_end(args);
    return written;
}

}  // extern "C"
