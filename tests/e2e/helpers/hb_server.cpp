// A checking process for the end-to-end tests: registers the clients named on
// its command line (its own pipe name comes from PROC_NAME) and prints what
// happens, one event line each (see helper_util.h):
//   ready <pid>                          registrations done
//   beat <client> <pid> <order> <sendTime> <watchDogFailed>
//                                        a 232-byte record named as the client
//                                        arrived on that client's pipe
//   report <client> <pid> <isLost>       the fault callback was called
//   log <text>                           a library log line about order,
//                                        lateness or a changed pid
//   usage fds=.. threads=.. rss_kb=.. cpu_ms=.. logs=..
//   done <command...> rc=<result>
// Options: --callback-delay-ms N (the fault callback sleeps that long first),
// --storm (a signal every millisecond to each thread), --mmap CLIENT (creates
// that client's shared-memory channel and lists it with the listener).
// Commands on stdin: usage, register NAME, unregister NAME, unregister-all,
// disable, quit; the end of input is quit.
//
// Arrivals are seen by wrapping the receive callback that the library hands
// to LumoOpen: this program defines LumoOpen and passes the call on to the
// IPC library's.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "heartbeat.h"
#include "heartbeat_mmap.h"
#include "helper_util.h"
#include "lumo.h"

namespace {

long callbackDelayMs = 0;

void OnFault(const char* name, size_t length, int32_t pid, uint32_t isLost) {
    if (callbackDelayMs > 0) {
        timespec pause{callbackDelayMs / 1000, (callbackDelayMs % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    helper::Emit("report", " %.*s %d %u", static_cast<int>(length), name, pid, isLost);
}

void TraceArrival(const std::string& peer, const LumoRequest* request) {
    if (request == nullptr || request->data == nullptr || request->size != sizeof(HeartBeatMessage)) {
        return;
    }
    HeartBeatMessage record;
    memcpy(&record, request->data, sizeof(record));
    if (strnlen(record.clientName, sizeof(record.clientName)) != peer.size() ||
        memcmp(record.clientName, peer.data(), peer.size()) != 0) {
        return;  // not this pipe's client: the intake drops it, nothing to trace
    }
    helper::Emit("beat", " %s %d %u %llu %u", peer.c_str(), record.pid, record.order,
                 static_cast<unsigned long long>(record.sendTime), record.watchDogFailed);
}

int Register(const std::string& name) {
    return RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault);
}

void EmitUsage() {
    helper::Emit("usage", " fds=%d threads=%d rss_kb=%ld cpu_ms=%lld logs=%llu",
                 helper::CountOpenDescriptors(), helper::CountThreads(), helper::ResidentKb(),
                 static_cast<long long>(helper::CpuMs()),
                 static_cast<unsigned long long>(helper::LogLineCount()));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int LumoOpen(LumoOpenParam* param) {
    using OpenFunction = int (*)(LumoOpenParam*);
    static const OpenFunction next = [] {
        void* symbol = dlsym(RTLD_NEXT, "LumoOpen");
        OpenFunction function = nullptr;
        memcpy(&function, &symbol, sizeof(function));
        return function;
    }();
    if (param == nullptr || param->peerName == nullptr || next == nullptr) {
        return next == nullptr ? -22 : next(param);
    }
    LumoOpenParam traced = *param;
    const std::string peer = param->peerName;
    const LumoCallback inner = param->callback;
    traced.callback = [peer, inner](int handle, LumoRequest* request) {
        TraceArrival(peer, request);
        if (inner) {
            inner(handle, request);
        }
    };
    return next(&traced);
}

int main(int argc, char** argv) {
    helper::ForwardLogLinesContaining({"unordered", "receive late", "pid has changed"});
    std::vector<std::string> clients;
    std::vector<std::string> mmapClients;
    bool storm = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--callback-delay-ms" && i + 1 < argc) {
            callbackDelayMs = atol(argv[++i]);
        } else if (arg == "--storm") {
            storm = true;
        } else if (arg == "--mmap" && i + 1 < argc) {
            mmapClients.push_back(argv[++i]);
        } else {
            clients.push_back(arg);
        }
    }
    std::set<std::string> registered;
    for (const std::string& client : clients) {
        const int rc = Register(client);
        if (rc != 0) {
            helper::Emit("error", " register %s rc=%d", client.c_str(), rc);
            return 1;
        }
        registered.insert(client);
    }
    const char* self = getenv("PROC_NAME");
    struct Page {
        std::string client;
        std::string path;
        void* address;
    };
    std::vector<Page> pages;
    for (const std::string& client : mmapClients) {
        const std::string path = "/dev/shm/" + client + "__to__" + (self ? self : "") + "_mmap_heartbeat";
        void* page = VeHeartBeat::InitHeartBeatMmapChannel(path, true, 0);
        if (page == nullptr || !VeHeartBeat::StartListeningHeartBeatMmapChannel(client, page)) {
            helper::Emit("error", " mmap %s", path.c_str());
            return 1;
        }
        pages.push_back({client, path, page});
    }
    if (storm) {
        helper::StartSignalStorm();
    }
    helper::Emit("ready", " %d", static_cast<int>(getpid()));

    std::string command;
    while (helper::ReadCommand(&command)) {
        const size_t space = command.find(' ');
        const std::string verb = command.substr(0, space);
        const std::string name = space == std::string::npos ? "" : command.substr(space + 1);
        int rc = 0;
        if (verb == "usage") {
            EmitUsage();
        } else if (verb == "register") {
            rc = Register(name);
            if (rc == 0) {
                registered.insert(name);
            }
        } else if (verb == "unregister") {
            rc = UnregisterCheckHeartBeat(name.c_str(), name.size());
            registered.erase(name);
        } else if (verb == "unregister-all") {
            for (const std::string& client : registered) {
                const int one = UnregisterCheckHeartBeat(client.c_str(), client.size());
                rc = rc != 0 ? rc : one;
            }
            registered.clear();
        } else if (verb == "disable") {
            rc = DisableAllCheckHeartBeat();
        } else if (verb == "quit") {
            break;
        }
        helper::Emit("done", " %s rc=%d", command.c_str(), rc);
    }
    helper::StopSignalStorm();
    for (const auto& page : pages) {
        VeHeartBeat::StopListenHeartBeatMmapChannel(page.client);
        VeHeartBeat::FiniHeartBeatMmapChannel(page.address, page.path);
    }
    DisableAllCheckHeartBeat();
    helper::Emit("signals", " %llu", static_cast<unsigned long long>(helper::SignalsHandled()));
    return 0;
}
