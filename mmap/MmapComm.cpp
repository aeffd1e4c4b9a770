// Placeholder channel file.
#include "heartbeat_mmap.h"

namespace VeHeartBeat {
void* InitHeartBeatMmapChannel(const std::string&, const bool&, const unsigned&) { return nullptr; }
void FiniHeartBeatMmapChannel(void*, const std::string&) {}
}  // namespace VeHeartBeat
