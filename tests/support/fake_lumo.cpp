#include "support/fake_lumo.h"

#include <deque>
#include <mutex>

namespace {

// Plenty for a test; a fuzz run, which opens and closes without end, keeps only the first calls.
constexpr size_t kKeptCalls = 100000;

struct State {
    std::deque<int> openResults, sendResults, closeResults;
    int defaultClose = 0, defaultSend = 0, nextHandle = 100;
    std::vector<fake_lumo::OpenCall> opens;
    std::vector<fake_lumo::SendCall> sends;
    std::vector<int> closes;
};

// Never destroyed: threads of the library may still call the fake during exit.
// No test calls the fake before main, so load-time construction is early enough.
std::mutex stateMutex;  // guards `state`
State& state = *new State();

// Records `call`, and answers the first queued result, else the fallback (which then moves on by `step`).
template <typename Call>
int Answer(std::vector<Call> State::*calls, Call call, std::deque<int> State::*results, int State::*fallback,
           int step = 0) {
    std::lock_guard<std::mutex> lock(stateMutex);
    if ((state.*calls).size() < kKeptCalls) (state.*calls).push_back(std::move(call));
    std::deque<int>& queue = state.*results;
    int result = state.*fallback;
    state.*fallback += step;
    if (!queue.empty()) {
        result = queue.front();
        queue.pop_front();
    }
    return result;
}

void Queue(std::deque<int> State::*queue, std::initializer_list<int> results) {
    std::lock_guard<std::mutex> lock(stateMutex);
    (state.*queue).insert((state.*queue).end(), results);
}

template <typename Result>
Result Copy(Result State::*calls) {
    std::lock_guard<std::mutex> lock(stateMutex);
    return state.*calls;
}

}  // namespace

extern "C" {

int LumoOpen(LumoOpenParam* param) {
    if (param == nullptr) return -22;
    fake_lumo::OpenCall call{param->peerName != nullptr ? param->peerName : "",
                             param->selfName != nullptr ? param->selfName : "",
                             param->callback, param->timeoutMs, param->isServer, param->gid, param->pipeMode,
                             param->bindCore, param->enableCallback};
    return Answer(&State::opens, std::move(call), &State::openResults, &State::nextHandle, 1);
}

int LumoSendRequest(int handle, LumoRequest* request) {
    fake_lumo::SendCall call{handle, request != nullptr ? request->size : 0u, {}};
    if (request != nullptr && request->data != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(request->data);
        call.payload.assign(bytes, bytes + request->size);
    }
    return Answer(&State::sends, std::move(call), &State::sendResults, &State::defaultSend);
}

int LumoClosePipe(int handle) { return Answer(&State::closes, handle, &State::closeResults, &State::defaultClose); }

}  // extern "C"

namespace fake_lumo {

void QueueOpenResults(std::initializer_list<int> r) { Queue(&State::openResults, r); }
void QueueSendResults(std::initializer_list<int> r) { Queue(&State::sendResults, r); }
void QueueCloseResults(std::initializer_list<int> r) { Queue(&State::closeResults, r); }
void SetDefaultCloseResult(int r) {
    std::lock_guard<std::mutex> lock(stateMutex);
    state.defaultClose = r;
}
std::vector<OpenCall> Opens() { return Copy(&State::opens); }
std::vector<SendCall> Sends() { return Copy(&State::sends); }
std::vector<int> Closes() { return Copy(&State::closes); }

}  // namespace fake_lumo
