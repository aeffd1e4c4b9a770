// The boot command-line tokenizer over arbitrary file content: a centre that
// reads an in-memory file instead of /proc/cmdline. Besides the sanitizers, the
// target checks the tokens against a plain model: the distinct non-empty runs
// of characters between single spaces and line ends.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "cmdline_config_center.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("cmdline", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    VeKov::CmdlineConfigCenter centre(path);
    centre.Init();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unordered_set<std::string> model;
    for (size_t start = 0, end = 0; start <= size; start = end + 1) {
        end = std::min(text.find_first_of(" \n", start), size);
        if (end > start) model.insert(text.substr(start, end - start));
    }
    if (centre.Tokens() != model || centre.IsFpga() || centre.GetVfsServerOpenPipeTimeout() != 3000)
        abort();
    return 0;
}
