// The checking side's pipe intake fed arbitrary requests, as the IPC library's
// receive thread would deliver them to the callback of every pipe the intake
// opens, with three registered clients.
//
// An input is a list of steps (read with FuzzedDataProvider). Each step picks
// an operation:
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
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "checker/checkheart_internal.h"
#include "heartbeat.h"

namespace {

const char* const kNames[] = {"alpha", "beta", "gamma"};
constexpr size_t kClients = 3;
constexpr size_t kRecordSize = sizeof(HeartBeatMessage);
using Snapshot = std::array<std::pair<int, uint32_t>, kClients>;  // each client's handle and heartbeats

// Reports arrive with stateMutex held. A report names a registered client, or
// one that re-registers after it was reported exited (announced before its
// record is inserted).
void OnFault(const char* name, size_t length, int32_t, uint32_t isLost) {
    auto& state = checkheart::State();
    state.stateMutex.AssertHeld();
    if (name == nullptr || strlen(name) != length || isLost > 1 ||
        (state.stateMap.count(name) == 0 && state.exitClientSet.count(name) == 0))
        abort();
}

Snapshot Take() {
    auto& state = checkheart::State();
    hb::MutexLock lock(&state.stateMutex);
    Snapshot snap{};
    for (size_t i = 0; i < kClients; ++i) {
        auto found = state.stateMap.find(kNames[i]);
        if (found != state.stateMap.end()) snap[i] = {found->second.fd, found->second.heartCount};
    }
    return snap;
}

void Register(size_t client) {
    if (RegisterCheckHeartBeat(kNames[client], strlen(kNames[client]), 0, OnFault) != 0) abort();
}

// The owner's own handle most of the time, else another client's, an earlier
// (stale) one, or a foreign one (0 and -1 among them).
int PickHandle(FuzzedDataProvider& in, const Snapshot& snap, size_t owner) {
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    switch (pick % 6) {
    case 3:
        return snap[(owner + 1 + pick / 6 % 2) % kClients].first;
    case 4:
        return snap[owner].first - 1 - pick / 6 % 4;
    case 5:
        return static_cast<int8_t>(pick);
    default:
        return snap[owner].first;
    }
}

void DeliverRecord(FuzzedDataProvider& in) {
    const Snapshot before = Take();
    const size_t owner = in.ConsumeIntegral<uint8_t>() % kClients;
    const uint8_t nameMode = in.ConsumeIntegral<uint8_t>();
    const uint8_t timeMode = in.ConsumeIntegral<uint8_t>();
    const int handle = PickHandle(in, before, owner);
    HeartBeatMessage message{};
    const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(kRecordSize);
    if (!raw.empty()) memcpy(&message, raw.data(), raw.size());
    if (nameMode % 4 < 2) {  // else empty, or whatever the input holds, terminated or not
        memset(message.clientName, 0, sizeof(message.clientName));
        strcpy(message.clientName, kNames[owner]);
    } else if (nameMode % 4 == 2) {
        message.clientName[0] = '\0';
    }
    const uint64_t now = VeKov::GetCurrentTime();
    const uint64_t sendTimes[] = {now, now - 2000 - (timeMode >> 2), now + 1 + (timeMode >> 2),
                                  message.sendTime};  // now, on the edge of late, future, raw
    message.sendTime = sendTimes[timeMode % 4];

    // Now and then as from a sender whose credentials the IPC library knows,
    // with a pid from the input: the record may then also be refused (its
    // pid is not the sender's, or the client belongs to another process).
    const bool withPeer = (nameMode & 0x80) != 0;
    if (withPeer) {
        LumoPeerCred peer{};
        peer.pid = in.ConsumeIntegral<int32_t>();
        (void)checkheart::TakeRecord(handle, message, &peer);
    } else {  // misaligned now and then, as a receive buffer may hand it over
        alignas(HeartBeatMessage) unsigned char buffer[kRecordSize + 1];
        unsigned char* at = buffer + (timeMode >> 7);
        memcpy(at, &message, kRecordSize);
        LumoRequest request{0, at, static_cast<uint32_t>(kRecordSize), 0};
        checkheart::ServerPipeCallback(handle, &request);
    }

    // A heartbeat counts for a client exactly when it is a whole record with
    // the client's name arriving on the client's own handle.
    const Snapshot after = Take();
    for (size_t i = 0; i < kClients; ++i) {
        if (after[i].first != before[i].first) continue;  // the check thread reopened this pipe meanwhile
        const bool accepted = strncmp(message.clientName, kNames[i], sizeof(message.clientName)) == 0 &&
                              before[i].first > 0 && handle == before[i].first;
        if (after[i].second != before[i].second + (accepted ? 1U : 0U) &&
            !(withPeer && after[i].second == before[i].second))
            abort();  // counted a heartbeat it had to drop, or dropped one it had to count
    }
}

// Any size, with or without data, misaligned or not, in a heap buffer that
// ends exactly at the announced size, so that reading past it is caught.
void DeliverRaw(FuzzedDataProvider& in) {
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    const int handle = PickHandle(in, Take(), flags % kClients);
    uint32_t size = in.ConsumeIntegral<uint16_t>();
    if ((flags & 0x40) != 0) size = static_cast<uint32_t>(kRecordSize - 1 + (flags & 0x3) % 3);  // 231..233
    const size_t offset = flags >> 7;
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(size);
    bytes.resize(size);
    auto* buffer = static_cast<unsigned char*>(calloc(std::max<size_t>(size + offset, 1), 1));
    if (size > 0) memcpy(buffer + offset, bytes.data(), size);
    LumoRequest request{0, (flags & 0x20) != 0 ? nullptr : buffer + offset, size, 0};
    checkheart::ServerPipeCallback(handle, &request);
    free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Register(0), Register(1), Register(2), true);
    (void)ready;
    FuzzedDataProvider in(data, size);
    for (int steps = 0; in.remaining_bytes() > 0 && steps < 64; ++steps) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>() % 10;
        const size_t client = in.ConsumeIntegral<uint8_t>() % kClients;
        if (op < 4) {
            DeliverRecord(in);
        } else if (op < 6) {
            DeliverRaw(in);
        } else if (op == 6) {
            checkheart::ServerPipeCallback(Take()[client].first, nullptr);
        } else if (op == 7) {
            checkheart::RunCheckCycle();
        } else if (op == 8) {
            (void)ReportHeartBeatLost(kNames[client], strlen(kNames[client]));
        } else if (UnregisterCheckHeartBeat(kNames[client], strlen(kNames[client])) != 0) {
            abort();
        } else {
            Register(client);  // with a new handle
        }
    }
    return 0;
}
