// Runs a piece of a test in a forked child, for behaviour that happens once per
// process (first-use initialisation, once flags) and must start from a fresh
// process whatever order the tests run in.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace child_process {

// Runs `body` in a child process and returns its result as the child's exit
// status (0..255), or -1 when the child did not exit normally. Call only from a
// test with no other threads running.
inline int Run(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body() & 0xff);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace child_process

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
