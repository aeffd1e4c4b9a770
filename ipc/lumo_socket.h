// Socket-level pieces of our pipe library: where a listening end lives in the
// file system, how its socket file is bound (replacing a stale one), and the
// bounded connect and send. Nothing here touches the library's handle table.
#ifndef IPC_LUMO_SOCKET_H_
#define IPC_LUMO_SOCKET_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo {

// Longest pipe name accepted (bytes before the NUL).
constexpr size_t kMaxNameLen = 199;
// Largest message carried; larger sends answer -EMSGSIZE.
constexpr uint32_t kMaxMessage = 64 * 1024;
// Longest time a send waits for room in the peer's queue before -ETIMEDOUT.
constexpr int kSendTimeoutMs = 1000;

// The socket file of the listening end opened with (listenerSelf,
// listenerPeer); a connecting end (self A, peer B) computes it with (B, A).
// The directory is $LUMO_PIPE_DIR, or "/dev/shm/kov/lumo/" when unset or
// empty. The file is "<self>@<peer>" when neither name holds '/' or '@' and
// the path fits in sun_path; otherwise "#" and 32 hex digits hashed from the
// pair (never mistaken for a plain name, which always holds '@').
// Returns 0, or -ENAMETOOLONG when even the hashed path does not fit.
int ListenerPath(const char* listenerSelf, const char* listenerPeer, std::string* path);

// Identity of the socket file a listening end bound, so that closing it
// removes the file only while it is still ours.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
};

// Binds a non-blocking listening socket at `path` and gives the file mode
// 0660 and group `gid` (when allowed), whatever the umask. Every directory on
// the way is walked without following symlinks (-ELOOP) and must be owned by
// root or this process's effective user and not writable by others without
// the sticky bit (-EPERM); missing ones are created with mode 0770 and group
// `gid`. A stale file (nobody accepts on it) is replaced; a file on which
// another process still listens gives -EADDRINUSE. Returns the descriptor or
// a negated errno.
int ListenAt(const std::string& path, uint32_t gid, FileId* id);

// Mode 0660 and group `gid` for the socket file again, after the directories
// are checked as ListenAt does and only while the file is still the socket
// `id` (never through a symlink put in its place). A group this process may
// not give (EPERM) is left as it is. Returns 0 or a negated errno.
int SetFileAccess(const std::string& path, uint32_t gid, FileId id);

// Removes the socket file if it is still the one described by `id`.
void UnlinkIfOurs(const std::string& path, const FileId& id);

// Connects a non-blocking socket to the listening end at `path`, retrying
// every 10 ms until `timeoutMs` has passed. Returns the descriptor; at the end
// of the wait -ETIMEDOUT when no listener appeared, -EPIPE when the file was
// there but refused (stale file, no listener); other errors at once.
int ConnectTo(const std::string& path, uint32_t timeoutMs);

// Sends one message, waiting at most kSendTimeoutMs for room. Returns 0,
// -EPIPE when the peer is gone, -ETIMEDOUT, or another negated errno.
int SendBounded(int fd, const void* data, uint32_t size);

}  // namespace lumo

#endif  // IPC_LUMO_SOCKET_H_
