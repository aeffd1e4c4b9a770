// heartbeat-send's side of the heartbeat pipe: the records it builds itself
// (so that they carry the watched command's pid), the opens with their
// back-off while the server is away, and the lines that say why it is away.
//
// Every call returns at once: the open waits only a few milliseconds for the
// server (the back-off does the waiting), so the tool's main loop never stalls
// behind the pipe. A send can still wait up to the pipe library's send bound
// when the server stops reading.
#ifndef TOOLS_SEND_LINK_H_
#define TOOLS_SEND_LINK_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace hbsend {

class HeartbeatLink {
public:
    HeartbeatLink(std::string name, std::string server, uint32_t timeoutTimes);
    ~HeartbeatLink();
    HeartbeatLink(const HeartbeatLink&) = delete;
    HeartbeatLink& operator=(const HeartbeatLink&) = delete;

    // One open attempt; 0 when the pipe is open (also when it already was),
    // else the negated errno of the open. Schedules the next attempt.
    int Connect(uint64_t nowMs);
    bool connected() const { return handle_ > 0; }
    // When the next Connect() is due, doubling from 100 ms up to one cycle.
    uint64_t nextAttemptMs() const { return nextAttemptMs_; }

    // Sends one record for `pid`; a failed send closes the pipe and opens a
    // new one at once for a second try (a restarted server). 0 or the
    // negated errno of the last step.
    int Send(pid_t pid, bool watchdogFailed, uint64_t nowMs);
    // Counts a cycle whose record was not sent, so the server sees the gap.
    void Skip() { ++order_; }

    // One line (without the tool's prefix) that says why an open with result
    // `rc` failed, naming the pipe's path and the system's error text.
    std::string Diagnose(int rc) const;
    // Failures that no waiting can cure (a name the pipe library refuses).
    static bool IsPermanent(int rc);

    const std::string& name() const { return name_; }
    const std::string& server() const { return server_; }

private:
    void Close();

    const std::string name_;
    const std::string server_;
    const std::string peer_;  // server_ + "_heartbeat"
    const uint32_t timeoutTimes_;
    int handle_ = 0;
    uint32_t order_ = 0;
    uint64_t backoffMs_ = 0;
    uint64_t nextAttemptMs_ = 0;
};

}  // namespace hbsend

#endif  // TOOLS_SEND_LINK_H_
