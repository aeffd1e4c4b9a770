// One visit of the shared-memory listener over a page of arbitrary content:
// whatever a sending process (or anything else that can write the file) left
// in the page, the visit reads only the page's own bytes, hands on at most one
// record and only when the head word says a new one waits, and marks it taken.
// The same bytes stand in memory the host listed itself and in a real channel
// file that a neighbour then cuts to some length: a file too short for the
// record hands nothing on, and never kills the visit.
//
// Input: one byte choosing the head word (as given, or forced to empty, new or
// taken, so that the record path is reached often), one byte choosing the
// file's length, then the page's bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mutex.h"
#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"

namespace {

unsigned char* page = nullptr;  // exactly one page on the heap, so any overrun is caught
int neighbourFd = -1;           // the neighbour's own descriptor of the listed channel file
int handedOn = 0;

uint32_t HeadOf(const unsigned char* bytes) {
    uint32_t head = 0;
    memcpy(&head, bytes + VeHeartBeat::kHeadOffset, sizeof(head));
    return head;
}

void CountingIntake(const int& fd, const HeartBeatMessage& message, HeartChannelType channel) {
    // Not the fd of a pipe, and the record handed on from the page it is in.
    if (fd != -1 || channel != HEART_CHANNEL_MMAP ||
        memcmp(&message, page + VeHeartBeat::kRecordOffset, sizeof(message)) != 0)
        abort();
    ++handedOn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        page = static_cast<unsigned char*>(malloc(VeHeartBeat::kChannelSize));
        static const std::string path =
            "/dev/shm/fuzzlistener" + std::to_string(getpid()) + "__to__fuzz_mmap_heartbeat";
        void* filePage = VeHeartBeat::InitHeartBeatMmapChannel(path, true, getgid());
        neighbourFd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (page == nullptr || filePage == nullptr || neighbourFd < 0) abort();
        atexit([] { unlink(path.c_str()); });
        auto& listener = VeHeartBeat::MmapListener();
        hb::MutexLock lock(&listener.mmapListenMutex);
        listener.mmapChannelMap = {{"alpha", reinterpret_cast<uintptr_t>(page)},
                                   {"beta", reinterpret_cast<uintptr_t>(filePage)},
                                   {"unmapped", 0}};  // a listed null page
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    memset(page, 0, VeHeartBeat::kChannelSize);
    memcpy(page, data + 2, std::min(size - 2, VeHeartBeat::kChannelSize));
    if (data[0] % 4 != 0) {
        const uint32_t head = data[0] % 4 - 1;  // 0 empty, 1 new, 2 taken
        memcpy(page + VeHeartBeat::kHeadOffset, &head, sizeof(head));
    }
    const uint32_t headBefore = HeadOf(page);
    constexpr off_t kLengths[] = {0, 3, 100, 236, 4096};
    const off_t length = kLengths[data[1] % 5];
    if (ftruncate(neighbourFd, 0) != 0 || ftruncate(neighbourFd, length) != 0 ||
        pwrite(neighbourFd, page, static_cast<size_t>(length), 0) != length)
        abort();
    handedOn = 0;
    VeHeartBeat::VisitMmapChannels(CountingIntake);

    const bool wasNew = headBefore == VeHeartBeat::kHeadNew;
    const bool fileWasNew = wasNew && length >= 236;  // a shorter file holds no whole record
    uint32_t fileHeadAfter = headBefore;
    if (length >= 4 && pread(neighbourFd, &fileHeadAfter, sizeof(fileHeadAfter), 0) != 4) abort();
    if (handedOn != wasNew + fileWasNew || HeadOf(page) != (wasNew ? VeHeartBeat::kHeadTaken : headBefore) ||
        fileHeadAfter != (fileWasNew ? VeHeartBeat::kHeadTaken : headBefore))
        abort();  // a record handed on without a new one, or the head left wrong
    return 0;
}
