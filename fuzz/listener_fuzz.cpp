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

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mutex.h"
#include "heartbeat_mmap.h"
#include "mmap/mmap_internal.h"

using namespace VeHeartBeat;

namespace {

unsigned char* page = nullptr;  // exactly one page on the heap, so any overrun is caught
int neighbourFd = -1;           // the neighbour's own descriptor of the listed channel file
int handedOn = 0;

void CountingIntake(const int& fd, const HeartBeatMessage& message, HeartChannelType channel) {
    // Not the fd of a pipe, and the record handed on from the page it is in.
    if (fd != -1 || channel != HEART_CHANNEL_MMAP ||
        memcmp(&message, page + kRecordOffset, sizeof(message)) != 0)
        abort();
    ++handedOn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = [] {
        page = static_cast<unsigned char*>(malloc(kChannelSize));
        // The page stays mapped and the descriptor open; the name can go at once.
        const std::string path =
            "/dev/shm/fuzzlistener" + std::to_string(getpid()) + "__to__fuzz_mmap_heartbeat";
        void* filePage = InitHeartBeatMmapChannel(path, true, getgid());
        neighbourFd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (filePage == nullptr || neighbourFd < 0 || unlink(path.c_str()) != 0) abort();
        hb::MutexLock lock(&MmapListener().mmapListenMutex);
        MmapListener().mmapChannelMap = {{"alpha", reinterpret_cast<uintptr_t>(page)},
                                         {"beta", reinterpret_cast<uintptr_t>(filePage)},
                                         {"unmapped", 0}};  // a listed null page
        return true;
    }();
    if (size < 2) return 0;
    memset(page, 0, kChannelSize);
    memcpy(page, data + 2, std::min(size - 2, kChannelSize));
    uint32_t head = 0;
    memcpy(&head, page + kHeadOffset, sizeof(head));
    if (data[0] % 4 != 0) head = data[0] % 4 - 1;  // 0 empty, 1 new, 2 taken
    memcpy(page + kHeadOffset, &head, sizeof(head));
    constexpr off_t kLengths[] = {0, 3, 100, 236, 4096};
    const off_t length = kLengths[data[1] % 5];
    if (ftruncate(neighbourFd, length) != 0 ||
        pwrite(neighbourFd, page, static_cast<size_t>(length), 0) != length)
        abort();
    handedOn = 0;
    VisitMmapChannels(CountingIntake);

    // A shorter file holds no whole record; what is taken is marked so.
    const bool wasNew = head == kHeadNew, fileWasNew = wasNew && length >= 236;
    uint32_t pageHead = 0, fileHead = head;
    memcpy(&pageHead, page + kHeadOffset, sizeof(pageHead));
    if (length >= 4 && pread(neighbourFd, &fileHead, sizeof(fileHead), 0) != 4) abort();
    if (handedOn != wasNew + fileWasNew || pageHead != (wasNew ? kHeadTaken : head) ||
        fileHead != (fileWasNew ? kHeadTaken : head))
        abort();  // a record handed on without a new one, or the head left wrong
    return 0;
}
