#!/usr/bin/env bash
# Both tools as their users run them: heartbeat-send supervising ordinary
# commands under heartbeat-monitor, one real fault per client, all at once;
# then the monitor's status, metrics file (read by Prometheus' own parser),
# hooks, reload and exit. Prints the delay from each fault to its loss line.
#   tools_e2e_test.sh MONITOR SEND
set -u
monitor=$1 send=$2
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || { echo "SKIP: no python3-prometheus-client"; exit 77; }

work=$(mktemp -d /tmp/hbtools.XXXXXX)
# Private pipes (nothing else answers under these names); the notification
# sockets' directories go there too.
export LUMO_PIPE_DIR=$work/pipes TMPDIR=$work
mkdir "$LUMO_PIPE_DIR"
: >"$work/pids"
trap 'kill -KILL $(cat "$work/pids") 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# The process ended (a zombie that nobody reaps counts as ended).
gone() { [ ! -e "/proc/$1/stat" ] || [ "$(sed -E 's/.*\) (.).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
# within SECONDS COMMAND...: polls COMMAND until it succeeds; fails after SECONDS
# (at least that many whole seconds, whenever in a second it starts).
within() {
    local until=$((SECONDS + $1)); shift
    until "$@"; do [ "$SECONDS" -le "$until" ] || return 1; sleep 0.1; done
}
# exits STATUS EXPECTED NAME: the exit status of NAME's command was EXPECTED.
exits() { [ "$1" = "$2" ] || fail "$3" "exit status $1, not $2"; }
fail() { echo "FAIL $1: $2" >"$work/$1.result"; exit 1; }
# run NAME: scenario NAME in a subshell of its own, which fail ends with a failed result.
run() { "scenario_$1"; echo "PASS $1${delay:+: lost $delay s after its fault}" >"$work/$1.result"; }

# start NAME [OPTIONS...] [-- COMMAND...]: a client of MON whose command (a
# long sleep unless given) writes its pid to $work/NAME.pid first; sets
# $wrapper and $workload, and gives its heartbeats 4 s to flow.
start() {
    local name=$1; shift
    [[ " $* " == *" -- "* ]] || set -- "$@" -- sh -c "echo \$\$ >$work/$name.pid; exec sleep 300"
    "$send" --name "$name" --server MON --timeout-times 2 "$@" 2>"$work/$name.err" &
    wrapper=$!
    within 5 test -s "$work/$name.pid"
    workload=$(cat "$work/$name.pid")
    echo "$wrapper $workload" >>"$work/pids"
    sleep 4
}

# wait_event NAME EVENT REST SECONDS: waits for the next event line of NAME's
# command that goes on with REST after its pid (the lines already taken are
# counted per client and event) and sets $at to its epoch time.
declare -A taken
nth() { grep -F "$1" "$work/events" | sed -n "$2p" | grep .; }
wait_event() {
    local line='"event":"'$2'","client":"'$1'","pid":'$workload$3 n=$((${taken[$1.$2]:-0} + 1))
    within "$4" nth "$line" "$n" >/dev/null || return 1
    taken[$1.$2]=$n
    at=$(date -d "$(nth "$line" "$n" | sed -E 's/.*"time":"([^"]*)".*/\1/')" +%s.%N)
}
# lose NAME [CAUSE] [SECONDS]: the next loss (with CAUSE), which the fault just
# before caused; the first one's delay goes to $delay.
lose() {
    local fault=$(date +%s.%N) rest=,
    [ -z "${2:-}" ] || rest=',"cause":"'$2'"}'
    wait_event "$1" lost "$rest" "${3:-20}" || fail "$1" "no loss #$((${taken[$1.lost]:-0} + 1)) ${2:+as $2}"
    [ -n "${delay:-}" ] || delay=$(awk "BEGIN { printf \"%.2f\", $at - $fault }")
}
recover() { wait_event "$1" recovered "}" 12 || fail "$1" "no recovery #$((${taken[$1.recovered]:-0} + 1))"; }

# The wrapper SIGKILLed: its command goes with it (PDEATHSIG), so the client is
# lost as exited (a command left running would make it hung).
scenario_killed() {
    start killed
    kill -KILL "$wrapper"
    wait "$wrapper" 2>/dev/null
    lose killed exited
}

# Started before its server, then stopped: lost while it stays stopped (and
# still exists), which proves that heartbeats flowed (a client never heard
# from is reported missing instead), back when continued. SIGTERM reaches it
# through the wrapper, which exits with its status.
scenario_stopped() {
    start stopped
    sleep 4
    kill -STOP "$workload"
    lose stopped stopped
    kill -CONT "$workload"
    recover stopped
    kill -TERM "$wrapper"
    within 5 gone "$wrapper" || fail stopped "the wrapper outlived SIGTERM"
    wait "$wrapper"; exits $? 143 stopped
    lose stopped
    grep -q "cannot send heartbeats as stopped to MON: no server listening at $LUMO_PIPE_DIR/MON_heartbeat@stopped; trying again" \
        "$work/stopped.err" || fail stopped "no line naming the missing server's pipe"
    grep -q "sending heartbeats as stopped to MON" "$work/stopped.err" || fail stopped "no line when the server came"
}

# --check failing (the command runs on: hung), then hanging: no heartbeat for
# that cycle, and its whole process group is killed at the time limit.
scenario_check() {
    touch "$work/check.ok"
    start check --check "test -e $work/check.ok && { test ! -e $work/check.hang || { sleep 61; exit 0; }; }"
    rm "$work/check.ok"
    lose check hung
    touch "$work/check.ok"
    recover check
    touch "$work/check.hang"
    lose check hung
    rm "$work/check.hang"
    recover check
    pgrep -f "^sleep 61$" >/dev/null && fail check "a timed-out check's child still runs"
}

# --notify with `heartbeat-send notify` from a script: READY=1 and WATCHDOG=1
# keep it alive (each run takes over a second under the thread sanitizer, so
# the ping time-out leaves room); WATCHDOG=trigger loses it, then pings
# stopping lose it again.
scenario_pings() {
    touch "$work/pings.on"
    start pings --notify --ping-timeout 3 -- bash -c "echo \$\$ >$work/pings.pid; exec bash -c '
        $send notify READY=1
        while test -e $work/pings.on; do
            $send notify WATCHDOG=1; sleep 0.5
            test -e $work/pings.now && rm $work/pings.now && $send notify WATCHDOG=trigger
        done
        sleep 300'"
    sleep 4
    grep -q '"client":"pings"' "$work/events" && fail pings "an event while pinging"
    touch "$work/pings.now"
    lose pings watchdog 10
    recover pings
    rm "$work/pings.on"
    lose pings "" 25
}

# A short command: its status at once, and a line for a server that does not watch the name.
scenario_quick() {
    "$send" --name quick --server MON --timeout-times 2 -- sh -c 'exit 7' 2>"$work/quick.err"; exits $? 7 quick
    grep -q "server MON runs but does not watch quick" "$work/quick.err" || fail quick "no line saying so"
}

run stopped &
scenarios=($!)
sleep 2
# A second monitor, REL, takes its clients from a config file and is reloaded later.
configure() { printf 'json = true\nstartup-grace = 0\nclients = [%s]\n' "$1" >"$work/rel.toml"; }
configure '"alpha", "beta"'
"$monitor" --name REL --config "$work/rel.toml" >"$work/rel.events" 2>"$work/rel.err" &
rel_pid=$!
# Each hook records what it got, then overstays its limit (one that runs
# when the monitor exits is left to finish: the cleanup ends it).
hook="printf '%s|%s|%s;' \"\$HEARTBEAT_EVENT\" \"\${HEARTBEAT_CAUSE:--}\" \"\$HEARTBEAT_CLIENT\" >>$work/hooks
    echo \$\$ >>$work/pids; exec sleep 30"
"$monitor" --json --name MON --startup-grace 6 --metrics-file "$work/hb.prom" --hook-timeout 1 --on-lost "$hook" \
    ghost $'new\nline' killed stopped check pings >"$work/events" 2>"$work/monitor.err" &
monitor_pid=$!
echo "$rel_pid $monitor_pid" >>"$work/pids"
sleep 0.5
for s in killed check pings quick; do run "$s" & scenarios+=($!); done
wait "${scenarios[@]}"
cat "$work"/*.result
status=0
bad() { echo "FAIL $1"; status=1; }
[ "$(cat "$work"/*.result | grep -c ^PASS)" = 5 ] || status=1

# A hook for each event with its cause; the status document, the table and
# the metrics file agree; names are escaped in all of them.
cat >"$work/check.py" <<'EOF'
import json, re, sys
from prometheus_client.parser import text_string_to_metric_families
w = sys.argv[1]
events = [json.loads(line) for line in open(w + "/events")]
hooks = sorted(tuple(h.split("|", 2)) for h in open(w + "/hooks").read().split(";") if h)
lost = sorted((e["event"], e.get("cause", "-"), e["client"]) for e in events if e["event"] != "recovered")
assert lost == hooks, (lost, hooks)
status = json.load(open(w + "/status.json"))
m = {(s.name, s.labels["client"], s.labels.get("state")): s.value
     for f in text_string_to_metric_families(open(w + "/hb.prom").read()) for s in f.samples if "client" in s.labels}
assert all(m["heartbeat_client_state", c["name"], c["state"]] == 1 and
           m["heartbeat_client_up", c["name"], None] == (c["state"] == "alive") and
           m["heartbeat_client_losses_total", c["name"], None] == c["losses"] for c in status["clients"]), m
assert [c["last_cause"] for c in status["clients"] if c["name"] == "killed"] == ["exited"], status
assert sorted(c["name"] for c in status["clients"]) == sorted(sys.argv[2:]), status
table = open(w + "/table").read()
assert re.search(r"^killed +lost +\d+ +[\d.]+s ago +\d+/2 +1 +0 +exited$", table, re.M), table
assert re.search(r"^new\\x0aline +waiting +- +- ", table, re.M), table
EOF
check() {
    "$monitor" status --name MON --json >"$work/status.json" && "$monitor" status --name MON >"$work/table" &&
        /usr/bin/python3 "$work/check.py" "$work" ghost $'new\nline' killed stopped check pings 2>"$work/check.err"
}
within 5 check || { cat "$work/check.err"; bad "status, table or metrics"; }

# SIGHUP: beta goes, gamma comes, alpha stays as it was (reported missing once).
configure '"alpha", "gamma"'
kill -HUP "$rel_pid"
within 10 grep -q gamma "$work/rel.events"
[ "$(sed -E 's/.*"event":"([a-z]*)","client":"([a-z]*)".*/\1 \2/' "$work/rel.events" | tr '\n' ,)" = \
    "missing alpha,missing beta,missing gamma," ] && [ ! -e "$LUMO_PIPE_DIR/REL_heartbeat@beta" ] ||
    { bad reload; cat "$work/rel.events"; }

# A clean exit leaves no file behind, and then nobody answers.
kill -TERM "$monitor_pid"
wait "$monitor_pid" || bad "monitor exit status $?"
ls "$LUMO_PIPE_DIR" | grep -q '^MON' && bad "left behind: $(ls "$LUMO_PIPE_DIR")"
"$monitor" status --name MON >"$work/table" 2>&1
[ "$?:$(cat "$work/table")" = "1:heartbeat-monitor: no monitor named MON is running (nothing answers at $LUMO_PIPE_DIR/MON.monitor)" ] ||
    bad "status of a stopped monitor: $(cat "$work/table")"

if [ "$status" != 0 ] || grep -Eq 'Sanitizer|runtime error' "$work"/*.err; then
    for f in "$work"/events "$work"/*.err; do echo "--- $f"; cat "$f"; done
    exit 1
fi
