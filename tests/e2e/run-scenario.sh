#!/usr/bin/env bash
# Runs the built launcher against mcusim playing one scenario, and checks:
#  - mcusim's exit code (0: every expectation met; or what "#e2e: sim-exit N" says),
#  - the launcher's output: every "#log: TEXT" line of the scenario must appear in
#    it, in that order; no "#nolog: TEXT" may appear anywhere,
#  - the launcher ends with exit code 0 on SIGTERM.
# The launcher's standard output and its standard error (the Qt log) are kept
# apart: the order of a printed line and a log line is not defined (the printed
# lines are written by a thread of their own). So the order of "#log:" lines
# holds per stream: each wanted line is found in whichever stream holds it, after
# the previous match in that same stream. "#nolog:" looks at both.
# Other directives: "#e2e: terminate-on TEXT" sends the SIGTERM as soon as mcusim
# prints TEXT (instead of after mcusim has ended); "#e2e: replay-capture" then
# replays mcusim's capture of the run against a fresh launcher, which must pass too;
# "#e2e: setting KEY=VALUE" stores a setting for the launcher before it starts;
# "#e2e: stop-within N" requires the launcher to end (with exit code 0) within N
# seconds (times LAUNCHER_TEST_TIME_SCALE) of the SIGTERM, where otherwise it
# has 30 (scaled) before it is killed; "#e2e: console stalled" connects the
# launcher's standard output to a pipe whose reader never reads (its "#log:"
# lines can then only be in standard error), and "#e2e: console gone-on TEXT"
# makes that reader go away as soon as mcusim prints TEXT.
#
# Where the launcher's clock handlers have two outcomes, "#log[OUTCOME]: TEXT"
# and "#nolog[OUTCOME]: TEXT" count only for that one (LAUNCHER_TEST_CLOCK):
#   logged   the build only logs the time it would set (a native build);
#   refused  the build sets the clock, and clock_settime fails with EPERM in the
#            user namespace the launcher runs in.
# Before mcusim plays it, these are replaced in the scenario's commands:
#   ${DATE_VERSION}  the build's date version text (LAUNCHER_TEST_DATE_VERSION)
#   ${BE32 WHEN}     the seconds since the epoch of WHEN (local time, as date -d
#                    reads it, e.g. "today 13:05:00"), four hex bytes, most
#                    significant first
#   ${SCALED N}      the duration N (e.g. 2s, 250ms) times LAUNCHER_TEST_TIME_SCALE:
#                    for a wait that must outlast something the launcher does
#
# Usage: run-scenario.sh LAUNCHER MCUSIM SCENARIO
#
# The pair runs in a private network namespace where one can be had, so abstract
# socket names do not collide with other runs; otherwise on the machine's own.
# A launcher that sets the clock (LAUNCHER_TEST_CLOCK=refused) runs only inside
# new user, network and mount namespaces, where it cannot: the run fails if they
# cannot be made. On a cross build LAUNCHER_TEST_EMULATOR ('|'-separated) runs
# the launcher, and LAUNCHER_TEST_TIME_SCALE multiplies the run's time limits.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 LAUNCHER MCUSIM SCENARIO" >&2
    exit 2
fi
launcher=$1
mcusim=$2
scenario=$3

clock=${LAUNCHER_TEST_CLOCK:-logged}
scale=${LAUNCHER_TEST_TIME_SCALE:-1}
IFS='|' read -r -a emulator <<<"${LAUNCHER_TEST_EMULATOR:-}"

if [ -z "${MCUSIM_E2E_NETNS:-}" ]; then
    if [ "$clock" = refused ]; then
        # clock_settime needs CAP_SYS_TIME in the initial user namespace.
        if ! unshare -U -r -n -m true 2>/dev/null; then
            echo "e2e: FAILED: this launcher sets the system clock, and new user, network and" \
                "mount namespaces cannot be made here (unshare -U -r -n -m)"
            exit 1
        fi
        MCUSIM_E2E_NETNS="private, in a user namespace" exec unshare -U -r -n -m -- "$0" "$@"
    fi
    if unshare -n true 2>/dev/null; then
        MCUSIM_E2E_NETNS=private exec unshare -n -- "$0" "$@"
    fi
    export MCUSIM_E2E_NETNS=shared
fi
# However this run got here: a launcher that sets the clock never runs in the
# initial user namespace (whose uid map is the whole identity range).
if [ "$clock" = refused ] && [ "$(awk '{ print $1, $2, $3 }' /proc/self/uid_map)" = "0 0 4294967295" ]; then
    echo "e2e: FAILED: this launcher sets the system clock, and this run is in the initial user namespace"
    exit 1
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
    [ -n "${console_pid:-}" ] && kill -KILL "$console_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

name=$(basename "$scenario")
echo "e2e: $name (network namespace: $MCUSIM_E2E_NETNS; clock: $clock${emulator[0]:+; launcher through ${emulator[*]}})"

