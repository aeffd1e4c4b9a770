// The boot command-line tokenizer over arbitrary file content: a centre that
// reads an in-memory file instead of /proc/cmdline. Besides the sanitizers, the
// target checks the tokens against a plain model: the distinct non-empty runs
// of characters between single spaces and line ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
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
            if (!piece.empty()) tokens.insert(piece);
            piece.clear();
        } else {
            piece.push_back(static_cast<char>(data[i]));
        }
    }
    return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("cmdline", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    VeKov::CmdlineConfigCenter centre(path);
    centre.Init();
    if (centre.Tokens() != Model(data, size) || centre.IsFpga() ||
        centre.GetVfsServerOpenPipeTimeout() != 3000)
        abort();
    return 0;
}
