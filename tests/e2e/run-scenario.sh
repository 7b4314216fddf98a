#!/usr/bin/env bash
# Runs the built launcher against mcusim playing one scenario, and checks:
#  - mcusim's exit code (0: every expectation met; or what "#e2e: sim-exit N" says),
#  - the launcher's output: every "#log: TEXT" line of the scenario must appear in
#    it, in that order; no "#nolog: TEXT" may appear anywhere,
#  - the launcher ends with exit code 0 on SIGTERM.
# Other directives: "#e2e: terminate-on TEXT" sends the SIGTERM as soon as mcusim
# prints TEXT (instead of after mcusim has ended); "#e2e: replay-capture" then
# replays mcusim's capture of the run against a fresh launcher, which must pass too;
# "#e2e: setting KEY=VALUE" stores a setting for the launcher before it starts.
#
# Usage: run-scenario.sh LAUNCHER MCUSIM SCENARIO
#
# The pair runs in a private network namespace where one can be had, so abstract
# socket names do not collide with other runs; otherwise on the machine's own.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 LAUNCHER MCUSIM SCENARIO" >&2
    exit 2
fi
launcher=$1
mcusim=$2
scenario=$3

if [ -z "${MCUSIM_E2E_NETNS:-}" ]; then
    if unshare -n true 2>/dev/null; then
        MCUSIM_E2E_NETNS=private exec unshare -n -- "$0" "$@"
    fi
    export MCUSIM_E2E_NETNS=shared
fi

for f in "$launcher" "$mcusim" "$scenario"; do
    if [ ! -e "$f" ]; then
        echo "e2e: missing $f" >&2
        exit 2
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mcusim-e2e.XXXXXX")
sim_pid=
launcher_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill -KILL "$sim_pid" 2>/dev/null
    [ -n "$launcher_pid" ] && kill -KILL "$launcher_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

name=$(basename "$scenario")
echo "e2e: $name (network namespace: $MCUSIM_E2E_NETNS)"

# Directives of the scenario file.
expected_sim_exit=$(sed -n 's/^#e2e: sim-exit \([0-9]\+\).*/\1/p' "$scenario" | tail -1)
expected_sim_exit=${expected_sim_exit:-0}
terminate_on=$(sed -n 's/^#e2e: terminate-on //p' "$scenario" | tail -1)
replay=$(grep -c '^#e2e: replay-capture' "$scenario" || true)

export TZ=UTC
export XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# The stand-in settings store: one INI file, unit settings at its top level.
if grep -q '^#e2e: setting ' "$scenario"; then
    mkdir -p "$XDG_CONFIG_HOME/headunit"
    { echo "[General]"; sed -n 's/^#e2e: setting //p' "$scenario"; } >"$XDG_CONFIG_HOME/headunit/sysset.ini"
fi
export QT_QPA_PLATFORM=offscreen
export QT_MESSAGE_PATTERN="%{category}: %{message}"
export QT_LOGGING_RULES="platform.debug=true"

# A run never takes longer than this, whatever hangs.
deadline_s=${MCUSIM_E2E_DEADLINE:-150}

# Line-buffered standard output, so that the launcher's printf lines and its Qt
# log lines land in the file in the order they were written.
linebuf=()
if command -v stdbuf >/dev/null 2>&1; then
    linebuf=(stdbuf -oL -eL)
    # libstdbuf is preloaded ahead of a shared sanitizer runtime; that is harmless.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
fi
# Waits for process $1 to end within $2 seconds, watching (not sleeping on) it.
wait_gone() {
    timeout "$2" tail --pid="$1" -f /dev/null 2>/dev/null
}

