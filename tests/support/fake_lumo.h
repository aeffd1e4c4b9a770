// A recording stand-in for the IPC pipe library (LumoOpen, LumoSendRequest,
// LumoClosePipe), linked into unit tests instead of the real one.
//
// Every call is recorded (the first 100,000 of each kind). Results come from a
// queue that the test fills; when a queue is empty, open answers the next handle
// of a counter (from 100 up, one step for every open), send and close answer 0.
// Safe to call from any thread. The fuzz targets link it too.
#ifndef TESTS_SUPPORT_FAKE_LUMO_H_
#define TESTS_SUPPORT_FAKE_LUMO_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lumo.h"

namespace fake_lumo {

struct OpenCall {
    std::string peerName, selfName;
    LumoOpenParam param;  // its name pointers cleared: they live only during the open
};

struct SendCall {
    int handle;
    std::vector<uint8_t> payload;  // the request's `size` bytes copied from data
};

void QueueOpenResults(const std::vector<int>& results);
void QueueSendResults(const std::vector<int>& results);
void QueueCloseResults(const std::vector<int>& results);

std::vector<OpenCall> Opens();
std::vector<SendCall> Sends();
std::vector<int> Closes();  // handles, in call order

}  // namespace fake_lumo

#endif  // TESTS_SUPPORT_FAKE_LUMO_H_
