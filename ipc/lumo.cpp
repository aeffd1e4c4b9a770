// Our IPC pipe library: message pipes between processes of this host over
// AF_UNIX SOCK_SEQPACKET sockets, so the kernel keeps message boundaries.
//
// A listening end (isServer != 0) owns a socket file (see lumo_socket.h) and
// every connection it accepts; messages on any of them reach its callback with
// the listening end's handle, so a peer that reconnects (a restarted client)
// keeps arriving on the same handle. A connecting end owns one connected
// socket. One receive thread per process, started by the first open, waits on
// every socket with epoll and runs all callbacks.
//
// Where callers leave room, this library:
//  - lets a connecting end retry every 10 ms for timeoutMs; then it answers
//    -ETIMEDOUT when no socket file appeared, -EPIPE when a file was there but
//    nobody listened on it (left by a dead process);
//  - hands an open of a listening end whose names this process already
//    listens on the socket and connections of the older handle, which is
//    forgotten (closing it answers -ENOENT). A file on which another live
//    process listens gives -EADDRINUSE; a stale one is replaced;
//  - sends from a listening end to its most recently accepted connection
//    still open (-EPIPE when there is none);
//  - answers -EINVAL for handles of 0 or less and -ENOENT for handles that are
//    not open; handles count up and are not reused before the counter wraps;
//  - rejects empty requests (-EINVAL) and requests over 64 KiB (-EMSGSIZE);
//  - tells a connecting end that its peer went away by a callback with a null
//    request; accepted connections whose peer went away are closed silently;
//  - drops messages of an end opened with enableCallback 0 or no callback, and
//    ignores bindCore, pipeMode, flags and reserved;
//  - keeps its pipes in the process that opened them: a forked child must
//    exec before it uses the library.
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumo.h"
#include "lumo_socket.h"

namespace lumo {
namespace {

// One descriptor, closed when its last user lets go: a send in progress keeps
// the socket alive even if another thread closes the pipe meanwhile, so the
// descriptor number cannot be reused under it.
struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() { close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    const int fd;
};
using SocketPtr = std::shared_ptr<Socket>;

SocketPtr Own(int fd) {
    try {
        return std::make_shared<Socket>(fd);
    } catch (...) {
        close(fd);
        throw;
    }
}

struct Pipe {
    int handle = 0;
    bool listening = false;
    bool deliver = false;     // enableCallback and a callback were given
    LumoCallback callback;    // set at open, never changed: called without the lock
    SocketPtr sock;           // listening socket, or the connected socket
    std::vector<SocketPtr> conns;  // listening end: accepted connections, newest last
    std::string path;         // listening end: its socket file
    FileId file;
    bool inCallback = false;  // the receive thread is running `callback`
};
using PipePtr = std::shared_ptr<Pipe>;

// Process-wide state, created at first use and never destroyed: the detached
// receive thread may still wait in epoll_wait when the process exits, so no
// static destructor may pull anything from under it.
struct State {
    // The library's only lock. Guards `pipes`, `lastHandle`, `thread*` and
    // every Pipe's sockets, connections and inCallback, and the epoll set.
    // Never held while a user callback runs or while a connect or a send waits;
    // held through a listening open (a few non-blocking calls) so that two
    // opens of the same address in this process cannot interleave.
    std::mutex mutex;
    std::unordered_map<int, PipePtr> pipes;
    int lastHandle = 0;
    int epfd = -1;
    bool threadStarted = false;
    pthread_t thread{};
    // Used by the receive thread alone: the message being delivered.
    char buffer[kMaxMessage];
};

State& GetState() {
    static State* state = new State();
    return *state;
}

uint64_t Key(int handle, int fd) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(handle)) << 32) | static_cast<uint32_t>(fd);
}

