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
//  - accepts a connection on a listening end only from a peer whose uid is 0
//    or this process's effective uid, or whose primary or supplementary
//    groups hold the end's group (the gid given at open; 0 or -1: this
//    process's gid); others are closed at once, with a rate-limited syslog
//    line. Each end keeps at most kMaxConnections; a new one evicts the oldest
//    that never carried a message marked accepted (lumo_peer.h), else the
//    oldest;
//  - keeps its pipes in the process that opened them: in a forked child every
//    inherited pipe is forgotten (its handle answers -ENOENT, its descriptors
//    are closed, its socket file is left alone) and the next open starts
//    afresh;
//  - removes the socket files of listening ends still open when the process
//    exits normally. The library is linked with -z nodelete: dlclose never
//    unmaps the code its receive thread runs.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/mutex.h"
#include "common/no_destructor.h"
#include "lumo.h"
#include "lumo_peer.h"
#include "lumo_socket.h"

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace lumo {
namespace {

// Live connections a listening end keeps. A client reconnecting after a
// restart needs one; the rest is room for a peer or two being replaced.
constexpr size_t kMaxConnections = 4;
// Most supplementary groups the kernel reports for one peer (NGROUPS_MAX).
constexpr size_t kMaxGroups = 65536;

// One descriptor, closed when its last user lets go: a send in progress keeps
// the socket alive even if another thread closes the pipe meanwhile, so the
// descriptor number cannot be reused under it.
struct Socket {
    Socket(int descriptor, uint64_t id) : fd(descriptor), token(id) {}
    ~Socket() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd;  // set once; -1 after a forked child closed its copy
    const uint64_t token;     // LumoRequest::reserved of what it delivers
    LumoPeerCred cred{-1, UINT32_MAX, UINT32_MAX};  // the peer, as it connected
    std::atomic<bool> accepted{false};  // carried a message the receiver accepted
};
using SocketPtr = std::shared_ptr<Socket>;

std::atomic<uint64_t> lastToken{0};

SocketPtr Own(int fd) {
    try {
        return std::make_shared<Socket>(fd, lastToken.fetch_add(1, std::memory_order_relaxed) + 1);
    } catch (...) {
        close(fd);
        throw;
    }
}

// The kernel's record of the process that connected `sock`.
void ReadPeer(Socket& sock) {
    ucred peer{};
    socklen_t len = sizeof(peer);
    if (getsockopt(sock.fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0) {
        sock.cred = LumoPeerCred{peer.pid, peer.uid, peer.gid};
    }
}

struct Pipe {
    // Set before the pipe is published in the table and never changed after.
    int handle = 0;
    bool listening = false;
    bool deliver = false;     // enableCallback and a callback were given
    LumoCallback callback;    // called without any lock
    SocketPtr sock;           // listening socket, or the connected socket
    std::string path;         // listening end: its socket file
    FileId file;
    gid_t group = 0;          // listening end: the group its peers may have

    // Guards what the receive thread changes while senders and closers look.
    // Never held across a blocking call or a callback. Taken after the table's
    // lock when both are held.
    hb::Mutex mutex;
    std::vector<SocketPtr> conns GUARDED_BY(mutex);  // listening end: newest last
    bool inCallback GUARDED_BY(mutex) = false;  // the receive thread runs `callback`
    bool closed GUARDED_BY(mutex) = false;      // out of the table: no new callbacks
};
using PipePtr = std::shared_ptr<Pipe>;

// Process-wide state, created at first use and never destroyed: the detached
// receive thread may still wait in epoll_wait when the process exits, so no
// static destructor may pull anything from under it.
struct State {
    State();

    // Serialises opens of listening ends, so that two opens of the same
    // address in this process cannot interleave. Held across a few
    // non-blocking calls that create and bind the socket file.
    hb::Mutex openMutex;
    // The handle table. Senders and the receive thread only read it, so they
    // never wait for each other; open and close write it briefly.
    hb::SharedMutex tableMutex ACQUIRED_AFTER(openMutex);
    std::unordered_map<int, PipePtr> pipes GUARDED_BY(tableMutex);
    int lastHandle GUARDED_BY(tableMutex) = 0;
    bool threadStarted GUARDED_BY(tableMutex) = false;
    pthread_t thread GUARDED_BY(tableMutex){};
    // Pipes a forked child inherited: kept, never used, never destroyed (their
    // callbacks' captures belong to the parent's logic).
    std::vector<PipePtr> inherited GUARDED_BY(tableMutex);
    // Written under tableMutex before the receive thread starts (and in a
    // forked child); read anywhere.
    std::atomic<int> epfd{-1};

    // Used by the receive thread alone: the message being delivered, and a
    // descriptor held in reserve so that a full descriptor table can still
    // take pending connections off a listening socket.
    char buffer[kMaxMessage];
    int reserve = -1;
};

State& GetState() {
    static hb::NoDestructor<State> state;
    return *state;
}
std::atomic<bool> used{false};  // GetState() has been called

// The delivery in progress on the receive thread, for lumo_peer.h.
thread_local const Socket* tDelivering = nullptr;

uint64_t Key(int handle, int fd) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(handle)) << 32) | static_cast<uint32_t>(fd);
}

