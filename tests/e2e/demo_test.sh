#!/usr/bin/env bash
# Runs the supervision demo, which checks its own timeline (exit 0 only when
# every expected loss and recovery came and nothing else), and checks what it
# leaves behind.
#   demo_test.sh DEMO_SERVER               the whole run: exit 0
#   demo_test.sh DEMO_SERVER --interrupt   Ctrl-C after 4 s: exit 130
# Either way no client process and no pipe directory may survive the demo, and
# every client but the killed one exits cleanly.
set -u
demo=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() { cat "$out"; echo "FAIL: $*"; exit 1; }

if [ "${2:-}" = --interrupt ]; then
    setsid "$demo" >"$out" 2>&1 &  # Ctrl-C signals the demo's whole process group
    sleep 4 && kill -INT -- "-$!"
    wait "$!"; rc=$?
    [ "$rc" -eq 130 ] || fail "interrupted demo exited with $rc, not 130"
else
    "$demo" >"$out" 2>&1 || fail "demo exited with $?"
fi
# Lines: "<time>  exited <client> <pid> signal N" or "... exit status N".
awk '$2 == "exited" && !($5 == "exit" && $7 == "0") && !($3 == "crashing" && $6 == "9")' "$out" |
    grep -q . && fail "a client did not exit cleanly"
dir=$(sed -n 's/^pipe directory: //p' "$out")
[ -n "$dir" ] && [ ! -e "$dir" ] || fail "pipe directory '$dir' left behind"
for pid in $(awk '$2 == "started" || $2 == "restarted" { print $4 }' "$out"); do
    ! kill -0 "$pid" 2>/dev/null || fail "client process $pid still runs"
done
cat "$out"