# One launcher and one mcusim playing $1; sets sim_rc and launcher_rc and leaves
# their output in $scratch/sim.out and $scratch/launcher.out.
run_pair() {
    "$mcusim" -s "$1" -c "$scratch/capture.scn" >"$scratch/sim.out" 2>&1 &
    sim_pid=$!
    "${linebuf[@]}" "$launcher" >"$scratch/launcher.out" 2>&1 &
    launcher_pid=$!

    terminated=no
    if [ -n "$terminate_on" ]; then
        # Watch mcusim's output for the text, with a deadline; stop early if it ends.
        end=$((SECONDS + deadline_s))
        until grep -q -F -- "$terminate_on" "$scratch/sim.out"; do
            if [ "$SECONDS" -ge "$end" ] || ! kill -0 "$sim_pid" 2>/dev/null; then
                break
            fi
            sleep 0.05
        done
        if grep -q -F -- "$terminate_on" "$scratch/sim.out"; then
            kill -TERM "$launcher_pid" 2>/dev/null
            terminated=yes
        else
            echo "e2e: mcusim never printed: $terminate_on"
        fi
    fi

    if ! wait_gone "$sim_pid" "$deadline_s"; then
        echo "e2e: mcusim still running after ${deadline_s}s; stopping it"
        kill -TERM "$sim_pid" 2>/dev/null
        wait_gone "$sim_pid" 5 || kill -KILL "$sim_pid" 2>/dev/null
    fi
    wait "$sim_pid"
    sim_rc=$?
    sim_pid=

    if [ "$terminated" = no ]; then
        kill -TERM "$launcher_pid" 2>/dev/null
    fi
    launcher_rc=
    if wait_gone "$launcher_pid" 30; then
        wait "$launcher_pid"
        launcher_rc=$?
    else
        echo "e2e: the launcher did not end within 30s of SIGTERM"
        kill -KILL "$launcher_pid" 2>/dev/null
        wait "$launcher_pid" 2>/dev/null
    fi
    launcher_pid=

    echo "----- mcusim -----"
    cat "$scratch/sim.out"
    echo "----- launcher -----"
    sed 's/^/launcher| /' "$scratch/launcher.out"
    echo "--------------------"
}

run_pair "$scenario"
failures=0
fail() {
    echo "e2e FAIL: $*"
    failures=$((failures + 1))
}

[ "$sim_rc" = "$expected_sim_exit" ] || fail "mcusim exited $sim_rc, expected $expected_sim_exit"
[ "$launcher_rc" = 0 ] || fail "the launcher exited '${launcher_rc:-still running}' on SIGTERM, expected 0"

# "#log:" lines in order: each is searched for after the line where the previous one matched.
from=1
while IFS= read -r want; do
    at=$(tail -n +"$from" "$scratch/launcher.out" | grep -n -m1 -F -- "$want" | cut -d: -f1)
    if [ -z "$at" ]; then
        if grep -q -F -- "$want" "$scratch/launcher.out"; then
            fail "launcher line out of order: $want"
        else
            fail "launcher line missing: $want"
        fi
    else
        from=$((from + at))
    fi
done < <(sed -n 's/^#log: //p' "$scenario")

while IFS= read -r unwanted; do
    if grep -q -F -- "$unwanted" "$scratch/launcher.out"; then
        fail "launcher line that must not appear: $unwanted"
    fi
done < <(sed -n 's/^#nolog: //p' "$scenario")

if [ "$failures" -ne 0 ]; then
    echo "e2e: $name: $failures check(s) failed"
    exit 1
fi
if [ "$replay" -gt 0 ]; then
    echo "e2e: replaying the capture of $name"
    mv "$scratch/capture.scn" "$scratch/replay.scn"
    cat "$scratch/replay.scn"
    terminate_on=
    run_pair "$scratch/replay.scn"
    [ "$sim_rc" = 0 ] || fail "the replayed capture: mcusim exited $sim_rc"
    [ "$launcher_rc" = 0 ] || fail "the replayed capture: the launcher exited '${launcher_rc:-still running}' on SIGTERM"
    if [ "$failures" -ne 0 ]; then
        echo "e2e: $name: replay failed"
        exit 1
    fi
fi
echo "e2e: $name: passed"
exit 0
