// Placeholder shared-memory sender.
#include "heartbeat_mmap.h"

namespace VeHeartBeat {
int InitSendHeartBeatWithMmap(const std::string&, const std::string&, unsigned) { return -1; }
int UnregisterSendHeartBeatWithMmap() { return 0; }
}  // namespace VeHeartBeat
