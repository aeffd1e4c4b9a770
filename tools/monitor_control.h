// heartbeat-monitor's links to other processes besides the library: the
// control socket that `heartbeat-monitor status` asks, the service manager's
// notification socket and the metrics file.
#ifndef TOOLS_MONITOR_CONTROL_H_
#define TOOLS_MONITOR_CONTROL_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace hbtools {

// The control socket of the monitor named `name`: "<name>.monitor" in the
// pipe directory ($LUMO_PIPE_DIR, default "/dev/shm/kov/lumo/"). Empty when
// the name holds a '/' or the path does not fit a socket address.
std::string ControlPath(const std::string& name);

// Who may ask: root, the monitor's own user, or a member (by its primary
// group) of the socket file's group.
bool PeerAllowed(uid_t peerUid, gid_t peerGid, uid_t ownUid, gid_t socketGid);

// Answers one request per connection on its own thread: reads one line of at
// most 64 bytes within a second, writes the answer within a second, closes.
// A peer that is not allowed, or is slow, or sends junk is dropped and costs
// the monitor nothing but that second.
class ControlServer {
public:
    // Gets the request line without its newline; runs on the server's thread.
    using Answer = std::function<std::string(const std::string& request)>;

    ControlServer() = default;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer() { Stop(); }

    // Binds `path` (mode 0660, the directory made if missing) and starts the
    // thread. A stale file (nobody listens) is replaced; -EADDRINUSE when a
    // monitor listens there, -EEXIST when the path is not a socket, else a
    // negated errno.
    int Start(const std::string& path, Answer answer);
    // Ends the thread and removes the socket file if it is still ours.
    void Stop();

private:
    void Serve();
    void Handle(int fd);

    std::string path_;
    Answer answer_;
    int listenFd_ = -1;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    gid_t socketGid_ = 0;
    std::thread thread_;
};

// Sends `request` to the control socket at `path` and reads the whole answer,
// waiting at most timeoutMs for each step. 0, or a negated errno: -ENOENT or
// -ECONNREFUSED when no monitor listens there.
int QueryControl(const std::string& path, const std::string& request, std::string* answer, int timeoutMs);

// The service manager's notification socket: InitNotify takes $NOTIFY_SOCKET
// (a path, or "@name" for the abstract namespace) and removes it from the
// environment, so that hook commands do not speak for the monitor. Notify
// sends one datagram ("READY=1", "WATCHDOG=1", "STOPPING=1"); without a
// socket it does nothing and returns 0; else 0 or a negated errno.
void InitNotify();
int Notify(const char* state);

// Replaces the file at `path` with `content` so that a reader sees the old or
// the new file whole: written to "<path>.tmp" (removed first, then created
// with O_EXCL, so no link planted there is followed), then renamed over
// `path`. 0 or a negated errno; nothing but those two names is touched.
int WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace hbtools

#endif  // TOOLS_MONITOR_CONTROL_H_
