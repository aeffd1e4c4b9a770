#undef _FORTIFY_SOURCE
#include "support/fuzz_support.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace {
std::atomic<size_t> linesWritten{0};
std::mutex pipesMutex;  // guards Pipes() and nextHandle
int nextHandle = 100;
std::map<int, LumoCallback>& Pipes() {
    static auto* pipes = new std::map<int, LumoCallback>();
    return *pipes;
}

void Consume(const char* format, va_list args) {
    // Format the line as syslog would, so that formatting bugs still surface.
    char text[512];
    vsnprintf(text, sizeof(text), format, args);
    linesWritten.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void syslog(int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Consume(format, args);
    va_end(args);
}
void __syslog_chk(int, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Consume(format, args);
    va_end(args);
}

int LumoOpen(LumoOpenParam* param) {
    if (param == nullptr) {
        return -22;
    }
    std::lock_guard<std::mutex> lock(pipesMutex);
    int handle = nextHandle++;
    Pipes()[handle] = param->callback;
    return handle;
}
int LumoSendRequest(int, LumoRequest*) { return 0; }
int LumoClosePipe(int handle) {
    std::lock_guard<std::mutex> lock(pipesMutex);
    return Pipes().erase(handle) == 1 ? 0 : -22;
}
}

namespace fuzz_support {
size_t LinesWritten() { return linesWritten.load(std::memory_order_relaxed); }
LumoCallback* CallbackOf(int handle) {
    std::lock_guard<std::mutex> lock(pipesMutex);
    auto it = Pipes().find(handle);
    return it == Pipes().end() ? nullptr : &it->second;
}
}  // namespace fuzz_support
