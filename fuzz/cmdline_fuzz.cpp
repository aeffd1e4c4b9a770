// The boot command-line tokenizer over arbitrary file content: a centre that
// reads a temporary file instead of /proc/cmdline. Besides the sanitizers, the
// target checks the tokens against a plain model: the distinct non-empty runs
// of characters between single spaces and line ends.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "cmdline_config_center.h"

namespace {

std::unordered_set<std::string> Model(const uint8_t* data, size_t size) {
    std::unordered_set<std::string> tokens;
    std::string piece;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == ' ' || data[i] == '\n') {
            if (!piece.empty()) {
                tokens.insert(piece);
            }
            piece.clear();
        } else {
            piece.push_back(static_cast<char>(data[i]));
        }
    }
    return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        char pattern[] = "/tmp/cmdline-fuzz-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) {
            abort();
        }
        close(fd);
        return std::string(pattern);
    }();
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) {
        abort();
    }
    VeKov::CmdlineConfigCenter centre(path);
    centre.Init();
    if (centre.Tokens() != Model(data, size) || centre.IsFpga() ||
        centre.GetVfsServerOpenPipeTimeout() != 3000) {
        abort();
    }
    return 0;
}