// Registers `fd` under `handle`, or moves its registration to `handle`.
int Watch(State& s, int handle, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = Key(handle, fd);
    const int epfd = s.epfd.load();
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0 ||
        (errno == EEXIST && epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        return 0;
    }
    return -errno;
}

// Taken out of the epoll set while its descriptor is still open (the caller
// holds a reference).
void Unwatch(State& s, const SocketPtr& sock) {
    if (sock) {
        (void)epoll_ctl(s.epfd.load(), EPOLL_CTL_DEL, sock->fd, nullptr);
    }
}

bool OnReceiveThread(const State& s) REQUIRES(s.tableMutex) {
    return s.threadStarted && pthread_equal(s.thread, pthread_self()) != 0;
}

// Gives `pipe` the next free handle and watches its sockets.
int Insert(State& s, const PipePtr& pipe) REQUIRES(s.tableMutex) {
    do {
        s.lastHandle = s.lastHandle == INT_MAX ? 1 : s.lastHandle + 1;
    } while (s.pipes.count(s.lastHandle) != 0);
    pipe->handle = s.lastHandle;
    hb::MutexLock lock(&pipe->mutex);
    int rc = Watch(s, pipe->handle, pipe->sock->fd);
    for (const SocketPtr& conn : pipe->conns) {
        rc = rc == 0 ? Watch(s, pipe->handle, conn->fd) : rc;
    }
    if (rc == 0) {
        s.pipes.emplace(pipe->handle, pipe);
        return pipe->handle;
    }
    Unwatch(s, pipe->sock);
    for (const SocketPtr& conn : pipe->conns) {
        Unwatch(s, conn);
    }
    pipe->conns.clear();
    return rc;
}

// Whether the peer of `sock` may talk to a listening end of group `group`.
bool Admissible(const Socket& sock, gid_t group) {
    const LumoPeerCred& peer = sock.cred;
    if (peer.uid == 0 || peer.uid == geteuid() || peer.gid == group) {
        return true;
    }
    if (peer.pid < 0) {
        return false;  // no credentials: not a peer we can vouch for
    }
    std::vector<gid_t> groups(32);
    for (;;) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(sock.fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return std::find(groups.begin(), groups.end(), group) != groups.end();
        }
        if (errno != ERANGE || len / sizeof(gid_t) <= groups.size() || len / sizeof(gid_t) > kMaxGroups) {
            return false;
        }
        groups.resize(len / sizeof(gid_t));
    }
}

// One syslog line per refused peer: a burst of 10, then about one a second,
// the next written line saying how many were left out. Receive thread only.
void LogRefused(const Pipe& pipe, const LumoPeerCred& peer) {
    static int64_t lastRefillMs = 0;
    static int tokens = 10;
    static unsigned suppressed = 0;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t nowMs = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    if (nowMs - lastRefillMs >= 1000) {
        tokens = std::min(10, tokens + static_cast<int>(std::min<int64_t>((nowMs - lastRefillMs) / 1000, 10)));
        lastRefillMs = nowMs;
    }
    if (tokens == 0) {
        ++suppressed;
        return;
    }
    --tokens;
    syslog(LOG_WARNING, "lumo: refused a connection to %s from pid %d uid %u gid %u (%u more not logged)",
           pipe.path.c_str(), peer.pid, peer.uid, peer.gid, suppressed);
    suppressed = 0;
}

