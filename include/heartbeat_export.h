// Symbol visibility of libheartbeat.
//
// The library is built with hidden visibility by default; HEARTBEAT_API marks
// the operations, classes and data that make up its external interface. Every
// other function of the library stays internal to libheartbeat.so.
#ifndef HEARTBEAT_EXPORT_H_
#define HEARTBEAT_EXPORT_H_

#define HEARTBEAT_API __attribute__((visibility("default")))
#define HEARTBEAT_HIDDEN __attribute__((visibility("hidden")))

#endif  // HEARTBEAT_EXPORT_H_
