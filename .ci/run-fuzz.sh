#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for a bounded time
# from its seed corpus; any crash, leak or sanitizer report fails.
# Usage: .ci/run-fuzz.sh [seconds-per-target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
.ci/install-deps.sh clang
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    mkdir -p "$work/$name"
    echo "-- $name: ${seconds} s"
    # New inputs go to a scratch corpus; the seeds in the repo stay as they are.
    "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$name-" \
        "$work/$name" "fuzz/${name}_corpus" 2>&1 | grep -E "stat::number_of_executed_units|ERROR|SUMMARY" || true
    if ls "$work/$name-"* >/dev/null 2>&1; then
        echo "fuzz target $name found a failing input:" >&2
        ls "$work/$name-"* >&2
        exit 1
    fi
done
