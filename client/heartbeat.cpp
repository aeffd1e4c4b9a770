// Placeholder pipe sender.
#include "heartbeat.h"

extern "C" int RegisterSendHeartBeat(const char*, size_t, const char*, size_t, const HeartBeatConfig*) {
    return -22;
}
extern "C" int UnregisterSendHeartBeat(void) { return 0; }
int CloseSendHeartBeatPipe(const int&, const char*) { return 0; }
