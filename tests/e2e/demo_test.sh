#!/usr/bin/env bash
# Runs the supervision demo, which checks its own timeline (exit 0 only when
# every expected loss and recovery came and nothing else), and checks what it
# leaves behind.
#   demo_test.sh DEMO_SERVER               the whole run: exit 0
#   demo_test.sh DEMO_SERVER --interrupt   Ctrl-C after 4 s: exit 130
# Either way no client process and no pipe directory may survive the demo, and
# every client but the killed one exits cleanly.
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() { cat "$out"; echo "FAIL: $*"; exit 1; }

want=0
setsid "$1" >"$out" 2>&1 &  # Ctrl-C signals the demo's whole process group
[ "${2:-}" = --interrupt ] && want=130 && sleep 4 && kill -INT -- "-$!"
wait "$!"
rc=$?
[ "$rc" -eq "$want" ] || fail "demo exited with $rc, not $want"
# Lines: "<time>  exited <client> <pid> signal N" or "... exit status N".
awk '$2 == "exited" && !($5 == "exit" && $7 == "0") && !($3 == "crashing" && $6 == "9")' "$out" |
    grep -q . && fail "a client did not exit cleanly"
dir=$(sed -n 's/^pipe directory: //p' "$out")
[ -n "$dir" ] && [ ! -e "$dir" ] || fail "pipe directory '$dir' left behind"
# kill answers 0 if it could signal any of them.
# shellcheck disable=SC2046  # one pid per word
! kill -0 $(awk '$2 == "started" || $2 == "restarted" { print $4 }' "$out") 2>/dev/null ||
    fail "a client process still runs"
cat "$out"
