// The monitor's sockets and its metrics file against what another process
// may have put in their way.
#include "tools/monitor_control.h"
#include "tools/monitor_state.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/hbmonctl-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

TEST(MonitorControlTest, NotifiesPathAndAbstractSocketsAndHidesThemFromHooks) {
    TempDir dir;
    for (const std::string& target : {"@hbmonctl-" + std::to_string(getpid()), dir.path + "/notify"}) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, target.data(), target.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size());
        if (target[0] == '@') {
            address.sun_path[0] = '\0';
        }
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0) << target;
        setenv("NOTIFY_SOCKET", target.c_str(), 1);
        hbtools::InitNotify();
        EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
        EXPECT_EQ(hbtools::Notify("READY=1"), 0) << target;
        char buffer[32] = {};
        EXPECT_EQ(recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT), 7) << target;
        EXPECT_STREQ(buffer, "READY=1");
        close(fd);
    }
}

// Links planted at the file or its temporary name are replaced, never followed.
TEST(MonitorControlTest, MetricsFileReplacesPlantedLinksWithoutTouchingTheirTargets) {
    TempDir dir;
    const std::string victim = dir.path + "/victim";
    const std::string path = dir.path + "/hb.prom";
    const std::vector<std::function<int()>> plants = {
        [&] { return symlink(victim.c_str(), (path + ".tmp").c_str()); },
        [&] { return link(victim.c_str(), (path + ".tmp").c_str()); },
        [&] { return symlink(victim.c_str(), path.c_str()); },
    };
    for (size_t i = 0; i < plants.size(); ++i) {
        fs::remove(path);
        std::ofstream(victim) << "keep";
        ASSERT_EQ(plants[i](), 0);
        EXPECT_EQ(hbtools::WriteFileAtomically(path, "new\n"), 0) << i;
        EXPECT_EQ(Read(victim), "keep") << i;
        EXPECT_EQ(Read(path), "new\n") << i;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << i;
        EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".tmp"))) << i;
    }
}

TEST(MonitorControlTest, ControlSocketSurvivesJunkAndKeepsToItsOwnFile) {
    TempDir dir;
    const std::string path = dir.path + "/PM.monitor";
    std::ofstream(path) << "not a socket";
    hbtools::ControlServer server;
    const auto echo = [](const std::string& request) { return request + "!"; };
    EXPECT_EQ(server.Start(path, echo), -EEXIST);
    EXPECT_EQ(Read(path), "not a socket");
    fs::remove(path);

    // A stale socket file (its monitor was killed) is replaced.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(stale);
    ASSERT_EQ(server.Start(path, echo), 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    hbtools::ControlServer second;
    EXPECT_EQ(second.Start(path, echo), -EADDRINUSE);

    // An over-long request without its newline, then a good one.
    const int junk = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(junk, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string flood(4096, 'x');
    EXPECT_EQ(send(junk, flood.data(), flood.size(), MSG_NOSIGNAL), static_cast<ssize_t>(flood.size()));
    std::string answer;
    EXPECT_EQ(hbtools::QueryControl(path, "json", &answer, 2000), 0);
    EXPECT_EQ(answer, "json!");
    char byte;
    EXPECT_LE(recv(junk, &byte, 1, 0), 0) << "the junk connection got an answer";
    close(junk);

    server.Stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    EXPECT_EQ(hbtools::QueryControl(path, "json", &answer, 2000), -ENOENT);
}

// A pid given to a new process since the client's last heartbeat is not the
// client: the client has exited, whatever the new process is doing.
TEST(MonitorControlTest, CauseLookupSeesThroughAReusedPid) {
    using hbtools::ProcState;
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 0), ProcState::kRunning);
    EXPECT_EQ(hbtools::ReadProcState(getpid(), -1), ProcState::kRunning);  // no heartbeat to compare with
    EXPECT_EQ(hbtools::ReadProcState(getpid(), 3600 * 1000), ProcState::kGone);
    EXPECT_EQ(hbtools::ReadProcState(0, 0), ProcState::kGone);
}

}  // namespace