# Directives of the scenario file.
expected_sim_exit=$(sed -n 's/^#e2e: sim-exit \([0-9]\+\).*/\1/p' "$scenario" | tail -1)
expected_sim_exit=${expected_sim_exit:-0}
terminate_on=$(sed -n 's/^#e2e: terminate-on //p' "$scenario" | tail -1)
stop_within=$(sed -n 's/^#e2e: stop-within \([0-9.]\+\)[[:space:]]*$/\1/p' "$scenario" | tail -1)
if grep -q '^#e2e: stop-within' "$scenario" && [ -z "$stop_within" ]; then
    echo "e2e: $name: usage: #e2e: stop-within SECONDS" >&2
    exit 2
fi
replay=$(grep -c '^#e2e: replay-capture' "$scenario" || true)
console_stalled=$(grep -c '^#e2e: console stalled' "$scenario" || true)
console_gone_on=$(sed -n 's/^#e2e: console gone-on //p' "$scenario" | tail -1)

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
deadline_s=$((${MCUSIM_E2E_DEADLINE:-150} * scale))
term_s=$((30 * scale))
stop_s=
if [ -n "$stop_within" ]; then
    stop_s=$(awk -v n="$stop_within" -v k="$scale" 'BEGIN { print n * k }')
fi

# Line-buffered standard output, so that what the launcher printed is in its
# file even when it has to be killed. (Not for an emulated launcher: the
# preloaded library is the build machine's.)
linebuf=()
if [ ${#emulator[@]} -eq 0 ] && command -v stdbuf >/dev/null 2>&1; then
    linebuf=(stdbuf -oL -eL)
    # libstdbuf is preloaded ahead of a shared sanitizer runtime; that is harmless.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
fi
# Waits for process $1 to end within $2 seconds, watching (not sleeping on) it.
wait_gone() {
    timeout "$2" tail -s 0.1 --pid="$1" -f /dev/null 2>/dev/null
}

# Sends the launcher its SIGTERM; with "stop-within", a watcher started at that
# moment notes in $scratch/stop.late when it has not ended in time.
terminate_launcher() {
    kill -TERM "$launcher_pid" 2>/dev/null
    if [ -n "$stop_s" ]; then
        (wait_gone "$launcher_pid" "$stop_s" || echo late >"$scratch/stop.late") &
        stop_watch=$!
    fi
}

# One launcher and one mcusim playing $1; sets sim_rc, launcher_rc and
# stopped_late, and leaves their output in $scratch/sim.out and
# $scratch/launcher.out (standard output) and $scratch/launcher.err.
run_pair() {
    rm -f "$scratch/stop.late" "$scratch/console.gone"
    stop_watch=
    "$mcusim" -s "$1" -c "$scratch/capture.scn" >"$scratch/sim.out" 2>&1 &
    sim_pid=$!
    local out=$scratch/launcher.out
    console_pid=
    if [ "$console_stalled" -gt 0 ]; then
        # A reader that holds the pipe open and never reads: once the pipe is
        # full, every write to standard output would wait for ever.
        out=$scratch/console.pipe
        rm -f "$out" "$scratch/launcher.out"
        mkfifo "$out"
        : >"$scratch/launcher.out"
        sleep $((deadline_s + 60)) <"$out" &
        console_pid=$!
        if [ -n "$console_gone_on" ]; then
            (
                end=$((SECONDS + deadline_s))
                until grep -q -F -- "$console_gone_on" "$scratch/sim.out"; do
                    [ "$SECONDS" -lt "$end" ] || exit 0
                    sleep 0.05
                done
                kill -KILL "$console_pid" 2>/dev/null
                echo "e2e: the launcher's console reader went away at $(date +%T.%3N)" >"$scratch/console.gone"
            ) &
        fi
    fi
    "${linebuf[@]}" "${emulator[@]}" "$launcher" >"$out" 2>"$scratch/launcher.err" &
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
            terminate_launcher
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
        terminate_launcher
    fi
    launcher_rc=
    if wait_gone "$launcher_pid" "$term_s"; then
        wait "$launcher_pid"
        launcher_rc=$?
    else
        echo "e2e: the launcher did not end within ${term_s}s of SIGTERM"
        kill -KILL "$launcher_pid" 2>/dev/null
        wait "$launcher_pid" 2>/dev/null
    fi
    launcher_pid=
    stopped_late=no
    if [ -n "$stop_watch" ]; then
        wait "$stop_watch" 2>/dev/null
        [ -e "$scratch/stop.late" ] && stopped_late=yes
    fi
    if [ -n "$console_pid" ]; then
        kill -KILL "$console_pid" 2>/dev/null
        wait "$console_pid" 2>/dev/null
        console_pid=
        echo "(standard output went to a pipe that was never read)" >"$scratch/launcher.out"
        if [ -n "$console_gone_on" ]; then
            cat "$scratch/console.gone" 2>/dev/null || fail "the console reader never went away: mcusim never printed: $console_gone_on"
        fi
    fi

    echo "----- mcusim -----"
    cat "$scratch/sim.out"
    echo "----- launcher: standard output -----"
    sed 's/^/launcher| /' "$scratch/launcher.out"
    echo "----- launcher: standard error -----"
    sed 's/^/launcher! /' "$scratch/launcher.err"
    echo "--------------------"
}

# Checks that the launcher ended as it must on SIGTERM; $1 names the run.
check_stop() {
    [ "$launcher_rc" = 0 ] || fail "${1}the launcher exited '${launcher_rc:-still running}' on SIGTERM, expected 0"
    [ "$stopped_late" = no ] ||
        fail "${1}the launcher did not end within ${stop_s}s of SIGTERM (#e2e: stop-within $stop_within)"
}

# The scenario as mcusim plays it, in $scratch/played.scn: the placeholders
# replaced, every line where it was.
expand_scenario() {
    local line when secs be
    while IFS= read -r line || [ -n "$line" ]; do
        if [[ $line == *'${DATE_VERSION}'* ]]; then
            if [ -z "${LAUNCHER_TEST_DATE_VERSION:-}" ]; then
                echo "e2e: \${DATE_VERSION} in $name, but LAUNCHER_TEST_DATE_VERSION is not set" >&2
                return 1
            fi
            line=${line//'${DATE_VERSION}'/$LAUNCHER_TEST_DATE_VERSION}
        fi
        while [[ $line =~ \$\{BE32\ ([^\}]*)\} ]]; do
            when=${BASH_REMATCH[1]}
            secs=$(date -d "$when" +%s) || return 1
            printf -v be '%02X %02X %02X %02X' $((secs >> 24 & 255)) $((secs >> 16 & 255)) \
                $((secs >> 8 & 255)) $((secs & 255))
            line=${line/"${BASH_REMATCH[0]}"/$be}
        done
        while [[ $line =~ \$\{SCALED\ ([0-9.]+)(ms|s)\} ]]; do
            be=$(awk -v n="${BASH_REMATCH[1]}" -v k="$scale" 'BEGIN { print n * k }')${BASH_REMATCH[2]}
            line=${line/"${BASH_REMATCH[0]}"/$be}
        done
        printf '%s\n' "$line"
    done <"$scenario" >"$scratch/played.scn"
}

failures=0
fail() {
    echo "e2e FAIL: $*"
    failures=$((failures + 1))
}

# One run of the scenario and every check of it; counts the failures.
play_and_check() {
    failures=0
    run_pair "$scratch/played.scn"

    [ "$sim_rc" = "$expected_sim_exit" ] || fail "mcusim exited $sim_rc, expected $expected_sim_exit"
    check_stop ""

    # "#log:" lines (and those of this run's clock outcome) in order within each
    # stream: a wanted line is searched for in both, each after the line where
    # that stream's previous match was, and taken from the stream of the previous
    # match when both hold it.
    local -A from=([out]=1 [err]=1)
    local last=out want unwanted s at found
    while IFS= read -r want; do
        found=
        for s in "$last" $([ "$last" = out ] && echo err || echo out); do
            at=$(tail -n +"${from[$s]}" "$scratch/launcher.$s" | grep -n -m1 -F -- "$want" | cut -d: -f1)
            if [ -n "$at" ]; then
                from[$s]=$((from[$s] + at))
                last=$s
                found=yes
                break
            fi
        done
        if [ -z "$found" ]; then
            if grep -q -F -- "$want" "$scratch/launcher.out" "$scratch/launcher.err"; then
                fail "launcher line out of order: $want"
            else
                fail "launcher line missing: $want"
            fi
        fi
    done < <(sed -n "s/^#log\(\[$clock\]\)\{0,1\}: //p" "$scenario")

    while IFS= read -r unwanted; do
        if grep -q -F -- "$unwanted" "$scratch/launcher.out" "$scratch/launcher.err"; then
            fail "launcher line that must not appear: $unwanted"
        fi
    done < <(sed -n "s/^#nolog\(\[$clock\]\)\{0,1\}: //p" "$scenario")
}

day=$(date +%F)
expand_scenario || exit 2
play_and_check
# A "today" placeholder is read before the run and the launcher's "today" during
# it: when the date changed in between, the run says nothing; it is made again.
if [ "$failures" -ne 0 ] && [ "$(date +%F)" != "$day" ] && grep -q '\${BE32 ' "$scenario"; then
    echo "e2e: the date changed during the run; running $name again"
    expand_scenario || exit 2
    play_and_check
fi

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
    check_stop "the replayed capture: "
    if [ "$failures" -ne 0 ]; then
        echo "e2e: $name: replay failed"
        exit 1
    fi
fi
echo "e2e: $name: passed"
exit 0
