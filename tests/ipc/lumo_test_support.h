// What the IPC library's tests and the hostile tests share: opening ends,
// raw connections, sending checkable payloads, recording deliveries with the
// kernel's word on the sender, forked children and waiting with a deadline.
#ifndef TESTS_IPC_LUMO_TEST_SUPPORT_H_
#define TESTS_IPC_LUMO_TEST_SUPPORT_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lumo_peer.h"
#include "support/polling.h"

// Weak: the hostile tests of the checking side may run over a pipe library without it.
extern "C" LUMO_PEER_WEAK int LumoGetRequestPeer(const LumoRequest*, LumoPeerCred*);

namespace lumo_test {

using Lines = std::vector<std::string>;

using polling::Count;
using polling::Eventually;

// Connects `fd`, a new socket unless given, to the listening end at `path`
// as any neighbour can; -1 when it cannot.
inline int Connect(const std::string& path, int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int Open(const std::string& self, const std::string& peer, bool listening, LumoCallback callback = nullptr,
                uint32_t gid = UINT32_MAX, uint32_t timeoutMs = 3000) {
    LumoOpenParam param{peer.c_str(), std::move(callback), timeoutMs, listening, gid, 1, self.c_str(), -1, 1, 0, 0};
    return LumoOpen(&param);
}

// Sends `size` bytes, each of them the size's low byte.
inline int Send(int handle, size_t size) {
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(size));
    LumoRequest request{0, bytes.data(), static_cast<uint32_t>(size), 0};
    return LumoSendRequest(handle, &request);
}

// Runs `body` in a forked child that exits with its result.
inline pid_t Child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

inline int ExitCode(pid_t pid) {
    int status = -1;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A delivery as "<handle>:<sender pid>:<size>": "corrupt" for the size when a
// byte is not the size's low byte, "gone" for a null request (pid -1).
inline std::string Line(int handle, pid_t pid, const std::string& what) {
    return std::to_string(handle) + ":" + std::to_string(pid) + ":" + what;
}

// Every delivery to the ends it is the callback of.
struct Inbox {
    std::mutex mutex;
    std::condition_variable cv;
    Lines lines;

    LumoCallback Callback() {
        return [this](int handle, LumoRequest* request) {
            LumoPeerCred peer{-1, 0, 0};
            std::string what = "gone";
            if (request != nullptr) {
                (void)LumoGetRequestPeer(request, &peer);
                const auto* data = static_cast<const uint8_t*>(request->data);
                const std::vector<uint8_t> sent(request->size, static_cast<uint8_t>(request->size));
                what = std::equal(sent.begin(), sent.end(), data) ? std::to_string(request->size) : "corrupt";
            }
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(Line(handle, peer.pid, what));
            cv.notify_all();
        };
    }
    // All deliveries once there are `count` (or after 3 s).
    Lines WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(3), [&] { return lines.size() >= count; });
        return lines;
    }
};

inline Inbox& inbox = *new Inbox;  // never destroyed: a callback may come during exit

// Each test gets a pipe directory and an empty inbox (for runs of several
// tests in one process).
class PipeDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        inbox.lines.clear();
        ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
        setenv("LUMO_PIPE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& self, const std::string& peer) const { return dir_ + "/" + self + "@" + peer; }
    std::string dir_ = "/tmp/lumo-XXXXXX";
};

}  // namespace lumo_test

#endif  // TESTS_IPC_LUMO_TEST_SUPPORT_H_
