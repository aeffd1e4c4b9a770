#!/usr/bin/env bash
# heartbeat-send supervising real commands under the real heartbeat-monitor:
# each scenario runs as its own client, all at once, and every fault must
# show up in the monitor's --json lines with the command's pid. Prints the
# delay from each fault to its loss line.
#   send_e2e_test.sh MONITOR SEND
set -u
monitor=$1
send=$2
command -v systemd-notify >/dev/null || { echo "SKIP: systemd-notify not installed"; exit 77; }

work=$(mktemp -d /tmp/hbsend.XXXXXX)
export LUMO_PIPE_DIR=$work/pipes  # private: nothing else answers under these names
export TMPDIR=$work               # the notification sockets' directories go here too
cleanup() {
    while read -r pid; do kill -KILL "$pid" 2>/dev/null; done <"$work/pids"
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
: >"$work/pids"

now() { date +%s.%N; }
elapsed() { awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }  # seconds from $1 to $2
below() { awk "BEGIN { exit !($1 < $2) }"; }
gone() {  # the process ended (a zombie that nobody reaps counts as ended)
    [ ! -e "/proc/$1/stat" ] || [ "$(sed -E 's/.*\) (.).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

# start NAME MONITOR [OPTIONS...] -- COMMAND...: a supervised client whose
# command writes its pid to $work/NAME.pid; sets $wrapper and $workload.
start() {
    local name=$1 server=$2
    shift 2
    "$send" --name "$name" --server "$server" --timeout-times 2 "$@" 2>"$work/$name.err" &
    wrapper=$!
    echo "$wrapper" >>"$work/pids"
    for _ in $(seq 100); do [ -s "$work/$name.pid" ] && break; sleep 0.05; done
    workload=$(cat "$work/$name.pid")
    echo "$workload" >>"$work/pids"
}
pidfile() { echo "echo \$\$ >$work/$1.pid; exec"; }

# wait_event FILE NAME EVENT PID SECONDS: waits for the next such line (the
# count seen so far is kept per client and event); prints its epoch time.
wait_event() {
    local file=$1 name=$2 event=$3 pid=$4 until=$((SECONDS + $5)) counter="$work/$2.$3.count"
    local line='"event":"'$event'","client":"'$name'","pid":'$pid'[,}]'  # more fields may follow
    local seen=$(cat "$counter" 2>/dev/null || echo 0)
    while [ "$(grep -c "$line" "$file")" -le "$seen" ]; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.1
    done
    echo $((seen + 1)) >"$counter"
    date -d "$(grep "$line" "$file" | sed -n "$((seen + 1))p" | sed -E 's/.*"time":"([^"]*)".*/\1/')" +%s.%N
}

fail() { echo "FAIL $1: $2" >"$work/$1.result"; exit 1; }
pass() { echo "PASS $1: $2" >"$work/$1.result"; }

# The wrapper SIGKILLed: the command goes at once, the client is lost.
scenario_killed() {
    start killed MON -- sh -c "$(pidfile killed) sleep 300"
    sleep 4
    kill -KILL "$wrapper"
    local fault=$(now) t=0
    wait "$wrapper" 2>/dev/null
    until gone "$workload"; do
        t=$((t + 1)); [ "$t" -lt 100 ] || fail killed "command still runs 1 s after the wrapper's SIGKILL"
        sleep 0.01
    done
    local ended=$(now)
    local lost=$(wait_event "$work/events" killed lost "$workload" 20) || fail killed "no loss"
    pass killed "command gone after $(elapsed "$fault" "$ended") s, lost after $(elapsed "$fault" "$lost") s"
}

# The command stopped: lost while it stays stopped (and still exists), back when continued.
scenario_stopped() {
    start stopped MON -- sh -c "$(pidfile stopped) sleep 300"
    sleep 4
    kill -STOP "$workload"
    local fault=$(now)
    local lost=$(wait_event "$work/events" stopped lost "$workload" 20) || fail stopped "no loss"
    gone "$workload" && fail stopped "the command did not survive its loss"
    kill -CONT "$workload"
    local back=$(now)
    local recovered=$(wait_event "$work/events" stopped recovered "$workload" 12) || fail stopped "no recovery"
    pass stopped "lost after $(elapsed "$fault" "$lost") s, recovered $(elapsed "$back" "$recovered") s after SIGCONT"
}

# --check failing, then hanging (its whole process group is killed at the time limit).
scenario_check() {
    touch "$work/check.ok"
    start check MON --check "test -e $work/check.ok && { test ! -e $work/check.hang || exec sleep 61; }" \
        -- sh -c "$(pidfile check) sleep 300"
    sleep 4
    rm "$work/check.ok"
    local fault=$(now)
    local lost=$(wait_event "$work/events" check lost "$workload" 20) || fail check "no loss when failing"
    local failing=$(elapsed "$fault" "$lost")
    touch "$work/check.ok"
    wait_event "$work/events" check recovered "$workload" 12 >/dev/null || fail check "no recovery"
    touch "$work/check.hang"
    fault=$(now)
    lost=$(wait_event "$work/events" check lost "$workload" 20) || fail check "no loss when hanging"
    rm "$work/check.hang"
    wait_event "$work/events" check recovered "$workload" 12 >/dev/null || fail check "no second recovery"
    pgrep -f "^sleep 61$" >/dev/null && fail check "a timed-out check still runs"
    pass check "failing: lost after $failing s; hanging: lost after $(elapsed "$fault" "$lost") s"
}

# --notify with `heartbeat-send notify` from a script: READY=1 and WATCHDOG=1
# keep it alive (each run takes over a second under the thread sanitizer, so
# the ping time-out leaves room); pings stopping lose it.
scenario_pings() {
    touch "$work/pings.on"
    start pings MON --notify --ping-timeout 3 -- bash -c "$(pidfile pings) bash -c '
        $send notify READY=1
        while test -e $work/pings.on; do $send notify WATCHDOG=1; sleep 0.5; done
        sleep 300'"
    sleep 8
    grep -q '"client":"pings"' "$work/events" && fail pings "an event while pinging"
    rm "$work/pings.on"
    local fault=$(now)
    local lost=$(wait_event "$work/events" pings lost "$workload" 25) || fail pings "no loss"
    pass pings "lost $(elapsed "$fault" "$lost") s after the last ping (ping time-out 3 s)"
}

# --notify with systemd-notify, a client of the protocol written elsewhere:
# its pings keep it alive, WATCHDOG=trigger loses it at the next check.
scenario_trigger() {
    start trigger MON --notify --ping-timeout 1.5 -- bash -c "$(pidfile trigger) bash -c '
        systemd-notify --ready
        while sleep 0.5; do
            systemd-notify WATCHDOG=1
            test -e $work/trigger.now && rm $work/trigger.now && systemd-notify WATCHDOG=trigger
        done'"
    sleep 8
    grep -q '"client":"trigger"' "$work/events" && fail trigger "an event while pinging"
    touch "$work/trigger.now"
    local fault=$(now)
    local lost=$(wait_event "$work/events" trigger lost "$workload" 10) || fail trigger "no loss"
    local delay=$(elapsed "$fault" "$lost")
    below "$delay" 4.5 || fail trigger "lost only after $delay s"
    # systemd-notify exits as soon as its barrier is released: its datagrams
    # must have been judged while it still existed.
    grep -q "ignoring notifications" "$work/trigger.err" "$work/pings.err" &&
        fail trigger "a notification from the command's own tree was not believed"
    pass trigger "lost $delay s after WATCHDOG=trigger"
}

# Started 10 s before its server; then SIGTERM reaches the command through the
# wrapper, which exits with the command's status, and the loss proves that
# heartbeats flowed (a client never heard from is not reported).
scenario_late() {
    start late LATEMON -- sh -c "$(pidfile late) sleep 300"
    sleep 10
    "$monitor" --json --name LATEMON late >"$work/late.events" 2>>"$work/monitor.err" &
    echo $! >>"$work/pids"
    sleep 5
    kill -TERM "$wrapper"
    local fault=$(now)
    wait "$wrapper"
    local status=$?
    [ "$status" = 143 ] || fail late "wrapper exited with $status, not the command's 143"
    wait_event "$work/late.events" late lost "$workload" 20 >/dev/null || fail late "no loss"
    grep -q "cannot send heartbeats as late to LATEMON: no server listening at $LUMO_PIPE_DIR/LATEMON_heartbeat@late; trying again" \
        "$work/late.err" || fail late "no line naming the missing server's pipe"
    grep -q "sending heartbeats as late to LATEMON" "$work/late.err" || fail late "no line when the server came"
    pass late "supervised once its server came"
}

# A short command: its status, at once; and the line for a server that does not watch the name.
scenario_quick() {
    local begin=$(now)
    "$send" --name quick --server MON --timeout-times 2 -- sh -c 'exit 7' 2>"$work/quick.err"
    local status=$? took=$(elapsed "$begin" "$(now)")
    [ "$status" = 7 ] || fail quick "exit status $status, not 7"
    below "$took" 2 || fail quick "took $took s"
    grep -q "server MON runs but does not watch quick" "$work/quick.err" || fail quick "no line saying MON does not watch quick"
    pass quick "'-- sh -c \"exit 7\"' exited with 7 after $took s"
}

"$monitor" --json --name MON killed stopped check pings trigger >"$work/events" 2>"$work/monitor.err" &
echo $! >>"$work/pids"
sleep 0.5
scenarios=(killed stopped check pings trigger late quick)
for s in "${scenarios[@]}"; do "scenario_$s" & done
wait_for=$((SECONDS + 90))
for s in "${scenarios[@]}"; do
    until [ -e "$work/$s.result" ] || [ "$SECONDS" -ge "$wait_for" ]; do sleep 0.2; done
done
status=0
for s in "${scenarios[@]}"; do
    if [ -e "$work/$s.result" ]; then cat "$work/$s.result"; else echo "FAIL $s: timed out"; fi
    grep -q "^PASS" "$work/$s.result" 2>/dev/null || status=1
done
if [ "$status" != 0 ] || grep -Eq 'Sanitizer|runtime error' "$work"/*.err; then
    for f in "$work"/events "$work"/*.events "$work"/*.err; do echo "--- $f"; cat "$f"; done
    exit 1
fi
