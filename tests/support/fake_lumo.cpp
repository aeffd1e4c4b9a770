#include "support/fake_lumo.h"

#include <deque>
#include <mutex>

namespace {

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

template <typename Body>
auto Locked(Body body) {
    std::lock_guard<std::mutex> lock(stateMutex);
    return body(state);
}

void Queue(std::deque<int> State::*queue, std::initializer_list<int> results) {
    Locked([&](State& s) { (s.*queue).insert((s.*queue).end(), results); });
}

int Take(std::deque<int>& queue, int fallback) {
    if (!queue.empty()) {
        fallback = queue.front();
        queue.pop_front();
    }
    return fallback;
}

}  // namespace

extern "C" {

int LumoOpen(LumoOpenParam* param) {
    if (param == nullptr) {
        return -22;
    }
    fake_lumo::OpenCall call{param->peerName != nullptr ? param->peerName : "",
                             param->selfName != nullptr ? param->selfName : "",
                             param->callback, param->timeoutMs, param->isServer, param->gid, param->pipeMode,
                             param->bindCore, param->enableCallback, param->flags, param->reserved};
    return Locked([&](State& s) {
        s.opens.push_back(call);
        return Take(s.openResults, s.nextHandle++);
    });
}

int LumoSendRequest(int handle, LumoRequest* request) {
    fake_lumo::SendCall call{handle, request != nullptr ? request->size : 0u, {}};
    if (request != nullptr && request->data != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(request->data);
        call.payload.assign(bytes, bytes + request->size);
    }
    return Locked([&](State& s) {
        s.sends.push_back(std::move(call));
        return Take(s.sendResults, s.defaultSend);
    });
}

int LumoClosePipe(int handle) {
    return Locked([&](State& s) {
        s.closes.push_back(handle);
        return Take(s.closeResults, s.defaultClose);
    });
}

}  // extern "C"

namespace fake_lumo {

void Reset() { Locked([](State& s) { s = State(); }); }
void QueueOpenResults(std::initializer_list<int> r) { Queue(&State::openResults, r); }
void QueueSendResults(std::initializer_list<int> r) { Queue(&State::sendResults, r); }
void QueueCloseResults(std::initializer_list<int> r) { Queue(&State::closeResults, r); }
void SetDefaultCloseResult(int r) { Locked([r](State& s) { s.defaultClose = r; }); }
void SetDefaultSendResult(int r) { Locked([r](State& s) { s.defaultSend = r; }); }
std::vector<OpenCall> Opens() { return Locked([](State& s) { return s.opens; }); }
std::vector<SendCall> Sends() { return Locked([](State& s) { return s.sends; }); }
std::vector<int> Closes() { return Locked([](State& s) { return s.closes; }); }

}  // namespace fake_lumo
