// The smallest useful user of libheartbeat: logs a line, reads the heartbeat
// clock and feeds the thread watchdog once. Exit status 0 when the library
// behaved.
#include <syslog.h>

#include <cstdio>
#include <cstring>

#include <heartbeat.h>
#include <heartbeat_message.h>
#include <kov_log.h>

int main() {
    KovSyslog(KOV_LOG_HEARTBEAT, LOG_NOTICE, __LINE__, "consumer.cpp", "heartbeat consumer started.\n");

    const uint64_t start = VeKov::GetCurrentTime();
    if (start == 0) {
        std::fprintf(stderr, "consumer: the heartbeat clock reads 0\n");
        return 1;
    }

    const char thread[] = "consumer-main";
    const int registered = RegisterThreadForDog(thread, std::strlen(thread), 2);
    const int kicked = KickingTheDog(thread, std::strlen(thread));
    std::printf("consumer: clock %llu ms, watchdog register %d, kick %d\n",
                static_cast<unsigned long long>(start), registered, kicked);
    // A kick of a registered thread must succeed.
    if (registered == 0 && kicked != 0) {
        return 1;
    }
    UnregisterThreadForDog(thread, std::strlen(thread));
    return 0;
}
