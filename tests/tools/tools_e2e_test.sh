#!/usr/bin/env bash
# Both tools as their users run them: heartbeat-send supervising ordinary
# commands under heartbeat-monitor, one real fault per client, all at once;
# then the monitor's status, metrics file (read by Prometheus' own parser),
# hooks, reload and exit. Prints the delay from each fault to its loss line.
#   tools_e2e_test.sh MONITOR SEND
set -u
monitor=$1
send=$2
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || { echo "SKIP: no python3-prometheus-client"; exit 77; }

work=$(mktemp -d /tmp/hbtools.XXXXXX)
export LUMO_PIPE_DIR=$work/pipes  # private: nothing else answers under these names
export TMPDIR=$work               # the notification sockets' directories go here too
mkdir "$LUMO_PIPE_DIR"
cleanup() {
    while read -r pid; do kill -KILL "$pid" 2>/dev/null; done <"$work/pids"
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
: >"$work/pids"

now() { date +%s.%N; }
elapsed() { awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }  # seconds from $1 to $2
gone() {  # the process ended (a zombie that nobody reaps counts as ended)
    [ ! -e "/proc/$1/stat" ] || [ "$(sed -E 's/.*\) (.).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]
}
fail() { echo "FAIL $1: $2" >"$work/$1.result"; exit 1; }
pass() { echo "PASS $1: $2" >"$work/$1.result"; }

# start NAME [OPTIONS...] -- COMMAND...: a client of MON whose command writes
# its pid to $work/NAME.pid first; sets $wrapper and $workload.
start() {
    local name=$1
    shift
    "$send" --name "$name" --server MON --timeout-times 2 "$@" 2>"$work/$name.err" &
    wrapper=$!
    echo "$wrapper" >>"$work/pids"
    for _ in $(seq 100); do [ -s "$work/$name.pid" ] && break; sleep 0.05; done
    workload=$(cat "$work/$name.pid")
    echo "$workload" >>"$work/pids"
}
pidfile() { echo "echo \$\$ >$work/$1.pid; exec"; }

# wait_event NAME EVENT REST SECONDS: waits for the next line of NAME's EVENT
# whose pid and cause read REST (the count seen so far is kept per client and
# event); prints its epoch time.
wait_event() {
    local line='"event":"'$2'","client":"'$1'","pid":'$3 until=$((SECONDS + $4)) counter="$work/$1.$2.count"
    local seen=$(cat "$counter" 2>/dev/null || echo 0)
    while [ "$(grep -cF "$line" "$work/events")" -le "$seen" ]; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.1
    done
    echo $((seen + 1)) >"$counter"
    date -d "$(grep -F "$line" "$work/events" | sed -n "$((seen + 1))p" | sed -E 's/.*"time":"([^"]*)".*/\1/')" +%s.%N
}

# The wrapper SIGKILLed: its command goes at once (PDEATHSIG), the client is lost as exited.
scenario_killed() {
    start killed -- sh -c "$(pidfile killed) sleep 300"
    sleep 4
    kill -KILL "$wrapper"
    local fault=$(now) t=0
    wait "$wrapper" 2>/dev/null
    until gone "$workload"; do
        t=$((t + 1)); [ "$t" -lt 100 ] || fail killed "command still runs 1 s after the wrapper's SIGKILL"
        sleep 0.01
    done
    local lost=$(wait_event killed lost "$workload,\"cause\":\"exited\"}" 20) || fail killed "no loss as exited"
    pass killed "lost after $(elapsed "$fault" "$lost") s"
}

# The command stopped: lost while it stays stopped (and still exists), back when continued.
scenario_stopped() {
    start stopped -- sh -c "$(pidfile stopped) sleep 300"
    sleep 4
    kill -STOP "$workload"
    local fault=$(now)
    local lost=$(wait_event stopped lost "$workload,\"cause\":\"stopped\"}" 20) || fail stopped "no loss as stopped"
    gone "$workload" && fail stopped "the command did not survive its loss"
    kill -CONT "$workload"
    wait_event stopped recovered "$workload}" 12 >/dev/null || fail stopped "no recovery"
    pass stopped "lost after $(elapsed "$fault" "$lost") s"
}

# --check failing (the command runs on: hung), then hanging: no heartbeat for
# that cycle, and its whole process group is killed at the time limit.
scenario_check() {
    touch "$work/check.ok"
    start check --check "test -e $work/check.ok && { test ! -e $work/check.hang || { sleep 61; exit 0; }; }" \
        -- sh -c "$(pidfile check) sleep 300"
    sleep 4
    rm "$work/check.ok"
    local fault=$(now)
    local lost=$(wait_event check lost "$workload,\"cause\":\"hung\"}" 20) || fail check "no loss when failing"
    touch "$work/check.ok"
    wait_event check recovered "$workload}" 12 >/dev/null || fail check "no recovery"
    touch "$work/check.hang"
    wait_event check lost "$workload,\"cause\":\"hung\"}" 20 >/dev/null || fail check "no loss when hanging"
    rm "$work/check.hang"
    wait_event check recovered "$workload}" 12 >/dev/null || fail check "no second recovery"
    pgrep -f "^sleep 61$" >/dev/null && fail check "a timed-out check's child still runs"
    pass check "lost $(elapsed "$fault" "$lost") s after the check began to fail"
}

# --notify with `heartbeat-send notify` from a script: READY=1 and WATCHDOG=1
# keep it alive (each run takes over a second under the thread sanitizer, so
# the ping time-out leaves room); WATCHDOG=trigger loses it, then pings
# stopping lose it again.
scenario_pings() {
    touch "$work/pings.on"
    start pings --notify --ping-timeout 3 -- bash -c "$(pidfile pings) bash -c '
        $send notify READY=1
        while test -e $work/pings.on; do
            $send notify WATCHDOG=1; sleep 0.5
            test -e $work/pings.now && rm $work/pings.now && $send notify WATCHDOG=trigger
        done
        sleep 300'"
    sleep 8
    grep -q '"client":"pings"' "$work/events" && fail pings "an event while pinging"
    touch "$work/pings.now"
    local fault=$(now)
    local lost=$(wait_event pings lost "$workload,\"cause\":\"watchdog\"}" 10) || fail pings "no loss at the trigger"
    wait_event pings recovered "$workload}" 12 >/dev/null || fail pings "no recovery"
    rm "$work/pings.on"
    wait_event pings lost "$workload," 25 >/dev/null || fail pings "no loss when the pings stopped"
    grep -q "ignoring notifications" "$work/pings.err" && fail pings "its own tree's notifications were not believed"
    pass pings "lost $(elapsed "$fault" "$lost") s after WATCHDOG=trigger"
}

# Started before its server; SIGTERM reaches the command through the wrapper,
# which exits with the command's status, and the loss proves that heartbeats
# flowed (a client never heard from is reported missing instead).
scenario_late() {
    start late -- sh -c "$(pidfile late) sleep 300"
    sleep 8
    kill -TERM "$wrapper"
    wait "$wrapper"
    local status=$?
    [ "$status" = 143 ] || fail late "wrapper exited with $status, not the command's 143"
    wait_event late lost "$workload," 20 >/dev/null || fail late "no loss"
    grep -q "cannot send heartbeats as late to MON: no server listening at $LUMO_PIPE_DIR/MON_heartbeat@late; trying again" \
        "$work/late.err" || fail late "no line naming the missing server's pipe"
    grep -q "sending heartbeats as late to MON" "$work/late.err" || fail late "no line when the server came"
    pass late "supervised once its server came"
}

# A short command: its status at once, and a line for a server that does not watch the name.
scenario_quick() {
    "$send" --name quick --server MON --timeout-times 2 -- sh -c 'exit 7' 2>"$work/quick.err"
    local status=$?
    [ "$status" = 7 ] || fail quick "exit status $status, not 7"
    grep -q "server MON runs but does not watch quick" "$work/quick.err" || fail quick "no line saying so"
    pass quick "exited with 7"
}

scenario_late &
late_pid=$!
sleep 2
# A second monitor, REL, takes its clients from a config file and is reloaded later.
configure() { printf 'json = true\nstartup-grace = 0\nclients = [%s]\n' "$1" >"$work/rel.toml"; }
configure '"alpha", "beta"'
"$monitor" --name REL --config "$work/rel.toml" >"$work/rel.events" 2>"$work/rel.err" &
rel_pid=$!
echo "$rel_pid" >>"$work/pids"
# Each hook records what it got, then overstays its limit.
hook="printf '%s|%s|%s;' \"\$HEARTBEAT_EVENT\" \"\${HEARTBEAT_CAUSE:--}\" \"\$HEARTBEAT_CLIENT\" >>$work/hooks; exec sleep 30"
"$monitor" --json --name MON --startup-grace 6 --metrics-file "$work/hb.prom" --hook-timeout 1 --on-lost "$hook" \
    ghost $'new\nline' killed stopped check pings late >"$work/events" 2>"$work/monitor.err" &
monitor_pid=$!
echo "$monitor_pid" >>"$work/pids"
sleep 0.5
for s in killed stopped check pings quick; do "scenario_$s" & scenario_pids+=($!); done
wait "$late_pid" "${scenario_pids[@]}"
cat "$work"/*.result
status=0
[ "$(cat "$work"/*.result | grep -c ^PASS)" = 6 ] || status=1

# A hook for each event with its cause; the status document and the metrics
# file agree; names are escaped in both.
cat >"$work/check.py" <<'EOF'
import json, sys
from prometheus_client.parser import text_string_to_metric_families
w = sys.argv[1]
events = [json.loads(line) for line in open(w + "/events")]
hooks = [tuple(h.split("|", 2)) for h in open(w + "/hooks").read().split(";") if h]
assert sorted((e["event"], e.get("cause", "-"), e["client"]) for e in events if e["event"] != "recovered") == \
    sorted(hooks), hooks
status = json.loads(open(w + "/status.json").read())
m = {(s.name, s.labels["client"], s.labels.get("state")): s.value
     for f in text_string_to_metric_families(open(w + "/hb.prom").read()) for s in f.samples if "client" in s.labels}
for c in status["clients"]:
    n = c["name"]
    assert m["heartbeat_client_state", n, c["state"]] == 1 and m["heartbeat_client_up", n, None] == (c["state"] == "alive")
    assert m["heartbeat_client_losses_total", n, None] == c["losses"], n
k = [c for c in status["clients"] if c["name"] == "killed"][0]
assert (k["state"], k["last_cause"], k["losses"]) == ("lost", "exited", 1), k
assert sorted(c["name"] for c in status["clients"]) == sorted(sys.argv[2:]), status
EOF
check() {
    "$monitor" status --name MON --json >"$work/status.json" &&
        /usr/bin/python3 "$work/check.py" "$work" ghost $'new\nline' killed stopped check pings late 2>"$work/check.err"
}
for _ in $(seq 10); do check && break; sleep 0.5; done
check || { cat "$work/check.err"; status=1; }
"$monitor" status --name MON >"$work/table"
grep -Eq '^killed +lost +[0-9]+ +[0-9.]+s ago +[0-9]+/2 +1 +0 +exited$' "$work/table" || { echo "FAIL status table"; status=1; }
grep -Eq '^new\\x0aline +waiting +- +- ' "$work/table" || { echo "FAIL escaped name in the table"; status=1; }

# SIGHUP: beta goes, gamma comes, alpha stays as it was (reported missing once).
configure '"alpha", "gamma"'
kill -HUP "$rel_pid"
for _ in $(seq 50); do grep -q gamma "$work/rel.events" && break; sleep 0.2; done
[ "$(grep -o '"event":"[a-z]*","client":"[a-z]*' "$work/rel.events" | tr '\n' ' ')" = \
    '"event":"missing","client":"alpha "event":"missing","client":"beta "event":"missing","client":"gamma ' ] &&
    [ ! -e "$LUMO_PIPE_DIR/REL_heartbeat@beta" ] || { echo "FAIL reload"; cat "$work/rel.events"; status=1; }

# A clean exit leaves no file behind, and then nobody answers.
kill -TERM "$monitor_pid"
wait "$monitor_pid" || { echo "FAIL monitor exit status $?"; status=1; }
ls "$LUMO_PIPE_DIR" | grep -q '^MON' && { echo "FAIL left behind: $(ls "$LUMO_PIPE_DIR")"; status=1; }
"$monitor" status --name MON >"$work/table" 2>&1
[ "$?:$(cat "$work/table")" = "1:heartbeat-monitor: no monitor named MON is running (nothing answers at $LUMO_PIPE_DIR/MON.monitor)" ] ||
    { echo "FAIL status of a stopped monitor: $(cat "$work/table")"; status=1; }

if [ "$status" != 0 ] || grep -Eq 'Sanitizer|runtime error' "$work"/*.err; then
    for f in "$work"/events "$work"/*.err; do echo "--- $f"; cat "$f"; done
    exit 1
fi
