// The log facility with arbitrary message text, kinds, levels, file names and
// lines: the text is as long as the input makes it, so the bounds of the
// message, prefix and call-site key buffers are all exercised.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "kov_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    // Kinds inside and outside the table; the file name up to the first NUL, then the text.
    const auto kind = static_cast<KOVLogType>(static_cast<int8_t>(data[0]) % 10);
    const int level = data[1] % 8;
    int line = 0;
    memcpy(&line, data + 2, sizeof(line));
    const std::string rest(reinterpret_cast<const char*>(data + 6), size - 6);
    const std::string file = rest.substr(0, rest.find('\0'));
    const char* text = rest.c_str() + std::min(file.size() + 1, rest.size());
    KovSyslog(kind, level, line, (data[1] & 0x80) != 0 ? nullptr : file.c_str(), "%s", text);
    return 0;
}
