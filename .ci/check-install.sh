#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds the small consumer
# against it twice, once with CMake's find_package and once with pkg-config
# exactly as README.md shows (PKG_CONFIG_PATH, an rpath, no LD_LIBRARY_PATH),
# builds the C consumer as C11 the same way, then runs them all and the
# installed tools.
# Usage: .ci/check-install.sh [build-dir]   (default: build/default,
# configured with the default preset if it is not there yet)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset default -S "$root" >/dev/null
fi
cmake --build "$build" -j2
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "check-install: $*" >&2; exit 1; }

pc=$(find "$prefix" -name libheartbeat.pc -print -quit)
[ -n "$pc" ] || fail "no libheartbeat.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/libheartbeat.so" "$libdir/libheartbeat.so.1" \
         "$prefix/include/libheartbeat/heartbeat.h" "$prefix/include/libheartbeat/kov_log.h" \
         "$prefix/include/libheartbeat/heartbeat_status.h" \
         "$libdir/cmake/libheartbeat/libheartbeatConfig.cmake" \
         "$prefix/bin/heartbeat-monitor" "$prefix/bin/heartbeat-send"; do
    [ -e "$f" ] || fail "missing $f"
done
soname=$(objdump -p "$libdir/libheartbeat.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libheartbeat.so.1 ] || fail "SONAME is '$soname', not libheartbeat.so.1"
if grep -q '^HEARTBEAT_USE_SYSTEM_LUMO:BOOL=OFF' "$build/CMakeCache.txt"; then
    for f in "$libdir/liblumo.so.1" "$prefix/include/libheartbeat/lumo.h"; do
        [ -e "$f" ] || fail "missing $f"
    done
fi

echo "== consumer built with find_package"
cmake -S "$root/examples/consumer" -B "$work/cmake-consumer" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/heartbeat_consumer"

echo "== consumer built with pkg-config, as README.md shows"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cd "$work"
cp "$root/examples/consumer/consumer.cpp" app.cpp
# shellcheck disable=SC2046  # the flags are meant to split
c++ -std=c++17 -o app app.cpp $(pkg-config --cflags --libs libheartbeat) \
    -Wl,-rpath,"$(pkg-config --variable=libdir libheartbeat)"
./app

echo "== C consumer, C11"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o c-consumer "$root/examples/consumer/consumer.c" \
    $(pkg-config --cflags --libs libheartbeat) -Wl,-rpath,"$(pkg-config --variable=libdir libheartbeat)"
./c-consumer

echo "== libheartbeat against a pipe library with only the three contract functions"
# The platform's own pipe library may replace ours at run time and knows
# nothing of our additions (peer credentials): libheartbeat must load and work
# without them.
mkdir -p stub
cat >stub/lumo_stub.cpp <<'STUB'
#include "lumo.h"
extern "C" {
int LumoOpen(LumoOpenParam* param) { return param != nullptr ? 7 : -22; }
int LumoSendRequest(int, LumoRequest* request) { return request != nullptr ? 0 : -22; }
int LumoClosePipe(int) { return 0; }
}
STUB
c++ -std=c++17 -shared -fPIC -o stub/liblumo.so.1 -Wl,-soname,liblumo.so.1 \
    -I"$prefix/include/libheartbeat" stub/lumo_stub.cpp
exports=$(nm -D --defined-only stub/liblumo.so.1 | awk '$2 == "T" { print $3 }' | sort | tr '\n' ' ')
[ "$exports" = "LumoClosePipe LumoOpen LumoSendRequest " ] || fail "stub exports '$exports'"
cat >stub/checker.c <<'PROGRAM'
#include <heartbeat.h>
#include <stdio.h>
static void OnFault(const char* name, size_t len, int32_t pid, uint32_t isLost) {
    (void)name; (void)len; (void)pid; (void)isLost;
}
int main(void) {
    int rc = RegisterCheckHeartBeat("alpha", 5, 0, OnFault);
    int unregistered = UnregisterCheckHeartBeat("alpha", 5);
    DisableAllCheckHeartBeat();
    printf("register %d, unregister %d\n", rc, unregistered);
    return rc == 0 && unregistered == 0 ? 0 : 1;
}
PROGRAM
# shellcheck disable=SC2046
cc -std=c11 -o stub/checker stub/checker.c $(pkg-config --cflags --libs libheartbeat)
LD_LIBRARY_PATH="$work/stub:$libdir" ldd stub/checker | grep -q "$work/stub/liblumo.so.1" \
    || fail "the stub pipe library is not the one loaded"
LD_LIBRARY_PATH="$work/stub:$libdir" stub/checker

echo "== installed tools"
"$prefix/bin/heartbeat-monitor" --version
"$prefix/bin/heartbeat-send" --version
echo "install check passed"
