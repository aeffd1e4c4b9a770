#include "tools/process_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace hbtools {
namespace {

// Written once by InitWake before any handler is installed, read by handlers.
int wakeRead = -1;
int wakeWrite = -1;
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t hangup = 0;

void OnSignal(int signo) {
    if (signo == SIGHUP) {
        hangup = 1;
    } else if (signo != SIGCHLD) {
        stopSignal = signo;
    }
    Wake();
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

bool InitWake() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    wakeRead = fds[0];
    wakeWrite = fds[1];
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGCHLD}) {
        if (sigaction(signo, &action, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

void Wake() noexcept {
    const int savedErrno = errno;
    const char byte = 0;
    ssize_t written = write(wakeWrite, &byte, 1);
    (void)written;  // EAGAIN: the pipe is full, so the reader wakes anyway
    errno = savedErrno;
}

void WaitForWake() {
    struct pollfd pfd = {wakeRead, POLLIN, 0};
    while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
    char buffer[256];
    while (read(wakeRead, buffer, sizeof(buffer)) > 0) {
    }
}

int StopSignal() { return stopSignal; }

void WaitForWake(int timeoutMs) {
    struct pollfd pfd = {wakeRead, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) > 0) {
        char buffer[256];
        while (read(wakeRead, buffer, sizeof(buffer)) > 0) {
        }
    }
}

bool CatchHangup() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGHUP, &action, nullptr) == 0;
}

bool TakeHangup() {
    const bool seen = hangup != 0;
    hangup = 0;
    return seen;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>* env, bool searchPath,
            int* error, bool ownGroup) {
    if (argv.empty()) {
        *error = EINVAL;
        return -1;
    }
    posix_spawnattr_t attr;
    int rc = posix_spawnattr_init(&attr);
    if (rc != 0) {
        *error = rc;
        return -1;
    }
    // Handlers are reset by exec anyway; the mask is inherited, so clear it in
    // case the caller runs with signals blocked.
    sigset_t defaults;
    sigset_t empty;
    sigemptyset(&defaults);
    sigemptyset(&empty);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownGroup) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp;
    if (env != nullptr) {
        envp = Pointers(*env);
    }
    char* const* envArg = env != nullptr ? envp.data() : environ;
    pid_t pid = -1;
    rc = searchPath ? posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), envArg)
                    : posix_spawn(&pid, args[0], nullptr, &attr, args.data(), envArg);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        *error = rc;
        return -1;
    }
    return pid;
}

int ShellStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return 1;
}

}  // namespace hbtools
