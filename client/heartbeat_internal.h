// Internal view of the pipe heartbeat sender, for the library itself and for
// tests and benchmarks. Nothing here is exported from libheartbeat.so.
#ifndef CLIENT_HEARTBEAT_INTERNAL_H_
#define CLIENT_HEARTBEAT_INTERNAL_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "common/mutex.h"
#include "heartbeat_message.h"
#include "lumo.h"

// Process-wide state of the sender. The strings live in storage that is never
// destroyed (see heartbeat.cpp for why).
extern std::string& heartAppName;   // client name: selfName of every open, clientName of every record
extern std::string& heartPipeName;  // server name + "_heartbeat": peerName of every open
extern int heartPipeFd;             // handle of the last successful open
extern std::thread& heartThread;    // "SendHeart"
extern hb::Mutex heartMutex;        // held while isSending is written
extern std::atomic<bool> isSending; // the send loop goes on while true
extern bool isConnected;            // the last send succeeded; only the send thread uses it

// Opens the client's end of the pipe to heartPipeName (one immediate retry on
// -11); stores a non-negative result in heartPipeFd. Returns the open result.
int OpenHeartBeatPipe();

// The child handler of fork(): the child has no "SendHeart", and the parent's
// pipe is the parent's. The child's sender starts as in a new process (never
// registered, nothing to close), so its own RegisterSendHeartBeat() opens its
// own pipe and starts its own thread, and its UnregisterSendHeartBeat() never
// closes a handle of the parent's.
void ResetSenderInChild();

// Sets isSending and starts "SendHeart" unless it already runs. False when the
// thread cannot be created.
bool StartSendHeartBeatThread(const char* name, unsigned int timeoutTimes, int pipeHandle);

// Body of "SendHeart": a 3-second sleep and one SendOneHeartBeat() per cycle,
// until isSending is false at the end of a cycle.
void SendHeartBeatThread(unsigned int timeoutTimes, int pipeHandle);

// One send cycle without its sleep: ticks the watchdog, refills `record`,
// reopens the pipe into `pipeHandle` when the last send failed, sends, logs,
// then advances record.order and sets `previousSendTime` to this record's
// sendTime.
void SendOneHeartBeat(HeartBeatMessage& record, int& pipeHandle, uint64_t& previousSendTime,
                      unsigned int timeoutTimes);

// The pipe callback: a null request asks the client to close `pipeHandle`.
void ClientPipeCallback(int pipeHandle, const LumoRequest* request);

#endif  // CLIENT_HEARTBEAT_INTERNAL_H_
