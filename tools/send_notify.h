// The service notification protocol between heartbeat-send and its command.
//
// The tool creates a datagram socket in a private directory and hands its
// path to the command in NOTIFY_SOCKET. Each datagram holds lines of
// VARIABLE=VALUE; the kernel attaches the sender's credentials to each
// (SO_PASSCRED), and only a sender in the command's process tree is believed.
// A sender that passes descriptors (BARRIER=1 carries the write end of a
// pipe) learns that its earlier datagrams were read when they are closed:
// that is how systemd-notify and `heartbeat-send notify` wait until the tool
// has seen their message while they still exist to be checked.
#ifndef TOOLS_SEND_NOTIFY_H_
#define TOOLS_SEND_NOTIFY_H_

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <string>

namespace hbsend {

// What the believed datagrams of one drain asked for.
struct NotifyEvents {
    bool ready = false;     // READY=1
    bool ping = false;      // WATCHDOG=1
    bool trigger = false;   // WATCHDOG=trigger
    bool stopping = false;  // STOPPING=1
    size_t foreign = 0;     // datagrams dropped: sender outside the tree, no credentials, too long
    pid_t foreignPid = 0;   // the sender of the first one dropped (0: none or unknown)
};

// Adds what one datagram's lines ask for to `events`. Unknown lines are
// ignored, as the protocol wants.
void ParseNotifyDatagram(const char* data, size_t size, NotifyEvents* events);

// The state letter and parent of a process, from /proc/<pid>/stat.
struct ProcStat {
    char state = '?';
    pid_t ppid = 0;
};
// Parses the text of a stat file; false when it is not one. The command name
// may hold any byte, ')' and blanks included, so the fields are found after
// its last ')'.
bool ParseProcStat(const std::string& text, ProcStat* stat);
bool ReadProcStat(pid_t pid, ProcStat* stat);

// True when `pid` is `root` or one of its descendants (followed through at
// most 64 parents).
bool InProcessTree(pid_t pid, pid_t root);

// The receiving end, owned by the tool.
class NotifySocket {
public:
    NotifySocket() = default;
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Creates a 0700 directory under $TMPDIR (else /tmp) and binds the socket
    // in it. 0 or a negated errno.
    int Open();
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

    // Reads the datagrams waiting (a bounded number per call) and closes
    // every descriptor they carried.
    NotifyEvents Drain(pid_t root);

private:
    int fd_ = -1;
    std::string dir_;
    std::string path_;
};

// Sends `text` as one datagram from `socketFd` to `addr`, with `descriptor`
// attached (SCM_RIGHTS). 0, or a negated errno.
int SendWithDescriptor(int socketFd, const sockaddr_un& addr, socklen_t length, const std::string& text,
                       int descriptor);

// `heartbeat-send notify`: sends `message` to the socket named by `address`
// (a path, or "@name" in the abstract namespace), then waits up to
// `timeoutMs` until the receiver has read it. 0 or a negated errno.
int SendNotify(const std::string& address, const std::string& message, int timeoutMs);

}  // namespace hbsend

#endif  // TOOLS_SEND_NOTIFY_H_
