#!/usr/bin/env bash
# Runs the supervision demo and checks its timeline and what it leaves behind.
#   demo_test.sh DEMO_SERVER               the whole run: exit 0, exactly one
#       loss and one recovery for each failing client, none for the healthy one
#   demo_test.sh DEMO_SERVER --interrupt   Ctrl-C after 4 s: exit 130
# Either way no client process and no pipe directory may survive the demo.
set -u
demo=$1
mode=${2:-}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

fail() {
    echo "--- demo output"
    cat "$out"
    echo "FAIL: $*"
    exit 1
}

if [ "$mode" = --interrupt ]; then
    # As Ctrl-C does: SIGINT to the demo's whole process group.
    setsid "$demo" >"$out" 2>&1 &
    demo_pid=$!
    sleep 4
    kill -INT -- "-$demo_pid"
    wait "$demo_pid"
    rc=$?
    [ "$rc" -eq 130 ] || fail "interrupted demo exited with $rc, not 130"
    grep -q '^interrupted: ' "$out" || fail "no line saying that it was interrupted"
else
    "$demo" >"$out" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "demo exited with $rc"
    # Timeline lines: "<seconds>  <event> <client> <pid> <cause>".
    count() { grep -Ec "^ *[0-9]+\.[0-9]+  $1 +$2 " "$out"; }
    for client in crashing stalling; do
        [ "$(count lost "$client")" -eq 1 ] || fail "$client: not exactly one loss"
        [ "$(count recovered "$client")" -eq 1 ] || fail "$client: not exactly one recovery"
    done
    [ "$(count '(lost|recovered)' healthy)" -eq 0 ] || fail "healthy was reported"
    # The killed client recovers as the new process the demo started.
    restarted=$(awk '$2 == "restarted" && $3 == "crashing" { print $4 }' "$out")
    recovered=$(awk '$2 == "recovered" && $3 == "crashing" { print $4 }' "$out")
    [ -n "$restarted" ] && [ "$restarted" = "$recovered" ] ||
        fail "crashing recovered as pid '$recovered', restarted as '$restarted'"
fi

# Clients stop cleanly when asked (the killed one aside), and no sanitizer
# complained in any of the processes.
# Lines: "<time>  exited <client> <pid> signal N" or "... exit status N".
awk '$2 == "exited" && $5 == "signal" && !($3 == "crashing" && $6 == "9")' "$out" | grep -q . &&
    fail "a client died by a signal"
awk '$2 == "exited" && $5 == "exit" && $7 != "0"' "$out" | grep -q . && fail "a client failed"
grep -Eq 'Sanitizer|runtime error' "$out" && fail "sanitizer report"

dir=$(sed -n 's/^pipe directory: //p' "$out")
[ -n "$dir" ] || fail "no pipe directory printed"
[ ! -e "$dir" ] || fail "pipe directory $dir left behind"
for pid in $(awk '$2 == "started" || $2 == "restarted" { print $4 }' "$out"); do
    ! kill -0 "$pid" 2>/dev/null || fail "client process $pid still runs"
done
cat "$out"
