// Placeholder checking side.
#include "heartbeat.h"

extern "C" int RegisterCheckHeartBeat(const char*, size_t, unsigned int, SendFaultCallback) { return -22; }
extern "C" int UnregisterCheckHeartBeat(const char*, size_t) { return -22; }
extern "C" int DisableAllCheckHeartBeat(void) { return 0; }
extern "C" int ReportHeartBeatLost(const char*, size_t) { return -22; }
void GetHeartBeatMessageFromClient(const int&, const HeartBeatMessage&, HeartChannelType) {}
