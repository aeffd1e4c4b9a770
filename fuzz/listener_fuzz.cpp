// One visit of the shared-memory listener over a page of arbitrary content:
// whatever a sending process (or anything else that can write the file) left
// in the page, the visit reads only the page's own bytes, hands on at most one
// record and only when the head word says a new one waits, and marks it taken.
// The same bytes stand in memory the host listed itself and in a real channel
// file that a neighbour then cuts to some length: a file too short for the
// record hands nothing on, and never kills the visit.
//
// Input: one byte choosing the head word (its two low bits: as given, or
// forced to empty, new or taken, so that the record path is reached often; the
// bits above: the file's length), one byte choosing whether the record names
// a registered client, then the page's bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mutex.h"
#include "heartbeat.h"
#include "heartbeat_message.h"
#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"

namespace {

constexpr const char* kClient = "alpha";
unsigned char* page = nullptr;  // exactly one page on the heap, so any overrun is caught
std::string channelPath;        // a real channel file, listed as "beta"
int neighbourFd = -1;           // the neighbour's own descriptor of that file
int handedOn = 0;

void CountingIntake(const int& fd, const HeartBeatMessage& message, HeartChannelType channel) {
    if (fd != -1 || channel != HEART_CHANNEL_MMAP) {
        abort();
    }
    if (memcmp(&message, page + VeHeartBeat::kRecordOffset, sizeof(message)) != 0) {
        abort();  // the record handed on is not the page's
    }
    ++handedOn;
    GetHeartBeatMessageFromClient(fd, message, channel);  // dropped there: handle -1
}

void OnFault(const char*, size_t, int32_t, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        page = static_cast<unsigned char*>(malloc(VeHeartBeat::kChannelSize));
        // A registered client with the name that records may carry, so that a
        // handed-on record reaches the intake's handle check.
        if (page == nullptr || RegisterCheckHeartBeat(kClient, strlen(kClient), 0, OnFault) != 0) {
            abort();
        }
        channelPath = "/dev/shm/fuzzlistener" + std::to_string(getpid()) + "__to__fuzz_mmap_heartbeat";
        void* filePage = VeHeartBeat::InitHeartBeatMmapChannel(channelPath, true, getgid());
        neighbourFd = open(channelPath.c_str(), O_RDWR | O_CLOEXEC);
        if (filePage == nullptr || neighbourFd < 0) {
            abort();
        }
        atexit([] { unlink(channelPath.c_str()); });
        auto& listener = VeHeartBeat::MmapListener();
        hb::MutexLock lock(&listener.mmapListenMutex);
        listener.mmapChannelMap.emplace("alpha", reinterpret_cast<uintptr_t>(page));
        listener.mmapChannelMap.emplace("beta", reinterpret_cast<uintptr_t>(filePage));
        listener.mmapChannelMap.emplace("unmapped", 0);  // a listed null page
        return true;
    }();
    (void)ready;
    if (size < 2) {
        return 0;
    }
    const uint8_t headMode = data[0];
    const uint8_t nameMode = data[1];
    memset(page, 0, VeHeartBeat::kChannelSize);
    memcpy(page, data + 2, std::min(size - 2, VeHeartBeat::kChannelSize));
    if (headMode % 4 != 0) {
        const uint32_t head = headMode % 4 - 1;  // 0 empty, 1 new, 2 taken
        memcpy(page + VeHeartBeat::kHeadOffset, &head, sizeof(head));
    }
    if (nameMode % 2 == 0) {
        char* name = reinterpret_cast<char*>(page + VeHeartBeat::kRecordOffset +
                                             offsetof(HeartBeatMessage, clientName));
        memcpy(name, kClient, strlen(kClient) + 1);
    }
    uint32_t headBefore = 0;
    memcpy(&headBefore, page + VeHeartBeat::kHeadOffset, sizeof(headBefore));
    constexpr off_t kLengths[] = {0, 3, 100, 236, 4096};
    const off_t length = kLengths[(headMode >> 2) % 5];
    if (ftruncate(neighbourFd, 0) != 0 ||
        pwrite(neighbourFd, page, VeHeartBeat::kChannelSize, 0) != static_cast<ssize_t>(VeHeartBeat::kChannelSize) ||
        ftruncate(neighbourFd, length) != 0) {
        abort();
    }

    handedOn = 0;
    VeHeartBeat::VisitMmapChannels(CountingIntake);

    uint32_t headAfter = 0;
    memcpy(&headAfter, page + VeHeartBeat::kHeadOffset, sizeof(headAfter));
    const bool wasNew = headBefore == VeHeartBeat::kHeadNew;
    const bool fileWasNew = wasNew && length >= 236;  // a shorter file holds no whole record
    uint32_t fileHeadAfter = headBefore;
    if (length >= 4 && pread(neighbourFd, &fileHeadAfter, sizeof(fileHeadAfter), 0) != 4) {
        abort();
    }
    if (handedOn != (wasNew ? 1 : 0) + (fileWasNew ? 1 : 0) ||
        headAfter != (wasNew ? VeHeartBeat::kHeadTaken : headBefore) ||
        fileHeadAfter != (fileWasNew ? VeHeartBeat::kHeadTaken : headBefore)) {
        abort();  // a record handed on without a new one, or the head left wrong
    }
    return 0;
}
