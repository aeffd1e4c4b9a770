// Placeholder rate limit: lets every line through until the restrained log lands.
#include "kov_log.h"
#include "log/log_internal.h"

namespace log_internal {
bool RestrainedLogAllows(int, const char*) { return true; }
}  // namespace log_internal

namespace VeKov {
KovRestrainedLog::KovRestrainedLog() : destroyed(false) {}
KovRestrainedLog::~KovRestrainedLog() { destroyed.store(true); }
std::shared_ptr<KovRestrainedLog> KovRestrainedLog::GetInstance(bool) { return nullptr; }
int KovRestrainedLog::PrintTableInsert(unsigned long) { return 0; }
}  // namespace VeKov

void KovLogGetInstance(bool create) { VeKov::KovRestrainedLog::GetInstance(create); }
