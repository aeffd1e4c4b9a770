// Keeps `#include "support/fake_lumo.h"` and fake_lumo::Reset() of older
// benchmarks compiling against the benchmarks' own stand-in (bench_lumo.h),
// without reaching into the tests' support code. New benchmarks include
// bench_lumo.h directly.
#ifndef BENCH_SUPPORT_FAKE_LUMO_H_
#define BENCH_SUPPORT_FAKE_LUMO_H_

#include "bench_lumo.h"

namespace fake_lumo {
using bench_lumo::Reset;
}  // namespace fake_lumo

#endif  // BENCH_SUPPORT_FAKE_LUMO_H_
