// Loads libheartbeat and writes one line through its log facility.
#include <syslog.h>

#include <cstdio>

#include "env_manager.h"
#include "kov_log.h"

int main() {
    KovSyslog(KOV_LOG_HEARTBEAT, LOG_NOTICE, __LINE__, "demo.cpp", "libheartbeat demo started.");
    std::printf("libheartbeat loaded in process '%s'\n", EnvManager::ProcName());
    return 0;
}
