// Placeholder shared-memory listener.
#include "heartbeat_mmap.h"

namespace VeHeartBeat {
bool StartListeningHeartBeatMmapChannel(const std::string&, void*) { return false; }
void StopListenHeartBeatMmapChannel(const std::string&) {}
}  // namespace VeHeartBeat
