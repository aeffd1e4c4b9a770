// A recording stand-in for the IPC pipe library (LumoOpen, LumoSendRequest,
// LumoClosePipe), linked into unit tests instead of the real one.
//
// Every call is recorded (the first 100,000 of each kind). Results come from a
// queue that the test fills; when a queue is empty, open answers the next handle
// of a counter (from 100 up), send answers 0 and close answers 0. Safe to call
// from any thread. The fuzz targets link it too.
#ifndef TESTS_SUPPORT_FAKE_LUMO_H_
#define TESTS_SUPPORT_FAKE_LUMO_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "lumo.h"

namespace fake_lumo {

struct OpenCall {
    std::string peerName, selfName;
    LumoCallback callback;
    uint32_t timeoutMs, isServer, gid, pipeMode;
    int32_t bindCore;
    uint8_t enableCallback;
};

struct SendCall {
    int handle;
    uint32_t size;
    std::vector<uint8_t> payload;  // `size` bytes copied from data (empty if null)
};

void QueueOpenResults(std::initializer_list<int> results);
void QueueSendResults(std::initializer_list<int> results);
void QueueCloseResults(std::initializer_list<int> results);
// Result of every close once the close queue is empty (default 0).
void SetDefaultCloseResult(int result);

std::vector<OpenCall> Opens();
std::vector<SendCall> Sends();
std::vector<int> Closes();  // handles, in call order

}  // namespace fake_lumo

#endif  // TESTS_SUPPORT_FAKE_LUMO_H_