// Registers `fd` under `handle`, or moves its registration to `handle`.
int Watch(State& s, int handle, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = Key(handle, fd);
    if (epoll_ctl(s.epfd, EPOLL_CTL_ADD, fd, &ev) == 0 ||
        (errno == EEXIST && epoll_ctl(s.epfd, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        return 0;
    }
    return -errno;
}

// Taken out of the epoll set before its descriptor is closed: a forked child
// holding a copy would otherwise keep the registration alive.
void Unwatch(State& s, const SocketPtr& sock) {
    if (sock) {
        (void)epoll_ctl(s.epfd, EPOLL_CTL_DEL, sock->fd, nullptr);
    }
}

// Drops every socket of `pipe`. Caller holds s.mutex.
void Release(State& s, Pipe& pipe) {
    Unwatch(s, pipe.sock);
    for (const SocketPtr& conn : pipe.conns) {
        Unwatch(s, conn);
    }
    pipe.sock.reset();
    pipe.conns.clear();
}

bool OnReceiveThread(const State& s) {
    return s.threadStarted && pthread_equal(s.thread, pthread_self()) != 0;
}

// Gives `pipe` the next free handle and watches its sockets. Caller holds s.mutex.
int Insert(State& s, const PipePtr& pipe) {
    do {
        s.lastHandle = s.lastHandle == INT_MAX ? 1 : s.lastHandle + 1;
    } while (s.pipes.count(s.lastHandle) != 0);
    pipe->handle = s.lastHandle;
    int rc = pipe->sock ? Watch(s, pipe->handle, pipe->sock->fd) : 0;
    for (const SocketPtr& conn : pipe->conns) {
        rc = rc == 0 ? Watch(s, pipe->handle, conn->fd) : rc;
    }
    if (rc == 0) {
        s.pipes.emplace(pipe->handle, pipe);
        return pipe->handle;
    }
    Release(s, *pipe);
    return rc;
}

// Accepts every pending connection. Returns false when accepting fails for
// want of descriptors or memory, so the caller can back off instead of
// spinning on a listening socket that stays readable.
bool AcceptAll(State& s, Pipe& pipe) {
    for (;;) {
        int fd = accept4(pipe.sock->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return errno == EAGAIN;
        }
        pipe.conns.push_back(Own(fd));
        if (Watch(s, pipe.handle, fd) != 0) {
            pipe.conns.pop_back();
        }
    }
}

// One epoll event: the socket `fd` of the pipe `handle` is readable or hung up.
void HandleEvent(State& s, uint64_t key) {
    const int handle = static_cast<int>(key >> 32);
    const int fd = static_cast<int>(key & 0xffffffffU);
    // Keeps the callback alive if the pipe is closed inside it. Declared before
    // the lock so that it is released after it: once the pipe is closed this is
    // the last reference, and the callback's captures are the host's, whose
    // destructors may call the library again.
    PipePtr pipe;
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = s.pipes.find(handle);
    if (it == s.pipes.end()) {
        return;  // closed after the event was queued
    }
    pipe = it->second;
    auto conn = pipe->conns.end();
    if (pipe->sock && pipe->sock->fd == fd) {
        if (pipe->listening && !AcceptAll(s, *pipe)) {
            lock.unlock();
            timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        if (pipe->listening) {
            return;
        }
    } else {
        conn = pipe->conns.begin();
        while (conn != pipe->conns.end() && (*conn)->fd != fd) {
            ++conn;
        }
        if (conn == pipe->conns.end()) {
            return;  // a connection closed after the event was queued
        }
    }
    // MSG_TRUNC makes recv report the real length of an oversized message.
    ssize_t n = recv(fd, s.buffer, sizeof(s.buffer), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n > static_cast<ssize_t>(sizeof(s.buffer))) {
        return;  // not from one of our senders: dropped
    }
    LumoRequest request{};
    request.data = s.buffer;
    request.size = static_cast<uint32_t>(n > 0 ? n : 0);
    if (n <= 0) {  // the peer went away (empty messages are never sent)
        if (conn != pipe->conns.end()) {
            Unwatch(s, *conn);
            pipe->conns.erase(conn);
            return;
        }
        Unwatch(s, pipe->sock);  // sends keep failing with -EPIPE until closed
    }
    if (!pipe->deliver) {
        return;
    }
    pipe->inCallback = true;
    lock.unlock();
    try {
        pipe->callback(handle, n > 0 ? &request : nullptr);
    } catch (...) {
        // A throwing callback must not take the receive thread down with it.
    }
    lock.lock();
    pipe->inCallback = false;
}

void* ReceiveLoop(void* arg) {
    (void)prctl(PR_SET_NAME, "LumoRecv", 0, 0, 0);
    State& s = *static_cast<State*>(arg);
    epoll_event events[32];
    for (;;) {
        int n = epoll_wait(s.epfd, events, 32, -1);
        for (int i = 0; i < n; ++i) {
            try {
                HandleEvent(s, events[i].data.u64);
            } catch (...) {
                // Out of memory while accepting: that connection is lost, the thread goes on.
            }
        }
    }
    return nullptr;
}

// Creates the epoll set and the detached receive thread once. Caller holds s.mutex.
int StartReceiver(State& s) {
    if (s.threadStarted) {
        return 0;
    }
    if (s.epfd < 0) {
        s.epfd = epoll_create1(EPOLL_CLOEXEC);
        if (s.epfd < 0) {
            return -errno;
        }
    }
    // The thread starts with every signal blocked so that the host's handlers
    // run on the host's threads.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&s.thread, &attr, ReceiveLoop, &s);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    s.threadStarted = rc == 0;
    return rc == 0 ? 0 : -EAGAIN;
}

bool ValidName(const char* name) {
    return name != nullptr && name[0] != '\0' && strnlen(name, kMaxNameLen + 1) <= kMaxNameLen;
}

int Open(const LumoOpenParam* param) {
    if (param == nullptr || !ValidName(param->selfName) || !ValidName(param->peerName)) {
        return -EINVAL;
    }
    const bool listening = param->isServer != 0;
    auto pipe = std::make_shared<Pipe>();
    pipe->listening = listening;
    pipe->deliver = param->enableCallback != 0 && static_cast<bool>(param->callback);
    pipe->callback = param->callback;
    int rc = listening ? ListenerPath(param->selfName, param->peerName, &pipe->path)
                       : ListenerPath(param->peerName, param->selfName, &pipe->path);
    if (rc < 0) {
        return rc;
    }
    State& s = GetState();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        rc = StartReceiver(s);
    }
    if (rc < 0) {
        return rc;
    }
    if (!listening) {
        int fd = ConnectTo(pipe->path, param->timeoutMs);
        if (fd < 0) {
            return fd;
        }
        pipe->sock = Own(fd);
        std::lock_guard<std::mutex> lock(s.mutex);
        return Insert(s, pipe);
    }
    PipePtr old;  // released after the lock: its callback's captures are the host's
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.pipes.begin(); it != s.pipes.end(); ++it) {
        if (it->second->listening && it->second->path == pipe->path) {
            // Take the address over: the socket file stays bound, so peers
            // never see it missing, and live connections move along.
            old = std::move(it->second);
            s.pipes.erase(it);
            pipe->sock = std::move(old->sock);
            pipe->conns = std::move(old->conns);
            pipe->file = old->file;
            (void)SetFileAccess(pipe->path, param->gid, pipe->file);
            return Insert(s, pipe);
        }
    }
    int fd = ListenAt(pipe->path, param->gid, &pipe->file);
    if (fd < 0) {
        return fd;
    }
    pipe->sock = Own(fd);
    rc = Insert(s, pipe);
    if (rc < 0) {
        UnlinkIfOurs(pipe->path, pipe->file);
    }
    return rc;
}

int Send(int handle, const LumoRequest* request) {
    if (handle <= 0 || request == nullptr || request->data == nullptr || request->size == 0) {
        return -EINVAL;
    }
    if (request->size > kMaxMessage) {
        return -EMSGSIZE;
    }
    State& s = GetState();
    SocketPtr sock;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.pipes.find(handle);
        if (it == s.pipes.end()) {
            return -ENOENT;
        }
        const Pipe& pipe = *it->second;
        if (!pipe.listening) {
            sock = pipe.sock;
        } else if (!pipe.conns.empty()) {
            sock = pipe.conns.back();
        }
    }
    return sock ? SendBounded(sock->fd, request->data, request->size) : -EPIPE;
}

