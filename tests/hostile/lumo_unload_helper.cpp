// Loads our IPC library by path (argv[1]), has a callback close its own pipe
// and keep running while the host unloads the library, then exits 0. A
// receive thread left running code that dlclose unmapped kills it instead.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>

#include "lumo.h"

int main(int argc, char** argv) {
    void* lib = argc > 1 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : nullptr;
    static int signalled[2];
    if (lib == nullptr || pipe(signalled) != 0) return 2;
    auto open = reinterpret_cast<int (*)(LumoOpenParam*)>(dlsym(lib, "LumoOpen"));
    auto send = reinterpret_cast<int (*)(int, LumoRequest*)>(dlsym(lib, "LumoSendRequest"));
    static auto closePipe = reinterpret_cast<int (*)(int)>(dlsym(lib, "LumoClosePipe"));
    LumoOpenParam param{"cli", [](int handle, LumoRequest*) {
                            const int rc = closePipe(handle);
                            (void)!write(signalled[1], &rc, sizeof(rc));
                            usleep(300 * 1000);  // the host unloads the library meanwhile
                        }, 3000, 1, UINT32_MAX, 1, "srv", -1, 1, 0, 0};
    const int listener = open(&param);
    param = LumoOpenParam{"srv", nullptr, 3000, 0, UINT32_MAX, 1, "cli", -1, 1, 0, 0};
    const int sender = open(&param);
    LumoRequest request{0, "", 1, 0};
    int rc = -1;
    if (listener <= 0 || sender <= 0 || send(sender, &request) != 0 ||
        read(signalled[0], &rc, sizeof(rc)) != sizeof(rc) || rc != 0 || closePipe(sender) != 0)
        return 3;
    dlclose(lib);
    usleep(600 * 1000);  // the callback returns into the library's code
    return 0;
}
