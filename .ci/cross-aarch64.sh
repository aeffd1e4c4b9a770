#!/usr/bin/env bash
# Cross-builds the library, the tools and the unit tests for 64-bit ARM with
# Debian's cross toolchain and runs the tests under qemu-user (preset aarch64).
# Installs what is missing first (.ci/install-deps.sh cross).
# GoogleTest for the target is built from /usr/src/googletest.
set -euo pipefail
cd "$(dirname "$0")/.."

.ci/install-deps.sh cross

start=$(date +%s)
cmake --preset aarch64
cmake --build --preset aarch64 -j2
built=$(date +%s)
ctest --preset aarch64
done_=$(date +%s)
echo "aarch64: build $((built - start)) s, tests $((done_ - built)) s"