// Drops one connection of `pipe` to make room: the oldest that never carried
// an accepted message, else (when `any`) the oldest. False when none was.
bool Evict(State& s, Pipe& pipe, bool any) REQUIRES(pipe.mutex) {
    auto victim = std::find_if(pipe.conns.begin(), pipe.conns.end(),
                               [](const SocketPtr& conn) { return !conn->accepted.load(); });
    if (victim == pipe.conns.end()) {
        if (!any || pipe.conns.empty()) {
            return false;
        }
        victim = pipe.conns.begin();
    }
    Unwatch(s, *victim);
    pipe.conns.erase(victim);  // closed here unless a send still holds it
    return true;
}

// The descriptor table is full: takes one pending connection off the
// listening socket with the reserve descriptor and closes it, so that a
// backlog of connections cannot keep the listening socket readable forever.
bool DropPending(State& s, int listenFd) {
    if (s.reserve < 0) {
        s.reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
        return false;
    }
    close(s.reserve);
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    }
    s.reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

// Takes a freshly accepted connection in, or closes it.
void Admit(State& s, Pipe& pipe, int fd) {
    SocketPtr conn = Own(fd);
    ReadPeer(*conn);
    if (!Admissible(*conn, pipe.group)) {
        LogRefused(pipe, conn->cred);
        return;
    }
    hb::MutexLock lock(&pipe.mutex);
    if (pipe.closed) {
        return;
    }
    if (pipe.conns.size() >= kMaxConnections) {
        (void)Evict(s, pipe, true);
    }
    pipe.conns.push_back(conn);
    if (Watch(s, pipe.handle, fd) != 0) {
        pipe.conns.pop_back();
    }
}

// Accepts every pending connection. A full descriptor table first costs this
// end a connection that never carried an accepted message, then a pending
// connection (closed at once); only when neither helps does the receive
// thread pause briefly instead of spinning on a socket that stays readable.
void AcceptAll(State& s, Pipe& pipe) {
    for (;;) {
        const int fd = accept4(pipe.sock->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Admit(s, pipe, fd);
            continue;
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) {
            continue;
        }
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            bool evicted = false;
            {
                hb::MutexLock lock(&pipe.mutex);
                evicted = Evict(s, pipe, false);
            }
            if (evicted || DropPending(s, pipe.sock->fd)) {
                continue;
            }
            timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return;
    }
}

