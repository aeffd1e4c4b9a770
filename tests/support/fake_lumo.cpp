#include "support/fake_lumo.h"

#include <cstring>
#include <deque>
#include <mutex>

namespace {

struct State {
    std::mutex mutex;  // guards everything below
    std::deque<int> openResults;
    std::deque<int> sendResults;
    std::deque<int> closeResults;
    int defaultClose = 0;
    int defaultSend = 0;
    int nextHandle = 100;
    std::vector<fake_lumo::OpenCall> opens;
    std::vector<fake_lumo::SendCall> sends;
    std::vector<int> closes;
};

State& TheState() {
    static auto* state = new State();  // outlives threads still running at exit
    return *state;
}

int Take(std::deque<int>& queue, int fallback) {
    if (queue.empty()) {
        return fallback;
    }
    int result = queue.front();
    queue.pop_front();
    return result;
}

}  // namespace

extern "C" {

int LumoOpen(LumoOpenParam* param) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (param == nullptr) {
        return -22;
    }
    fake_lumo::OpenCall call;
    call.peerName = param->peerName != nullptr ? param->peerName : "";
    call.selfName = param->selfName != nullptr ? param->selfName : "";
    call.callback = param->callback;
    call.timeoutMs = param->timeoutMs;
    call.isServer = param->isServer;
    call.gid = param->gid;
    call.pipeMode = param->pipeMode;
    call.bindCore = param->bindCore;
    call.enableCallback = param->enableCallback;
    call.flags = param->flags;
    call.reserved = param->reserved;
    state.opens.push_back(call);
    return Take(state.openResults, state.nextHandle++);
}

int LumoSendRequest(int handle, LumoRequest* request) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    fake_lumo::SendCall call{handle, 0, {}};
    if (request != nullptr) {
        call.size = request->size;
        if (request->data != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(request->data);
            call.payload.assign(bytes, bytes + request->size);
        }
    }
    state.sends.push_back(std::move(call));
    return Take(state.sendResults, state.defaultSend);
}

int LumoClosePipe(int handle) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.closes.push_back(handle);
    return Take(state.closeResults, state.defaultClose);
}

}  // extern "C"

namespace fake_lumo {

void Reset() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.openResults.clear();
    state.sendResults.clear();
    state.closeResults.clear();
    state.defaultClose = 0;
    state.defaultSend = 0;
    state.nextHandle = 100;
    state.opens.clear();
    state.sends.clear();
    state.closes.clear();
}

void QueueOpenResults(std::initializer_list<int> results) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.openResults.insert(state.openResults.end(), results);
}

void QueueSendResults(std::initializer_list<int> results) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sendResults.insert(state.sendResults.end(), results);
}

void QueueCloseResults(std::initializer_list<int> results) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.closeResults.insert(state.closeResults.end(), results);
}

void SetDefaultCloseResult(int result) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.defaultClose = result;
}

void SetDefaultSendResult(int result) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.defaultSend = result;
}

std::vector<OpenCall> Opens() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.opens;
}

std::vector<SendCall> Sends() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.sends;
}

std::vector<int> Closes() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.closes;
}

}  // namespace fake_lumo
