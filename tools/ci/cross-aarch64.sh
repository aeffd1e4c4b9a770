#!/usr/bin/env bash
# Cross-builds the library, the tools and the unit tests for 64-bit ARM with
# Debian's cross toolchain and runs the tests under qemu-user (preset aarch64).
# Installs what is missing first (needs root and Debian's package archive).
# GoogleTest for the target is built from /usr/src/googletest.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=()
command -v aarch64-linux-gnu-g++ >/dev/null || packages+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || packages+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
if [ ${#packages[@]} -gt 0 ]; then
    echo "== installing ${packages[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

start=$(date +%s)
cmake --preset aarch64
cmake --build --preset aarch64 -j2
built=$(date +%s)
ctest --preset aarch64
done_=$(date +%s)
echo "aarch64: build $((built - start)) s, tests $((done_ - built)) s"
