#include "tools/send_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace hbsend {
namespace {

constexpr char kWatchdogPid[] = "WATCHDOG_PID=";
constexpr size_t kPidDigits = 20;

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(&s[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The paths exec tries, in order, as a shell searches PATH.
std::vector<std::string> Candidates(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return {program};
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::string> candidates;
    size_t start = 0;
    for (;;) {
        const size_t colon = dirs.find(':', start);
        const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        candidates.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return candidates;
}

// Writes `value` in decimal at `out` (room for kPidDigits + 1 bytes) without
// touching the heap: runs between fork and exec.
void FormatPid(pid_t value, char* out) {
    char digits[kPidDigits];
    size_t n = 0;
    unsigned long v = static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < kPidDigits);
    for (size_t i = 0; i < n; ++i) {
        out[i] = digits[n - 1 - i];
    }
    out[n] = '\0';
}

[[noreturn]] void RunChild(char* const* argv, char* const* envp, char* const* candidates,
                           char* watchdogPid, int deathSignal, pid_t parent, int errorPipe) {
    setpgid(0, 0);
    if (deathSignal != 0) {
        prctl(PR_SET_PDEATHSIG, deathSignal, 0, 0, 0);
        // The parent may have died before the request took effect; then no
        // signal will ever come, and the child must not run orphaned.
        if (getppid() != parent) {
            _exit(128 + deathSignal);
        }
    }
    // The tool blocks the signals it reads through a signalfd and ignores
    // SIGPIPE; the command starts with neither.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(SIGPIPE, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (watchdogPid != nullptr) {
        FormatPid(getpid(), watchdogPid);
    }
    int error = ENOENT;
    for (char* const* candidate = candidates; *candidate != nullptr; ++candidate) {
        execve(*candidate, argv, envp);
        // As a shell: a file found but not runnable wins over "not found".
        if (errno != ENOENT && errno != ENOTDIR) {
            error = errno;
            if (errno != EACCES) {
                break;
            }
        }
    }
    ssize_t written = write(errorPipe, &error, sizeof(error));
    (void)written;
    _exit(127);
}

}  // namespace

pid_t StartChild(const ChildLaunch& launch, int* error) {
    if (launch.argv.empty()) {
        *error = EINVAL;
        return -1;
    }
    std::vector<std::string> argv = launch.argv;
    std::vector<std::string> env = launch.env;
    std::vector<std::string> candidates = Candidates(launch.argv[0]);
    char* watchdogPid = nullptr;
    for (std::string& entry : env) {
        if (launch.setWatchdogPid && entry.rfind(kWatchdogPid, 0) == 0) {
            entry.resize(sizeof(kWatchdogPid) - 1 + kPidDigits + 1, '\0');
            watchdogPid = &entry[sizeof(kWatchdogPid) - 1];
        }
    }
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(env);
    std::vector<char*> candidatePointers = Pointers(candidates);

    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        *error = errno;
        close(errorPipe[0]);
        close(errorPipe[1]);
        return -1;
    }
    if (child == 0) {
        close(errorPipe[0]);
        RunChild(argvPointers.data(), envPointers.data(), candidatePointers.data(), watchdogPid,
                 launch.deathSignal, parent, errorPipe[1]);
    }
    // Set here too, so that the group exists before the parent signals it,
    // whichever of the two runs first.
    setpgid(child, child);
    close(errorPipe[1]);
    int execError = 0;
    ssize_t got = 0;
    do {
        got = read(errorPipe[0], &execError, sizeof(execError));  // EOF: exec succeeded
    } while (got < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (got == static_cast<ssize_t>(sizeof(execError))) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        *error = execError;
        return -1;
    }
    return child;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& drop,
                                          const std::vector<std::string>& add) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool dropped = false;
        for (const std::string& name : drop) {
            dropped = dropped || text.compare(0, name.size() + 1, name + "=") == 0;
        }
        if (!dropped) {
            env.push_back(text);
        }
    }
    env.insert(env.end(), add.begin(), add.end());
    return env;
}

}  // namespace hbsend
