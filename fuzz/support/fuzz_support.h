// What the fuzz targets share: a syslog that keeps nothing, and a stand-in IPC
// library whose opens hand out handles from 100 up and remember the callback
// of each, so a target can deliver arbitrary requests as the IPC library would.
#ifndef FUZZ_SUPPORT_FUZZ_SUPPORT_H_
#define FUZZ_SUPPORT_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>

#include "lumo.h"

namespace fuzz_support {

// Number of lines written to syslog so far.
size_t LinesWritten();

// The callback given to the open that returned `handle`, or null.
LumoCallback* CallbackOf(int handle);

}  // namespace fuzz_support

#endif  // FUZZ_SUPPORT_FUZZ_SUPPORT_H_
