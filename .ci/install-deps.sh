#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing: one `apt-get update` first when something is, nothing and
# no output when all is there. Needs root (or sudo) only when it installs.
# Usage: .ci/install-deps.sh [GROUP...]
#   (none)    the build, the tests, the tools, the demo and the install check
#   clang     the clang build and the libFuzzer targets (clang's runtimes)
#   memcheck  valgrind
#   cross     the 64-bit ARM cross toolchain, qemu-user and GoogleTest's sources
set -euo pipefail

base=(cmake make g++ pkgconf binutils python3
      libgtest-dev googletest libbenchmark-dev libcli11-dev
      python3-prometheus-client systemd libsystemd-dev)
declare -A groups=(
    [clang]="clang libclang-rt-dev"
    [memcheck]="valgrind"
    [cross]="g++-aarch64-linux-gnu qemu-user googletest"
)

wanted=("${base[@]}")
if [ $# -gt 0 ]; then
    wanted=()
    for group in "$@"; do
        [ -n "${groups[$group]+set}" ] || { echo "install-deps: no group '$group'" >&2; exit 2; }
        # shellcheck disable=SC2206  # the list is meant to split
        wanted+=(${groups[$group]})
    done
fi

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: as root: apt-get install ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
echo "== installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
