#!/usr/bin/env bash
# Builds what the demo needs and runs it.
set -euo pipefail
cd "$(dirname "$0")"
cmake --preset default >/dev/null
cmake --build --preset default --target heartbeat_demo -j "$(nproc)" >/dev/null
exec ./build/default/examples/heartbeat_demo "$@"
