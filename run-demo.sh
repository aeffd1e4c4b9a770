#!/usr/bin/env bash
# Installs what is missing, builds the supervision demo and runs it: a process
# manager watching three client processes through libheartbeat (about 30
# seconds).
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target heartbeat_demo -j "$(nproc)" >/dev/null
exec ./build/default/examples/demo_server "$@"
