#include "tools/send_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "client/pipe_open.h"
#include "tools/cli_args.h"
#include "heartbeat.h"
#include "heartbeat_message.h"
#include "lumo.h"
#include "tools/send_options.h"
#ifdef HB_SEND_OWN_LUMO
#include "ipc/lumo_socket.h"
#endif

namespace hbsend {
namespace {

// How long one open waits for the server: long enough for a listener that is
// there to accept, short enough never to hold up the main loop.
constexpr uint32_t kOpenWaitMs = 10;
constexpr uint64_t kFirstBackoffMs = 100;

using hbtools::Quote;

std::string ErrorText(int negatedErrno) { return std::strerror(-negatedErrno); }

#ifdef HB_SEND_OWN_LUMO
// True when some process listens on a pipe file whose path starts with
// `prefix`, as the kernel's table of local sockets shows (reading it touches
// nobody's socket). Anyone can bind a path holding blanks or line breaks, so
// a line is trusted for nothing but its own fields.
bool SomeoneListensUnder(const std::string& prefix) {
    constexpr unsigned long kListening = 0x10000;  // __SO_ACCEPTCON
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        // "Num: RefCount Protocol Flags Type St Inode Path"
        std::istringstream fields(line);
        std::string skip;
        std::string flags;
        fields >> skip >> skip >> skip >> flags >> skip >> skip >> skip;
        std::string path;
        std::getline(fields >> std::ws, path);
        char* end = nullptr;
        const unsigned long bits = std::strtoul(flags.c_str(), &end, 16);
        if (!fields.fail() && !flags.empty() && *end == '\0' && (bits & kListening) != 0 &&
            path.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    return false;
}
#endif

}  // namespace

HeartbeatLink::HeartbeatLink(std::string name, std::string server, uint32_t timeoutTimes)
    : name_(std::move(name)),
      server_(std::move(server)),
      peer_(server_ + "_heartbeat"),
      timeoutTimes_(timeoutTimes) {}

HeartbeatLink::~HeartbeatLink() { Close(); }

int HeartbeatLink::Connect(uint64_t nowMs) {
    if (handle_ > 0) {
        return 0;
    }
    // A closed pipe needs no action from here: a failed send notices it.
    const LumoCallback ignore = [](int, LumoRequest*) {};
    int rc = client_internal::OpenClientPipe(name_.c_str(), peer_.c_str(), kOpenWaitMs, ignore, nullptr);
    if (rc > 0) {
        handle_ = rc;
        backoffMs_ = 0;
        return 0;
    }
    backoffMs_ = backoffMs_ == 0 ? kFirstBackoffMs : std::min(backoffMs_ * 2, kCycleMs);
    nextAttemptMs_ = nowMs + backoffMs_;
    return rc < 0 ? rc : -EIO;  // 0 is no handle either
}

int HeartbeatLink::Send(pid_t pid, bool watchdogFailed, uint64_t nowMs) {
    HeartBeatMessage record;
    std::memset(&record, 0, sizeof(record));
    record.order = order_++;
    std::memcpy(record.clientName, name_.data(), std::min(name_.size(), sizeof(record.clientName) - 1));
    record.pid = pid;
    record.timeoutTimes = timeoutTimes_;
    record.watchDogFailed = watchdogFailed ? 1 : 0;
    int rc = Connect(nowMs);
    for (int attempt = 0; attempt < 2 && rc == 0; ++attempt) {
        record.sendTime = VeKov::GetCurrentTime();
        LumoRequest request{};
        request.data = &record;
        request.size = static_cast<uint32_t>(sizeof(record));
        rc = LumoSendRequest(handle_, &request);
        if (rc >= 0) {
            return 0;
        }
        Close();
        if (attempt == 0) {
            rc = Connect(nowMs);
        }
    }
    return rc;
}

void HeartbeatLink::Close() {
    if (handle_ > 0) {
        (void)CloseSendHeartBeatPipe(handle_, "heartbeat-send");
        handle_ = 0;
    }
}

bool HeartbeatLink::IsPermanent(int rc) { return rc == -EINVAL || rc == -ENAMETOOLONG; }

std::string HeartbeatLink::Diagnose(int rc) const {
    if (rc == -EINVAL) {
        return "the pipe library refuses the names " + Quote(name_) + " and " + Quote(peer_);
    }
#ifdef HB_SEND_OWN_LUMO
    std::string path;
    if (lumo::ListenerPath(peer_.c_str(), name_.c_str(), &path) != 0) {
        return "the pipe's path in the pipe directory ($LUMO_PIPE_DIR) is too long";
    }
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        const int error = errno;
        return "cannot reach the pipe directory " + dir + ": " + ErrorText(-error);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "cannot reach the pipe directory " + dir + ": " + ErrorText(-ENOTDIR);
    }
    // Connecting needs search permission on the directory (the server needs
    // write permission to create its file there, which is its own concern).
    if (access(dir.c_str(), X_OK) != 0) {
        const int error = errno;
        return "cannot reach the pipe directory " + dir + ": " + ErrorText(-error);
    }
    switch (rc) {
    case -EACCES:
    case -EPERM:
        return "no permission to connect to " + path + ": " + ErrorText(rc);
    case -EPIPE:
        return "no server listening at " + path + " (a pipe file without a listener)";
    case -ETIMEDOUT:
    case -ENOENT:
        // The file name holds both names only when neither has a '/' or '@'.
        if (path.find('@', dir.size()) != std::string::npos && SomeoneListensUnder(dir + peer_ + "@")) {
            return "server " + server_ + " runs but does not watch " + name_ + " (no " + path + ")";
        }
        return "no server listening at " + path;
    case -ENAMETOOLONG:
        return "the pipe's path in " + dir + " is too long";
    default:
        return "cannot open " + path + ": " + ErrorText(rc);
    }
#else
    return "cannot open the pipe to " + peer_ + ": " + ErrorText(rc) + " (error " + std::to_string(rc) + ")";
#endif
}

}  // namespace hbsend
