#!/usr/bin/env bash
# Runs the installed logger the way temp@.service does, below a scratch root:
# the command from the unit's ExecStart= (argv[0] in the state directory), the
# state directory as working directory, standard input from /dev/null. Then
# stops it with SIGTERM like systemctl stop.
# Usage: service_run_test.sh BUILD_DIR FACTS_FILE
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"
make_scratch

stage="$SCRATCH/stage"
DESTDIR="$stage" cmake --install "$build" > "$SCRATCH/install.log" 2>&1 || { cat "$SCRATCH/install.log" >&2; fail "cmake --install failed"; finish; }
unit="$stage$PREFIX/$UNIT_DIR/temp@.service"

# start_instance INSTANCE ADAPTER: starts the logger in the background, sets PID and STATE.
# The unit's TEMP_METRICS_NAME goes along, and TEMP_METRICS as an environment file would set it.
start_instance() {
    local instance=$1 adapter=$2 words name
    name=$(grep '^Environment=TEMP_METRICS_NAME=' "$unit" | sed 's/^Environment=TEMP_METRICS_NAME=//; s/%i/'"$instance"'/')
    [ -n "$name" ] || fail "the unit does not name the metrics after the instance"
    read -r -a words <<< "$(key_value "$unit" ExecStart)"
    # ExecStart=@PROGRAM ARGV0 ${TEMP_ADAPTER}
    local program=${words[0]#@} argv0=${words[1]//%i/$instance}
    [ "${words[2]}" = '${TEMP_ADAPTER}' ] || fail "ExecStart does not pass \${TEMP_ADAPTER}"
    STATE="$SCRATCH${argv0%/*}"
    local workdir
    workdir="$SCRATCH$(key_value "$unit" WorkingDirectory)"
    workdir=${workdir//%i/$instance}
    [ "$workdir" = "$STATE" ] || fail "working directory $workdir is not the program directory $STATE"
    mkdir -p "$STATE"
    # A cross build runs the program under its emulator (EMULATOR in the facts), argv[0] kept.
    local emulator
    read -r -a emulator <<< "${EMULATOR:-}"
    if [ ${#emulator[@]} -gt 0 ]; then
        (cd "$STATE" && TEMP_METRICS=metrics.prom TEMP_METRICS_NAME=$name \
            exec "${emulator[@]}" -0 "$SCRATCH$argv0" "$stage$program" "$adapter" < /dev/null > "$STATE.out" 2>&1) &
    else
        (cd "$STATE" && TEMP_METRICS=metrics.prom TEMP_METRICS_NAME=$name \
            exec -a "$SCRATCH$argv0" "$stage$program" "$adapter" < /dev/null > "$STATE.out" 2>&1) &
    fi
    PID=$!
}

# prepare_instance INSTANCE: runs the unit's ExecStartPre= for the instance, below the scratch root.
prepare_instance() {
    local command
    command=$(key_value "$unit" ExecStartPre)
    command=${command#-}
    command=${command//%i/$1}
    command=${command//"$STATE_ROOT/"/"$SCRATCH$STATE_ROOT/"}
    command=${command//" $PREFIX/$DATADIR/"/" $stage$PREFIX/$DATADIR/"}
    mkdir -p "$SCRATCH$STATE_ROOT/$1"
    eval "$command" || fail "ExecStartPre failed for instance $1: $command"
}

# A new instance gets the package's temp.conf, all five families on; a
# temp.conf of the user's, or an instance that has logged before, is left alone.
prepare_instance sim
grep -qx 'families = 10 28 22 3B 42' "$SCRATCH$STATE_ROOT/sim/temp.conf" ||
    fail "a new instance got no temp.conf with every family: $(cat "$SCRATCH$STATE_ROOT/sim/temp.conf" 2>&1)"
grep -qx 'metrics = metrics.prom' "$SCRATCH$STATE_ROOT/sim/temp.conf" || fail "the new temp.conf has no metrics"
mkdir -p "$SCRATCH$STATE_ROOT/mine" "$SCRATCH$STATE_ROOT/old"
echo 'families = 28' > "$SCRATCH$STATE_ROOT/mine/temp.conf"
prepare_instance mine
[ "$(cat "$SCRATCH$STATE_ROOT/mine/temp.conf")" = 'families = 28' ] || fail "the user's temp.conf was replaced"
touch "$SCRATCH$STATE_ROOT/old/temp.pd"
prepare_instance old
[ ! -e "$SCRATCH$STATE_ROOT/old/temp.conf" ] || fail "an instance that has logged before got a temp.conf"

# wait_for FILE: true once FILE exists while the logger runs (generous bound).
wait_for() {
    local tries=0
    while [ ! -e "$1" ]; do
        kill -0 "$PID" 2>/dev/null || return 1
        tries=$((tries + 1))
        [ $tries -le 600 ] || return 1
        sleep 0.1
    done
}

# The software adapter: runs unattended until SIGTERM, then closes in order.
# The logger takes over SIGTERM at the end of its first cycle ("USBSyncStart");
# a fresh tempu.csv proves the next cycle has begun.
start_instance sim 'sim:'
if wait_for "$STATE/USBSyncStart" && rm -f "$STATE/tempu.csv" && wait_for "$STATE/tempu.csv"; then
    kill -TERM "$PID"
    wait "$PID"
    status=$?
    [ $status -eq 0 ] || fail "after SIGTERM the logger ended with status $status"
    grep -q "Application directory = $STATE/\$" <(tr -d '\r' < "$STATE/USBerr.txt") ||
        fail "event log not in the state directory, or names another program directory"
    for file in temp.pd tempu.csv; do
        [ -s "$STATE/$file" ] || fail "$file missing in the state directory"
    done
    # The metrics, named after the instance, in the state directory.
    grep -q '^temp_info{logger="sim",version="10.00",adapter="sim:"} 1$' "$STATE/metrics.prom" ||
        fail "no metrics of instance sim in the state directory: $(head -c 300 "$STATE/metrics.prom" 2>&1)"
    if command -v promtool >/dev/null; then
        out=$(promtool check metrics < "$STATE/metrics.prom" 2>&1) || fail "promtool rejects the metrics: $out"
    fi
    for marker in USBPresent USBSyncStart; do
        [ ! -e "$STATE/$marker" ] || fail "marker $marker left behind after SIGTERM"
    done
else
    kill -KILL "$PID" 2>/dev/null
    wait "$PID"
    fail "the logger made no reading on the software adapter: $(tail -n 5 "$STATE.out")"
fi

# An adapter that isn't there (default name of instance 9): exit status 1,
# which the unit's Restart=on-failure retries. Nothing waits for a key.
start_instance 9 "$(key_value "$unit" Environment | sed 's/^TEMP_ADAPTER=//; s/\\\\/\\/g; s/%i/9/')"
wait "$PID"
status=$?
[ $status -eq 1 ] || fail "with no adapter the logger ended with status $status, want 1: $(tail -n 3 "$STATE.out")"
grep -q 'DS2490-9' "$STATE.out" || fail "the default adapter name did not reach the logger: $(tail -n 3 "$STATE.out")"
finish
