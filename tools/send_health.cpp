#include "tools/send_health.h"

#include <cstdio>

namespace hbsend {

Verdict Evaluate(const HealthInputs& in) {
    if (!in.exists || in.state == 'Z' || in.state == 'X') {
        return Verdict::kGone;
    }
    // 'T' is stopped by a signal, 't' stopped under a tracer.
    if (in.state == 'T' || in.state == 't') {
        return Verdict::kStopped;
    }
    if (!in.notify) {
        return Verdict::kHealthy;
    }
    if (in.stopping) {
        return Verdict::kStopping;
    }
    if (!in.ready) {
        return Verdict::kNotReady;
    }
    if (in.nowMs > in.lastPingMs && in.nowMs - in.lastPingMs > in.pingTimeoutMs) {
        return Verdict::kPingLate;
    }
    return Verdict::kHealthy;
}

bool IsFault(Verdict verdict) {
    // A command that is gone is about to be reaped, and the tool ends with it.
    return verdict != Verdict::kHealthy && verdict != Verdict::kGone && verdict != Verdict::kNotReady &&
           verdict != Verdict::kStopping;
}

std::string Describe(Verdict verdict, const HealthInputs& in, int checkStatus) {
    char text[128];
    switch (verdict) {
    case Verdict::kHealthy:
        return "healthy";
    case Verdict::kGone:
        return "is gone";
    case Verdict::kStopped:
        std::snprintf(text, sizeof(text), "is stopped (state %c)", in.state);
        return text;
    case Verdict::kNotReady:
        return "sent no READY=1 yet";
    case Verdict::kStopping:
        return "is stopping";
    case Verdict::kPingLate:
        std::snprintf(text, sizeof(text), "sent no WATCHDOG=1 for %.1f s",
                      static_cast<double>(in.nowMs - in.lastPingMs) / 1000.0);
        return text;
    case Verdict::kCheckFailed:
        std::snprintf(text, sizeof(text), "failed --check with status %d", checkStatus);
        return text;
    case Verdict::kCheckTimedOut:
        return "did not pass --check within 2 s";
    }
    return "unknown";
}

}  // namespace hbsend
