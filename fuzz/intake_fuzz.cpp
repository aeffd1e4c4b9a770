// The checking side's pipe intake and check cycle driven by arbitrary steps, as
// the IPC library's receive thread and the check thread would drive them, with
// three registered clients.
//
// An input is a list of steps (read with FuzzedDataProvider), each one of:
//   deliver a record  232 bytes from the input, its name set to one of the
//                     clients, to nothing or left as the input has it
//                     (terminated or not), its sendTime now or raw, on the
//                     client's own handle, another client's, a stale or a
//                     foreign one; from a sender whose pid the IPC library
//                     knows (a pid from the input) or not; in a buffer of the
//                     announced size (232, one byte short or long, or as many
//                     bytes as the input had), misaligned or not, or as no
//                     data or a disconnect notice;
//   a check cycle, a lost report, or unregistering a client and registering it
//   again (its handle changes).
// Besides the sanitizers, the target checks what the checking side promises: a
// heartbeat counts for a client exactly when it is a whole record carrying the
// client's name and arriving on the client's own handle; every report names a
// registered client; a cycle reports a recovery only of a lost client, and
// reports a lost client lost again only when it has timed out anew.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "checker/checkheart_internal.h"
#include "heartbeat.h"

namespace {

const std::string kNames[] = {"alpha", "beta", "gamma"};
constexpr size_t kClients = 3;
constexpr size_t kRecordSize = sizeof(HeartBeatMessage);
constexpr size_t kNameField = sizeof(HeartBeatMessage::clientName);

// The latest verdict of the cycles on each client: lost or not, and the
// client's heartbeat count at a time-out loss (-1: not a time-out). Touched
// with stateMutex held.
struct Verdict { bool lost = false; int64_t timedOutAt = -1; } verdicts[kClients];
int32_t senderPid = 0;  // of the record under way; 0: the IPC library cannot tell

// Reports arrive with stateMutex held. A report names a registered client, or
// one that re-registers after it was reported exited (announced before its
// record is inserted).
void OnFault(const char* name, size_t length, int32_t, uint32_t isLost) {
    auto& state = checkheart::State();
    state.stateMutex.AssertHeld();
    if (name == nullptr || strlen(name) != length || isLost > 1 ||
        (state.stateMap.count(name) == 0 && state.exitClientSet.count(name) == 0))
        abort();
    // A cycle queues its reports in cycleReports; a lost report or a
    // registration reports outside any cycle and leaves the verdicts alone.
    if (state.cycleReports.empty()) return;
    // A time-out loss comes after silent cycles, while a loss on new
    // heartbeats (a failed watchdog) comes with none counted.
    const ClientMgrInfo& info = state.stateMap.at(name);
    Verdict& last = verdicts[std::find(kNames, kNames + kClients, name) - kNames];
    if (isLost == 0 ? !last.lost
                    : last.lost && (info.silentCycles == 0 || last.timedOutAt == info.heartCount))
        abort();  // a recovery of a client not lost, or a loss reported twice for one cause
    last = {isLost == 1, info.silentCycles != 0 ? int64_t{info.heartCount} : -1};
}

// Every client is registered, except inside the step that registers it anew.
std::vector<ClientMgrInfo> Take() {
    auto& state = checkheart::State();
    hb::MutexLock lock(&state.stateMutex);
    return {state.stateMap.at(kNames[0]), state.stateMap.at(kNames[1]),
            state.stateMap.at(kNames[2])};
}

void Register(const std::string& name) {
    if (RegisterCheckHeartBeat(name.c_str(), name.size(), 0, OnFault) != 0) abort();
}

void Deliver(FuzzedDataProvider& in, size_t owner) {
    const std::vector<ClientMgrInfo> before = Take();
    const uint8_t mode = in.ConsumeIntegral<uint8_t>(), shape = in.ConsumeIntegral<uint8_t>();
    // The owner's own handle mostly; else any client's, less 0 to 3 (a stale
    // one), or a foreign one (0 and -1 among them).
    const int pick = mode % 64;
    const int handle = pick < 32   ? before[owner].fd
                       : pick < 48 ? before[pick % 3].fd - pick / 3 % 4
                                   : pick - 56;
    HeartBeatMessage message{};
    const size_t got = in.ConsumeData(&message, kRecordSize);
    if (shape % 4 < 3)  // else the name as the input has it, terminated or not
        strncpy(message.clientName, shape % 4 < 2 ? kNames[owner].c_str() : "", kNameField);
    if ((shape & 4) != 0) message.sendTime = VeKov::GetCurrentTime();  // else mostly late or future
    // A known sender may also be refused: the record's pid is not the sender's,
    // or the client belongs to another running process.
    senderPid = (shape & 8) != 0 ? in.ConsumeIntegral<int32_t>() : 0;

    // In a heap buffer that ends at the announced size, so that reading past
    // it is caught; misaligned now and then, as a receive buffer may be.
    const size_t sizes[] = {kRecordSize, kRecordSize - 1, kRecordSize + 1, got};
    const size_t size = sizes[shape / 16 % 4], offset = shape / 64 % 2;
    std::vector<uint8_t> buffer(offset + size);
    std::copy_n(reinterpret_cast<const uint8_t*>(&message), std::min(size, kRecordSize),
                buffer.begin() + offset);
    LumoRequest request{0, buffer.data() + offset, static_cast<uint32_t>(size), 0};
    if (mode >= 240) request.data = nullptr;
    checkheart::ServerPipeCallback(handle, mode == 255 ? nullptr : &request);  // or a notice

    const std::vector<ClientMgrInfo> after = Take();
    for (size_t i = 0; i < kClients; ++i) {
        const bool counts = mode < 240 && size == kRecordSize && handle == before[i].fd &&
                            strncmp(message.clientName, kNames[i].c_str(), kNameField) == 0;
        const uint32_t beats = after[i].heartCount - before[i].heartCount;
        // Unless the check thread reopened the pipe meanwhile; a known sender may be refused.
        if (after[i].fd == before[i].fd && beats != (counts ? 1U : 0U) &&
            !(senderPid != 0 && beats == 0))
            abort();  // counted a heartbeat it had to drop, or dropped one it had to count
    }
}

}  // namespace

// Whether the IPC library knows who sent the record under way.
extern "C" int LumoGetRequestPeer(const LumoRequest*, LumoPeerCred* cred) {
    cred->pid = senderPid;
    return senderPid != 0 ? 0 : -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const auto ready = std::for_each(kNames, kNames + kClients, Register);
    FuzzedDataProvider in(data, size);
    for (int steps = 0; in.remaining_bytes() > 0 && steps < 64; ++steps) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>() % 8;
        const size_t client = in.ConsumeIntegral<uint8_t>() % kClients;
        if (op < 5) {
            Deliver(in, client);
        } else if (op == 5) {
            checkheart::RunCheckCycle();
        } else if (op == 6) {
            (void)ReportHeartBeatLost(kNames[client].c_str(), kNames[client].size());
        } else if (UnregisterCheckHeartBeat(kNames[client].c_str(), kNames[client].size()) != 0) {
            abort();
        } else {
            verdicts[client] = {};  // a new record, with a new handle
            Register(kNames[client]);
        }
    }
    return 0;
}
