// The other process of the pipe tests:  lumo_peer listen|connect SELF PEER [SIZE...]
// Opens one end and prints "open <result>"; then sends the test pattern of
// each SIZE and prints "sent <result>". Each callback prints a line of
// payload::Describe. Runs until killed, and dies with the test.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "payload.h"

namespace {

// One write per line: lines of the receive thread and the main thread never mix.
void Say(const std::string& line) {
    std::string out = line + "\n";
    (void)!write(STDOUT_FILENO, out.data(), out.size());
}

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 4) {
        return 2;
    }
    LumoOpenParam param{};
    param.isServer = strcmp(argv[1], "listen") == 0 ? 1 : 0;
    param.selfName = argv[2];
    param.peerName = argv[3];
    param.timeoutMs = 3000;
    param.enableCallback = 1;
    param.callback = [](int handle, LumoRequest* request) { Say(payload::Describe(handle, request)); };
    const int handle = LumoOpen(&param);
    Say("open " + std::to_string(handle));
    for (int i = 4; i < argc; ++i) {
        Say("sent " + std::to_string(payload::Send(handle, strtoul(argv[i], nullptr, 10))));
    }
    for (;;) {
        pause();
    }
}
