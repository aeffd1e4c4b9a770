// The log facility with arbitrary message text, kinds, levels, file names and
// lines. The text is passed both as an argument and as the format itself with
// its conversions neutralised, so the bounds of every buffer are exercised.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "kov_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const auto kind = static_cast<KOVLogType>(static_cast<int8_t>(data[0]) % 10);  // inside and outside the table
    const int level = data[1] % 8;
    int line = 0;
    memcpy(&line, data + 2, sizeof(line));
    const std::string rest(reinterpret_cast<const char*>(data + 6), size - 6);
    const size_t cut = rest.find('\0');
    const std::string file = cut == std::string::npos ? std::string() : rest.substr(0, cut);
    const std::string text = cut == std::string::npos ? rest : rest.substr(cut + 1);
    std::string format = text;
    for (char& c : format) c = c == '%' ? '_' : c;  // a fuzzed format must not read arguments that are not there
    const char* fileArg = (data[1] & 0x80) != 0 ? nullptr : file.c_str();
    KovSyslog(kind, level, line, fileArg, "%s", text.c_str());
    // A format that is not a literal is the point here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    KovSyslog(kind, level, line, fileArg, format.c_str());
#pragma GCC diagnostic pop
    return 0;
}
