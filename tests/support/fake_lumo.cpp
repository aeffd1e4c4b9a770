#include "support/fake_lumo.h"

#include <deque>
#include <mutex>

namespace {

enum Kind { kOpen, kSend, kClose };

struct State {
    std::deque<int> queued[3];
    int fallback[3] = {100, 0, 0};  // the next open's handle; send and close answer 0
    std::vector<fake_lumo::OpenCall> opens;
    std::vector<fake_lumo::SendCall> sends;
    std::vector<int> closes;
};

// Never destroyed: threads of the library may still call the fake during exit.
// No test calls the fake before main, so load-time construction is early enough.
std::mutex stateMutex;  // guards `state`
State& state = *new State();

// Records `call` (plenty for a test; a fuzz run, which calls without end, keeps
// only the first ones) and answers the first queued result, else the fallback.
template <typename Call>
int Answer(Kind kind, std::vector<Call> State::*calls, Call call) {
    std::lock_guard<std::mutex> lock(stateMutex);
    if ((state.*calls).size() < 100000) (state.*calls).push_back(std::move(call));
    int result = kind == kOpen ? state.fallback[kind]++ : state.fallback[kind];
    if (!state.queued[kind].empty()) {
        result = state.queued[kind].front();
        state.queued[kind].pop_front();
    }
    return result;
}

void Queue(Kind kind, std::initializer_list<int> results) {
    std::lock_guard<std::mutex> lock(stateMutex);
    state.queued[kind].insert(state.queued[kind].end(), results);
}

template <typename Call>
std::vector<Call> Copy(std::vector<Call> State::*calls) {
    std::lock_guard<std::mutex> lock(stateMutex);
    return state.*calls;
}

}  // namespace

extern "C" {

int LumoOpen(LumoOpenParam* param) {
    if (param == nullptr) return -22;
    return Answer(kOpen, &State::opens,
                  fake_lumo::OpenCall{param->peerName != nullptr ? param->peerName : "",
                                      param->selfName != nullptr ? param->selfName : "", param->callback,
                                      param->timeoutMs, param->isServer, param->gid, param->pipeMode, param->bindCore,
                                      param->enableCallback});
}

int LumoSendRequest(int handle, LumoRequest* request) {
    fake_lumo::SendCall call{handle, request != nullptr ? request->size : 0u, {}};
    if (request != nullptr && request->data != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(request->data);
        call.payload.assign(bytes, bytes + request->size);
    }
    return Answer(kSend, &State::sends, std::move(call));
}

int LumoClosePipe(int handle) { return Answer(kClose, &State::closes, handle); }

}  // extern "C"

namespace fake_lumo {

void QueueOpenResults(std::initializer_list<int> results) { Queue(kOpen, results); }
void QueueSendResults(std::initializer_list<int> results) { Queue(kSend, results); }
void QueueCloseResults(std::initializer_list<int> results) { Queue(kClose, results); }
void SetDefaultCloseResult(int result) {
    std::lock_guard<std::mutex> lock(stateMutex);
    state.fallback[kClose] = result;
}
std::vector<OpenCall> Opens() { return Copy(&State::opens); }
std::vector<SendCall> Sends() { return Copy(&State::sends); }
std::vector<int> Closes() { return Copy(&State::closes); }

}  // namespace fake_lumo