// One epoll event: the socket `fd` of the pipe `handle` is readable or hung up.
// No lock is held while it receives or runs the callback.
void HandleEvent(State& s, uint64_t key) {
    const int handle = static_cast<int>(key >> 32);
    const int fd = static_cast<int>(key & 0xffffffffU);
    // Keeps the callback alive if the pipe is closed inside it; once closed
    // this is the last reference, and the callback's captures are the host's,
    // whose destructors may call the library again: released with no lock held.
    PipePtr pipe;
    {
        hb::ReaderMutexLock lock(&s.tableMutex);
        auto it = s.pipes.find(handle);
        if (it == s.pipes.end()) {
            return;  // closed after the event was queued
        }
        pipe = it->second;
    }
    SocketPtr conn;
    if (pipe->sock->fd == fd) {
        if (pipe->listening) {
            AcceptAll(s, *pipe);
            return;
        }
        conn = pipe->sock;
    } else {
        hb::MutexLock lock(&pipe->mutex);
        for (const SocketPtr& candidate : pipe->conns) {
            if (candidate->fd == fd) {
                conn = candidate;
            }
        }
        if (!conn) {
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
    if (n <= 0) {  // the peer went away (empty messages are never sent)
        Unwatch(s, conn);  // a connecting end's sends keep failing with -EPIPE until closed
        if (conn != pipe->sock) {
            hb::MutexLock lock(&pipe->mutex);
            pipe->conns.erase(std::remove(pipe->conns.begin(), pipe->conns.end(), conn), pipe->conns.end());
            return;
        }
    }
    if (!pipe->deliver) {
        return;
    }
    {
        hb::MutexLock lock(&pipe->mutex);
        if (pipe->closed) {
            return;  // closed while the message was read: nobody wants it now
        }
        pipe->inCallback = true;
    }
    LumoRequest request{};
    request.reserved = conn->token;
    request.data = s.buffer;
    request.size = static_cast<uint32_t>(n > 0 ? n : 0);
    tDelivering = conn.get();
    try {
        pipe->callback(handle, n > 0 ? &request : nullptr);
    } catch (...) {
        // A throwing callback must not take the receive thread down with it.
    }
    tDelivering = nullptr;
    hb::MutexLock lock(&pipe->mutex);
    pipe->inCallback = false;
}

void* ReceiveLoop(void* arg) {
    (void)prctl(PR_SET_NAME, "LumoRecv", 0, 0, 0);
    State& s = *static_cast<State*>(arg);
    const int epfd = s.epfd.load();
    epoll_event events[32];
    for (;;) {
        int n = epoll_wait(epfd, events, 32, -1);
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

// Creates the epoll set and the detached receive thread once per process (and
// once more in a forked child that opens a pipe).
int StartReceiver(State& s) REQUIRES(s.tableMutex) {
    if (s.threadStarted) {
        return 0;
    }
    if (s.epfd.load() < 0) {
        s.epfd.store(epoll_create1(EPOLL_CLOEXEC));
        if (s.epfd.load() < 0) {
            return -errno;
        }
    }
    if (s.reserve < 0) {
        s.reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
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

// fork() while other threads may hold the library's locks or be half-way
// through changing a pipe: every lock is taken first, so the child starts
// from a consistent table, and released on both sides afterwards.
void BeforeFork() NO_THREAD_SAFETY_ANALYSIS {
    State& s = GetState();
    s.openMutex.Lock();
    s.tableMutex.Lock();
    for (auto& entry : s.pipes) {
        entry.second->mutex.Lock();
    }
}

void AfterForkInParent() NO_THREAD_SAFETY_ANALYSIS {
    State& s = GetState();
    for (auto& entry : s.pipes) {
        entry.second->mutex.Unlock();
    }
    s.tableMutex.Unlock();
    s.openMutex.Unlock();
}

// The child shares the parent's epoll set and sockets: it must neither change
// the set (epoll_ctl would) nor send, accept or unlink on the parent's behalf.
// Its copies of the descriptors are closed, the pipes forgotten; it has no
// receive thread until it opens a pipe of its own.
void AfterForkInChild() NO_THREAD_SAFETY_ANALYSIS {
    State& s = GetState();
    auto forget = [](const SocketPtr& sock) {
        if (sock && sock->fd >= 0) {
            close(sock->fd);
            sock->fd = -1;
        }
    };
    for (auto& entry : s.pipes) {
        Pipe& pipe = *entry.second;
        forget(pipe.sock);
        for (const SocketPtr& conn : pipe.conns) {
            forget(conn);
        }
        pipe.mutex.Unlock();
        s.inherited.push_back(std::move(entry.second));
    }
    s.pipes.clear();
    if (s.epfd.load() >= 0) {
        close(s.epfd.load());
        s.epfd.store(-1);
    }
    if (s.reserve >= 0) {
        close(s.reserve);
        s.reserve = -1;
    }
    s.threadStarted = false;
    s.tableMutex.Unlock();
    s.openMutex.Unlock();
}

State::State() {
    (void)pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

// At normal exit, the socket files of listening ends still open go with the
// process. Runs after main returns, while the receive thread may still run.
__attribute__((destructor)) void RemoveSocketFiles() {
    if (!used.load()) {
        return;
    }
    State& s = GetState();
    hb::ReaderMutexLock lock(&s.tableMutex);
    for (const auto& entry : s.pipes) {
        if (entry.second->listening) {
            UnlinkIfOurs(entry.second->path, entry.second->file);
        }
    }
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
    pipe->group = (param->gid == 0 || param->gid == UINT32_MAX) ? getgid() : static_cast<gid_t>(param->gid);
    int rc = listening ? ListenerPath(param->selfName, param->peerName, &pipe->path)
                       : ListenerPath(param->peerName, param->selfName, &pipe->path);
    if (rc < 0) {
        return rc;
    }
    State& s = GetState();
    used.store(true);
    {
        hb::WriterMutexLock lock(&s.tableMutex);
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
        ReadPeer(*pipe->sock);
        hb::WriterMutexLock lock(&s.tableMutex);
        return Insert(s, pipe);
    }
    hb::MutexLock open(&s.openMutex);
    PipePtr old;  // released after the lock: its callback's captures are the host's
    {
        hb::WriterMutexLock lock(&s.tableMutex);
        for (auto it = s.pipes.begin(); it != s.pipes.end(); ++it) {
            if (it->second->listening && it->second->path == pipe->path) {
                // Take the address over: the socket file stays bound, so peers
                // never see it missing, and live connections move along.
                old = std::move(it->second);
                s.pipes.erase(it);
                std::vector<SocketPtr> conns;
                {
                    hb::MutexLock oldLock(&old->mutex);
                    old->closed = true;
                    conns.swap(old->conns);
                }
                pipe->sock = old->sock;
                pipe->file = old->file;
                {
                    hb::MutexLock newLock(&pipe->mutex);
                    pipe->conns = std::move(conns);
                }
                (void)SetFileAccess(pipe->path, param->gid, pipe->file);
                return Insert(s, pipe);
            }
        }
    }
    int fd = ListenAt(pipe->path, param->gid, &pipe->file);
    if (fd < 0) {
        return fd;
    }
    pipe->sock = Own(fd);
    hb::WriterMutexLock lock(&s.tableMutex);
    rc = Insert(s, pipe);
    if (rc < 0) {
        UnlinkIfOurs(pipe->path, pipe->file);
    }
    return rc;
}

// The hot path: a shared lock on the table and a reference on the socket,
// never a lock the receive thread holds while it receives or calls back.
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
        hb::ReaderMutexLock lock(&s.tableMutex);
        auto it = s.pipes.find(handle);
        if (it == s.pipes.end()) {
            return -ENOENT;
        }
        Pipe& pipe = *it->second;
        if (!pipe.listening) {
            sock = pipe.sock;
        } else {
            hb::MutexLock pipeLock(&pipe.mutex);
            if (!pipe.conns.empty()) {
                sock = pipe.conns.back();
            }
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
    std::vector<SocketPtr> conns;
    {
        hb::WriterMutexLock lock(&s.tableMutex);
        auto it = s.pipes.find(handle);
        if (it == s.pipes.end()) {
            return -ENOENT;
        }
        Pipe& pipe = *it->second;
        {
            hb::MutexLock pipeLock(&pipe.mutex);
            // From inside a callback (on the receive thread) the close goes
            // ahead; the receive thread holds its own reference until the
            // callback returns.
            if (pipe.inCallback && !OnReceiveThread(s)) {
                return -EBUSY;
            }
            pipe.closed = true;
            conns.swap(pipe.conns);
        }
        if (pipe.listening) {
            UnlinkIfOurs(pipe.path, pipe.file);
        }
        victim = std::move(it->second);
        s.pipes.erase(it);
    }
    Unwatch(s, victim->sock);
    for (const SocketPtr& conn : conns) {
        Unwatch(s, conn);
    }
    return 0;
}

// The interface is C: no exception may leave it. Allocations are the only
// source.
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

LUMO_API int LumoGetRequestPeer(const LumoRequest* request, LumoPeerCred* cred) {
    const lumo::Socket* conn = lumo::tDelivering;
    if (request == nullptr || cred == nullptr || conn == nullptr || request->reserved != conn->token) {
        return -EINVAL;
    }
    *cred = conn->cred;
    return 0;
}

LUMO_API void LumoMarkRequestAccepted(const LumoRequest* request) {
    const lumo::Socket* conn = lumo::tDelivering;
    if (request != nullptr && conn != nullptr && request->reserved == conn->token) {
        const_cast<lumo::Socket*>(conn)->accepted.store(true);
    }
}

}  // extern "C"
