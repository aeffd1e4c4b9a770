// Shared-memory heartbeat channel: building blocks for a client and a checking
// process that exchange heartbeats through a one-page file under /dev/shm/.
//
// The checking process creates the channel file with
// InitHeartBeatMmapChannel(path, true, clientGid) and lists the page with
// StartListeningHeartBeatMmapChannel(); the client then calls
// InitSendHeartBeatWithMmap(). The channel file of client C checked by server S
// is "/dev/shm/" + C + "__to__" + S + "_mmap_heartbeat".
//
// Page layout (4096 bytes, native byte order):
//
//   offset size  field
//        0    4  heartMessageType  0 nothing written yet, 1 new record, 2 taken
//        4  232  HeartBeatMessage  the latest record
//      236 3860  spare             never written or read
//
// Hand-over: the writer copies the record first and then writes 1 into the
// head; the reader copies the head, and on 1 copies the record and writes 2.
#ifndef HEARTBEAT_MMAP_H_
#define HEARTBEAT_MMAP_H_

#include <string>

#include "heartbeat_export.h"

namespace VeHeartBeat {

// Opens (create == false) or creates (create == true) the channel file `path`
// and maps its 4096 bytes shared. Creation sets mode 0660 whatever the umask,
// gives the file the group `gid` and keeps the bytes of an existing file of
// that name, provided it is a regular file owned by this process's effective
// user; the opening side takes any regular file. A symbolic link at `path` is
// never followed, and a file refused is left untouched. Returns the mapping's
// address, or null after logging the cause (a failed mapping also deletes the
// file). The file's descriptor stays open (close-on-exec) until
// FiniHeartBeatMmapChannel(): the library reads and writes the page through
// it, so a file that another process cuts short or extends never raises
// SIGBUS in the library's threads. Any thread.
HEARTBEAT_API void* InitHeartBeatMmapChannel(const std::string& path, const bool& create,
                                             const unsigned& gid);

// Unmaps the page at `addr`, closes its descriptor and deletes the file `path`
// (an absent file is not an error). With a null `addr` only logs an error and
// leaves the file.
HEARTBEAT_API void FiniHeartBeatMmapChannel(void* addr, const std::string& path);

// Client side: opens the existing channel file for clientName checked by
// serverName and starts the thread "SendHeartMmap", which writes one record
// every 3 seconds with timeoutTimes as given. 0 on success; -1 when the file
// cannot be opened and mapped (the checking side has not created it); -11 when
// the thread cannot be started; -16 while a channel is open (one sender per
// process: call UnregisterSendHeartBeatWithMmap() before starting again).
HEARTBEAT_API int InitSendHeartBeatWithMmap(const std::string& clientName,
                                            const std::string& serverName,
                                            unsigned timeoutTimes);

// Stops the sender (waiting up to one 3-second cycle), unmaps and deletes the
// channel file. Always 0. Must not run concurrently with
// InitSendHeartBeatWithMmap().
HEARTBEAT_API int UnregisterSendHeartBeatWithMmap();

// Checking side: adds the mapped page `channel` of clientName to the listener
// and starts the thread "ReceiveHeartMmap" on first use. Every 3 seconds that
// thread takes a new record from each listed page and hands it to
// GetHeartBeatMessageFromClient() with handle -1 and HEART_CHANNEL_MMAP; a
// page whose file has been cut short is skipped and logged (rate-limited),
// and the other pages are still served. False
// when the name is already listed or the thread cannot be started (the next
// call tries again). Callers must not overlap their first two calls.
HEARTBEAT_API bool StartListeningHeartBeatMmapChannel(const std::string& clientName,
                                                      void* channel);

// Removes clientName from the listener. Once it returns the listener no longer
// touches that page, so the caller may unmap it. Unknown names are ignored.
HEARTBEAT_API void StopListenHeartBeatMmapChannel(const std::string& clientName);

}  // namespace VeHeartBeat

#endif  // HEARTBEAT_MMAP_H_