int Close(int handle) {
    if (handle <= 0) {
        return -EINVAL;
    }
    State& s = GetState();
    PipePtr victim;  // released after the lock: its callback's captures are the host's
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.pipes.find(handle);
    if (it == s.pipes.end()) {
        return -ENOENT;
    }
    Pipe& pipe = *it->second;
    // From inside a callback (on the receive thread) the close goes ahead; the
    // receive thread holds its own reference until the callback returns.
    if (pipe.inCallback && !OnReceiveThread(s)) {
        return -EBUSY;
    }
    if (pipe.listening && pipe.sock) {
        UnlinkIfOurs(pipe.path, pipe.file);
    }
    Release(s, pipe);
    victim = std::move(it->second);
    s.pipes.erase(it);
    return 0;
}

// The interface is C: no exception may leave it. The mutex and the
// allocations are the only sources.
template <typename F>
int Guarded(F body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (...) {
        return -EAGAIN;
    }
}

}  // namespace
}  // namespace lumo

extern "C" {

LUMO_API int LumoOpen(LumoOpenParam* param) {
    return lumo::Guarded([param] { return lumo::Open(param); });
}

LUMO_API int LumoSendRequest(int handle, LumoRequest* request) {
    return lumo::Guarded([handle, request] { return lumo::Send(handle, request); });
}

LUMO_API int LumoClosePipe(int handle) {
    return lumo::Guarded([handle] { return lumo::Close(handle); });
}

}  // extern "C"
