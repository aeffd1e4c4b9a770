#!/usr/bin/env bash
# heartbeat-monitor watching one heartbeat-send over the real IPC library: the
# sender killed shows up as exactly one loss, the sender started again as
# exactly one recovery, in the monitor's --json lines.
#   monitor_send_test.sh MONITOR SEND [EMULATOR...]
set -u
monitor=$1
send=$2
shift 2
emulator=("$@")  # runs the tools in a cross build; empty otherwise

work=$(mktemp -d /tmp/hbe2e.XXXXXX)
export LUMO_PIPE_DIR=$work/pipes  # private: nothing else answers under these names
events=$work/events
started=()
cleanup() {
    for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "--- monitor output"; cat "$events"
    echo "--- monitor stderr"; cat "$work/monitor.err"
    echo "--- sender stderr"; cat "$work/send.err"
    echo "FAIL: $*"
    exit 1
}

start_sender() {
    "${emulator[@]}" "$send" --name e2e_client --server E2E_MON --timeout-times 2 2>>"$work/send.err" &
    sender=$!
    started+=("$sender")
}

# Waits up to $2 seconds for a line matching $1 in the monitor's output.
wait_for() {
    local until=$((SECONDS + $2))
    while ! grep -q "$1" "$events"; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.2
    done
}

"${emulator[@]}" "$monitor" --json --name E2E_MON e2e_client >"$events" 2>"$work/monitor.err" &
monitor_pid=$!
started+=("$monitor_pid")
sleep 0.5  # the sender's open waits up to 3 s for the monitor's pipe anyway

start_sender
first=$sender
sleep 4.5  # the first heartbeat goes out 3 s after registration
kill -KILL "$first"
wait "$first" 2>/dev/null
# Lost after 2 silent check cycles of 3 s: 6 to 9 s after the last heartbeat.
wait_for '"event":"lost"' 15 || fail "no loss reported within 15 s of the kill"

start_sender
second=$sender
wait_for '"event":"recovered"' 12 || fail "no recovery within 12 s of the restart"
sleep 3.5  # one more check cycle: nothing else may come

kill -TERM "$monitor_pid"
wait "$monitor_pid" || fail "monitor exited with $?"
kill -TERM "$second"
wait "$second" || fail "restarted sender exited with $?"

lost='^{"time":"[0-9T:.Z-]*","event":"lost","client":"e2e_client","pid":'"$first"'}$'
recovered='^{"time":"[0-9T:.Z-]*","event":"recovered","client":"e2e_client","pid":'"$second"'}$'
[ "$(wc -l <"$events")" -eq 2 ] || fail "not exactly two events"
[ "$(grep -c "$lost" "$events")" -eq 1 ] || fail "no loss line with the killed sender's pid $first"
[ "$(sed -n 2p "$events" | grep -c "$recovered")" -eq 1 ] ||
    fail "second line is not the recovery with the new sender's pid $second"
! grep -Eq 'Sanitizer|runtime error' "$work/monitor.err" "$work/send.err" || fail "sanitizer report"
cat "$events"
