#include "tools/monitor_events.h"

#include <cstdio>
#include <cstring>

namespace hbtools {

const char* EventName(EventKind kind) {
    switch (kind) {
    case EventKind::kLost:
        return "lost";
    case EventKind::kRecovered:
        return "recovered";
    case EventKind::kMissing:
        return "missing";
    }
    return "";
}

const char* CauseName(Cause cause) {
    switch (cause) {
    case Cause::kExited:
        return "exited";
    case Cause::kStopped:
        return "stopped";
    case Cause::kHung:
        return "hung";
    case Cause::kWatchdog:
        return "watchdog";
    case Cause::kNone:
        break;
    }
    return "";
}

std::string FormatUtcTime(const struct timespec& time) {
    struct tm utc = {};
    const time_t seconds = time.tv_sec;
    if (gmtime_r(&seconds, &utc) == nullptr) {
        return "1970-01-01T00:00:00.000Z";
    }
    char text[64];
    const long millis = time.tv_nsec / 1000000L;
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(byte));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string PlainEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte <= 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatEvent(const MonitorEvent& event, bool json) {
    const std::string time = FormatUtcTime(event.time);
    const std::string pid = std::to_string(event.pid);
    const std::string cause = CauseName(event.cause);
    if (json) {
        return "{\"time\":\"" + time + "\",\"event\":\"" + EventName(event.kind) +
               "\",\"client\":\"" + JsonEscape(event.client) + "\",\"pid\":" + pid +
               (cause.empty() ? "" : ",\"cause\":\"" + cause + "\"") + "}";
    }
    return time + " " + EventName(event.kind) + " " + PlainEscape(event.client) + " pid=" + pid +
           (cause.empty() ? "" : " cause=" + cause);
}

std::vector<std::string> HookEnvironment(const MonitorEvent& event, const char* const* base) {
    static const char* const kOwn[] = {"HEARTBEAT_EVENT=", "HEARTBEAT_CLIENT=", "HEARTBEAT_PID=",
                                       "HEARTBEAT_CAUSE="};
    std::vector<std::string> env;
    for (const char* const* entry = base; entry != nullptr && *entry != nullptr; ++entry) {
        bool own = false;
        for (const char* prefix : kOwn) {
            own = own || std::strncmp(*entry, prefix, std::strlen(prefix)) == 0;
        }
        if (!own) {
            env.emplace_back(*entry);
        }
    }
    env.push_back(std::string("HEARTBEAT_EVENT=") + EventName(event.kind));
    env.push_back("HEARTBEAT_CLIENT=" + event.client);
    env.push_back("HEARTBEAT_PID=" + std::to_string(event.pid));
    if (event.cause != Cause::kNone) {
        env.push_back(std::string("HEARTBEAT_CAUSE=") + CauseName(event.cause));
    }
    return env;
}

}  // namespace hbtools
