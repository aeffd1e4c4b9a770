// The checking side's pipe intake fed arbitrary requests, as the IPC library's
// receive thread would deliver them, with three registered clients.
//
// An input is a list of steps. Each step picks an operation from one byte:
//   deliver a record  a 232-byte record from the input, its name set to one of
//                     the clients, to arbitrary (possibly unterminated) bytes or
//                     to nothing, its sendTime now, late or in the future, sent
//                     on the client's own handle, another client's, a stale or
//                     a foreign one;
//   deliver raw bytes any size (with or without data, misaligned or not);
//   deliver a null request, run a check cycle, report a client lost, or
//   unregister and register a client again (its handle changes).
// Besides the sanitizers, the target checks what the intake promises: a
// heartbeat counts for a client exactly when it is a whole record carrying the
// client's name and arriving on the client's own handle, and every report names
// a registered client.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "checker/checkheart_internal.h"
#include "heartbeat.h"
#include "support/fuzz_support.h"

namespace {

const char* const kNames[] = {"alpha", "beta", "gamma"};
constexpr size_t kClients = 3;
constexpr size_t kRecordSize = sizeof(HeartBeatMessage);

// Reports arrive with stateMutex held. A report names a registered client, or
// one that re-registers after it was reported exited (announced before its
// record is inserted).
void OnFault(const char* name, size_t length, int32_t, uint32_t isLost) {
    if (name == nullptr || strlen(name) != length || isLost > 1) {
        abort();
    }
    auto& state = checkheart::State();
    state.stateMutex.AssertHeld();
    const std::string key(name, length);
    if (state.stateMap.count(key) == 0 && state.exitClientSet.count(key) == 0) {
        abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return used_ >= size_; }
    uint8_t Byte() { return Empty() ? 0 : data_[used_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // Up to `count` bytes into `out`; the rest of `out` is left as it is.
    size_t Bytes(void* out, size_t count) {
        const size_t n = std::min(count, size_ - std::min(used_, size_));
        if (n > 0) {
            memcpy(out, data_ + used_, n);
        }
        used_ += n;
        return n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

struct Snapshot {
    int fd[kClients];
    uint32_t heartCount[kClients];
};

Snapshot Take() {
    auto& state = checkheart::State();
    hb::MutexLock lock(&state.stateMutex);
    Snapshot snap{};
    for (size_t i = 0; i < kClients; ++i) {
        auto found = state.stateMap.find(kNames[i]);
        snap.fd[i] = found == state.stateMap.end() ? 0 : found->second.fd;
        snap.heartCount[i] = found == state.stateMap.end() ? 0 : found->second.heartCount;
    }
    return snap;
}

void Register(size_t client) {
    const char* name = kNames[client];
    if (RegisterCheckHeartBeat(name, strlen(name), 0, OnFault) != 0) {
        abort();
    }
}

// Delivers through the callback that the intake gave to the open of `handle`
// when there is one, else straight to the receive callback (a handle that
// belongs to no pipe of this process).
void Deliver(int handle, LumoRequest* request) {
    LumoCallback* callback = fuzz_support::CallbackOf(handle);
    if (callback != nullptr && *callback) {
        (*callback)(handle, request);
    } else {
        checkheart::ServerPipeCallback(handle, request);
    }
}

int PickHandle(Input& in, const Snapshot& snap, size_t owner) {
    const uint8_t pick = in.Byte();
    switch (pick % 6) {
    case 0:
    case 1:
    case 2:
        return snap.fd[owner];  // the owner's own handle, most of the time
    case 3:
        return snap.fd[(owner + 1 + pick / 6 % 2) % kClients];  // another client's
    case 4:
        return snap.fd[owner] - 1 - pick / 6 % 4;  // an earlier (stale) handle
    default:
        return static_cast<int>(static_cast<int8_t>(pick));  // foreign, 0 or -1 among them
    }
}

void DeliverRecord(Input& in) {
    const Snapshot before = Take();
    alignas(HeartBeatMessage) unsigned char raw[kRecordSize + 1] = {};
    const size_t owner = in.Byte() % kClients;
    const uint8_t nameMode = in.Byte();
    const uint8_t timeMode = in.Byte();
    const int handle = PickHandle(in, before, owner);
    const bool misaligned = (timeMode & 0x80) != 0;
    unsigned char* at = raw + (misaligned ? 1 : 0);
    in.Bytes(at, kRecordSize);

    HeartBeatMessage message;
    memcpy(&message, at, kRecordSize);
    bool named = true;
    switch (nameMode % 4) {
    case 0:
    case 1:
        memset(message.clientName, 0, sizeof(message.clientName));
        memcpy(message.clientName, kNames[owner], strlen(kNames[owner]));
        break;
    case 2:
        message.clientName[0] = '\0';
        named = false;
        break;
    default:
        break;  // whatever the input holds, terminated or not
    }
    const uint64_t now = VeKov::GetCurrentTime();
    switch (timeMode % 4) {
    case 0:
        message.sendTime = now;
        break;
    case 1:
        message.sendTime = now - 2000 - (timeMode >> 2);  // on the edge of late
        break;
    case 2:
        message.sendTime = now + 1 + (timeMode >> 2);  // from the future
        break;
    default:
        break;  // raw
    }
    memcpy(at, &message, kRecordSize);

    // Now and then as from a sender whose credentials the IPC library knows,
    // with a pid from the input: the record may then also be refused (its
    // pid is not the sender's, or the client belongs to another process).
    const bool withPeer = (nameMode & 0x80) != 0;
    if (withPeer) {
        LumoPeerCred peer{};
        in.Bytes(&peer.pid, sizeof(peer.pid));
        (void)checkheart::TakeRecord(handle, message, &peer);
    } else {
        LumoRequest request{};
        request.data = at;
        request.size = static_cast<uint32_t>(kRecordSize);
        Deliver(handle, &request);
    }

    // Which client, if any, may count this heartbeat.
    const size_t nameLength = strnlen(message.clientName, sizeof(message.clientName));
    const Snapshot after = Take();
    for (size_t i = 0; i < kClients; ++i) {
        if (after.fd[i] != before.fd[i]) {
            continue;  // the check thread reopened this client's pipe meanwhile
        }
        const bool isThisClient = named && nameLength == strlen(kNames[i]) &&
                                  memcmp(message.clientName, kNames[i], nameLength) == 0;
        const bool accepted = isThisClient && before.fd[i] > 0 && handle == before.fd[i];
        const uint32_t expected = before.heartCount[i] + (accepted ? 1U : 0U);
        if (after.heartCount[i] != expected && !(withPeer && after.heartCount[i] == before.heartCount[i])) {
            abort();  // counted a heartbeat it had to drop, or dropped one it had to count
        }
    }
}

void DeliverRaw(Input& in) {
    const Snapshot before = Take();
    const uint8_t flags = in.Byte();
    const int handle = PickHandle(in, before, flags % kClients);
    uint32_t size = in.Word();
    if ((flags & 0x40) != 0) {
        size = static_cast<uint32_t>(kRecordSize - 1 + (flags & 0x3) % 3);  // 231, 232, 233
    }
    // A heap buffer that ends exactly at the announced size, so that reading
    // past it is caught; a leading spare byte makes the payload misaligned.
    const size_t offset = (flags & 0x80) != 0 ? 1 : 0;
    unsigned char* buffer = static_cast<unsigned char*>(calloc(std::max<size_t>(size + offset, 1), 1));
    if (buffer == nullptr) {
        return;
    }
    unsigned char* payload = buffer + offset;
    in.Bytes(payload, size);
    LumoRequest request{};
    request.data = (flags & 0x20) != 0 ? nullptr : payload;
    request.size = size;
    Deliver(handle, &request);
    free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        for (size_t i = 0; i < kClients; ++i) {
            Register(i);
        }
        return true;
    }();
    (void)ready;

    Input in(data, size);
    int steps = 0;
    while (!in.Empty() && steps++ < 64) {
        const uint8_t op = in.Byte();
        switch (op % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
            DeliverRecord(in);
            break;
        case 4:
        case 5:
            DeliverRaw(in);
            break;
        case 6: {
            const Snapshot snap = Take();
            Deliver(snap.fd[in.Byte() % kClients], nullptr);
            break;
        }
        case 7:
            checkheart::RunCheckCycle();
            break;
        case 8: {
            const char* name = kNames[in.Byte() % kClients];
            (void)ReportHeartBeatLost(name, strlen(name));
            break;
        }
        default: {
            const size_t client = in.Byte() % kClients;
            const char* name = kNames[client];
            if (UnregisterCheckHeartBeat(name, strlen(name)) != 0) {
                abort();
            }
            Register(client);
            break;
        }
        }
    }
    return 0;
}
