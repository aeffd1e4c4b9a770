#include "support/fake_lumo.h"

#include <deque>
#include <mutex>

namespace {

// Never destroyed: threads of the library may still call the fake during exit.
// No test calls the fake before main, so load-time construction is early enough.
struct State {
    std::mutex mutex;
    std::deque<int> openResults, sendResults, closeResults;
    int nextHandle = 100;
    std::vector<fake_lumo::OpenCall> opens;
    std::vector<fake_lumo::SendCall> sends;
    std::vector<int> closes;
}& state = *new State();

// Records `call` (plenty for a test; a fuzz run, which calls without end, keeps
// only the first ones) and answers the first queued result, else `fallback`.
// The caller holds state.mutex.
template <typename Call>
int Answer(std::vector<Call>& calls, Call call, std::deque<int>& queued, int fallback) {
    if (calls.size() < 100000) calls.push_back(std::move(call));
    if (queued.empty()) return fallback;
    fallback = queued.front();
    queued.pop_front();
    return fallback;
}

void Queue(std::deque<int>& queued, const std::vector<int>& results) {
    std::lock_guard<std::mutex> lock(state.mutex);
    queued.insert(queued.end(), results.begin(), results.end());
}

template <typename Calls>
Calls Copy(const Calls& calls) {
    std::lock_guard<std::mutex> lock(state.mutex);
    return calls;
}

}  // namespace

extern "C" {

// The library never passes a null block, name or request: none is checked for.
int LumoOpen(LumoOpenParam* param) {
    fake_lumo::OpenCall call{param->peerName, param->selfName, *param};
    call.param.peerName = call.param.selfName = nullptr;
    std::lock_guard<std::mutex> lock(state.mutex);
    return Answer(state.opens, std::move(call), state.openResults, state.nextHandle++);
}

int LumoSendRequest(int handle, LumoRequest* request) {
    const auto* bytes = static_cast<const uint8_t*>(request->data);
    fake_lumo::SendCall call{handle, {bytes, bytes + request->size}};
    std::lock_guard<std::mutex> lock(state.mutex);
    return Answer(state.sends, std::move(call), state.sendResults, 0);
}

int LumoClosePipe(int handle) {
    std::lock_guard<std::mutex> lock(state.mutex);
    return Answer(state.closes, handle, state.closeResults, 0);
}

}  // extern "C"

namespace fake_lumo {

void QueueOpenResults(const std::vector<int>& results) { Queue(state.openResults, results); }
void QueueSendResults(const std::vector<int>& results) { Queue(state.sendResults, results); }
void QueueCloseResults(const std::vector<int>& results) { Queue(state.closeResults, results); }
std::vector<OpenCall> Opens() { return Copy(state.opens); }
std::vector<SendCall> Sends() { return Copy(state.sends); }
std::vector<int> Closes() { return Copy(state.closes); }

}  // namespace fake_lumo
