// The results of the library that are not negated errno values.
//
// Every other int result of the library is 0 or a negated errno value spelled
// with its <cerrno> name (-EINVAL, -EAGAIN, ...). The ones below are fixed at
// -1 by the interfaces that return them; the names say what the -1 means at
// each of those places, so that a reader never has to guess from a literal.
#ifndef COMMON_RESULT_H_
#define COMMON_RESULT_H_

namespace hb {

// A heartbeat channel could not be opened: the shared-memory page could not
// be created and mapped, or the receive pipe of a client could not be opened.
// The cause has been logged where it happened.
constexpr int kResultChannelNotOpened = -1;

// KickingTheDog for a thread name that is not registered with the watchdog.
constexpr int kResultThreadNotRegistered = -1;

// The restrained log's answer for a line that must not be printed now (its
// call site printed less than the window ago, or the log is being torn down).
constexpr int kResultLineSuppressed = -1;

}  // namespace hb

#endif  // COMMON_RESULT_H_
