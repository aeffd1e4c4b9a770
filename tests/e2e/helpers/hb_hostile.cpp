// A hostile neighbour for the end-to-end tests. It needs no library: it
// connects straight to a server's listening socket file, or maps a
// shared-memory channel file, and sends or writes what it likes.
//   hb_hostile pipe <socket file> <mode> <name> <seconds> <per second>
//     modes: records  232-byte records carrying <name>, well formed
//            sizes    messages of random sizes from 0 to 70000 bytes
//            flood    records carrying <name>, random sizes and records with
//                     random names, as fast as the rate allows
//            churn    connects and disconnects, <per second> times a second
//   hb_hostile page <channel file> <seconds> <per second>
//     writes random records with the "new record" head into the page
// Prints "sent <count> failed <count>" at the end.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "heartbeat_message.h"
#include "helper_util.h"

namespace {

std::mt19937 rng(12345);

int Connect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

HeartBeatMessage Record(const std::string& name, uint32_t order) {
    HeartBeatMessage record{};
    record.sendTime = static_cast<uint64_t>(helper::MonoMs());
    record.order = order;
    strncpy(record.clientName, name.c_str(), sizeof(record.clientName) - 1);
    record.pid = getpid();
    record.timeoutTimes = 2;
    return record;
}

std::vector<unsigned char> RandomBytes(size_t size) {
    std::vector<unsigned char> bytes(size);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(rng());
    }
    return bytes;
}

// Paces a loop at `perSecond` iterations; false once `seconds` have passed.
class Pace {
public:
    Pace(double seconds, long perSecond)
        : start_(helper::MonoMs()), end_(start_ + static_cast<int64_t>(seconds * 1000)),
          perSecond_(perSecond) {}
    bool Next() {
        const int64_t now = helper::MonoMs();
        if (now >= end_) {
            return false;
        }
        ++count_;
        const int64_t due = start_ + count_ * 1000 / perSecond_;
        if (due > now) {
            const int64_t wait = due - now;
            timespec pause{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
            nanosleep(&pause, nullptr);
        }
        return true;
    }

private:
    int64_t start_;
    int64_t end_;
    long perSecond_;
    int64_t count_ = 0;
};

int RunPipe(const std::string& path, const std::string& mode, const std::string& name, double seconds,
            long perSecond) {
    long sent = 0;
    long failed = 0;
    int fd = mode == "churn" ? -1 : Connect(path);
    if (mode != "churn" && fd < 0) {
        helper::Emit("error", " connect %s: %s", path.c_str(), strerror(errno));
        return 1;
    }
    Pace pace(seconds, perSecond);
    uint32_t order = 0;
    while (pace.Next()) {
        if (mode == "churn") {
            const int one = Connect(path);
            (one >= 0 ? sent : failed) += 1;
            if (one >= 0) {
                close(one);
            }
            continue;
        }
        // Random messages are made once and reused, so that the rate is set by
        // the sending and not by the making.
        static const std::vector<std::vector<unsigned char>> oddSizes = [] {
            static const size_t kEdges[] = {0, 1, 231, 233, 65536, 65537, 70000};
            std::vector<std::vector<unsigned char>> made;
            for (size_t size : kEdges) {
                made.push_back(RandomBytes(size));
            }
            while (made.size() < 64) {
                made.push_back(RandomBytes(rng() % 70001));
            }
            return made;
        }();
        static const std::vector<std::vector<unsigned char>> garbage = [] {
            std::vector<std::vector<unsigned char>> made;
            while (made.size() < 64) {
                made.push_back(RandomBytes(sizeof(HeartBeatMessage)));
            }
            return made;
        }();
        const unsigned pick = mode == "records" ? 0 : mode == "sizes" ? 1 : static_cast<unsigned>(rng() % 3);
        std::vector<unsigned char> record;
        const std::vector<unsigned char>* message = &record;
        if (pick == 0) {
            const HeartBeatMessage built = Record(name, order++);
            record.assign(reinterpret_cast<const unsigned char*>(&built),
                          reinterpret_cast<const unsigned char*>(&built) + sizeof(built));
        } else if (pick == 1) {
            message = &oddSizes[rng() % oddSizes.size()];
        } else {
            message = &garbage[rng() % garbage.size()];
        }
        const ssize_t n = send(fd, message->data(), message->size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The server closed this connection (an empty message reads as
            // the end of it): come back on a new one.
            close(fd);
            fd = Connect(path);
            if (fd < 0) {
                helper::Emit("error", " reconnect %s: %s", path.c_str(), strerror(errno));
                return 1;
            }
        }
        (n >= 0 ? sent : failed) += 1;
    }
    if (fd >= 0) {
        close(fd);
    }
    helper::Emit("sent", " %ld failed %ld", sent, failed);
    return 0;
}

int RunPage(const std::string& path, double seconds, long perSecond) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    void* mapped = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        helper::Emit("error", " map %s: %s", path.c_str(), strerror(errno));
        return 1;
    }
    unsigned char* page = static_cast<unsigned char*>(mapped);
    long sent = 0;
    Pace pace(seconds, perSecond);
    while (pace.Next()) {
        const std::vector<unsigned char> garbage = RandomBytes(4096);
        memcpy(page, garbage.data(), garbage.size());
        const uint32_t head = rng() % 2 == 0 ? 1 : static_cast<uint32_t>(rng());
        memcpy(page, &head, sizeof(head));
        ++sent;
    }
    munmap(mapped, 4096);
    close(fd);
    helper::Emit("sent", " %ld failed 0", sent);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "";
    if (kind == "pipe" && argc == 7) {
        return RunPipe(argv[2], argv[3], argv[4], atof(argv[5]), atol(argv[6]));
    }
    if (kind == "page" && argc == 5) {
        return RunPage(argv[2], atof(argv[3]), atol(argv[4]));
    }
    helper::Emit("error", " usage");
    return 2;
}
