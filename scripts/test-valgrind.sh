#!/usr/bin/env bash
# The launcher under valgrind memcheck for one session with the MCU simulator
# (tools/mcusim, scenario tools/mcusim/scenarios/demo.scn unless one is given):
# start-up, the scenario's traffic, then SIGTERM. The leg fails on any invalid
# access or use of uninitialised memory, on a definite leak, when the
# simulator's expectations are not met, or when the launcher does not exit 0.
# Known reports that belong to the libraries below the launcher (Qt, fontconfig,
# the C library) only are suppressed in cmake/valgrind.supp, each with its reason.
#
# Usage: scripts/test-valgrind.sh [SCENARIO]
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"
source "$root/scripts/stop-lib.sh"

scenario=${1:-$root/tools/mcusim/scenarios/demo.scn}
# LAUNCHER_VALGRIND_BUILD: an already built folder to use instead (no build step).
dir=${LAUNCHER_VALGRIND_BUILD:-$(leg_dir default)}

if [ -z "${VALGRIND_LEG_INSIDE:-}" ]; then
    scripts/install-deps.sh valgrind
    if [ -z "${LAUNCHER_VALGRIND_BUILD:-}" ]; then
        timed "valgrind configure" cmake --preset default
        timed "valgrind build" cmake --build --preset default --target launcher mcusim
    fi
    # A private network namespace keeps the launcher's fixed socket names apart
    # from any other launcher or test on this machine.
    if unshare -n true 2>/dev/null; then
        VALGRIND_LEG_INSIDE=netns exec unshare -n -- "$0" "$@"
    fi
    echo "valgrind: no private network namespace; using the machine's own socket names"
    export VALGRIND_LEG_INSIDE=shared
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/launcher-valgrind.XXXXXX")
sim_pid=
launcher_pid=
cleanup() {
    for p in $launcher_pid $sim_pid; do
        kill -KILL "$p" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

export QT_QPA_PLATFORM=offscreen
export XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

start=$SECONDS
# Generous waits: the launcher runs some thirty times slower under memcheck.
"$dir/tools/mcusim/mcusim" -q -t 60s -s "$scenario" >"$scratch/mcusim.log" 2>&1 &
sim_pid=$!

valgrind --tool=memcheck --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --track-origins=yes --num-callers=30 \
    --suppressions="$root/cmake/valgrind.supp" \
    --log-file="$scratch/valgrind.log" \
    "$dir/launcher/launcher" >"$scratch/launcher.log" 2>&1 &
launcher_pid=$!

sim_rc=0
wait "$sim_pid" || sim_rc=$?
sim_pid=

# Valgrind hands the signal to the launcher, which ends its event loop.
stop_child_within 120 "$launcher_pid" valgrind
launcher_rc=$stopped_rc
launcher_pid=

echo "valgrind: scenario $scenario ran for $((SECONDS - start)) s"
tail -n 3 "$scratch/mcusim.log" | sed 's/^/mcusim: /'
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|Invalid|uninitialised" \
    "$scratch/valgrind.log" | sed 's/^/valgrind: /' | sort | uniq -c | head -40 || true

failed=
if [ "$sim_rc" != 0 ]; then
    echo "valgrind: the simulator's scenario failed (exit $sim_rc):"
    tail -n 40 "$scratch/mcusim.log"
    failed=1
fi
if [ "$launcher_rc" = 99 ]; then
    echo "valgrind: memcheck reported errors:"
    cat "$scratch/valgrind.log"
    failed=1
elif [ "$launcher_rc" != 0 ]; then
    echo "valgrind: the launcher exited with $launcher_rc on SIGTERM (expected 0); its last output:"
    tail -n 40 "$scratch/launcher.log"
    tail -n 20 "$scratch/valgrind.log"
    failed=1
fi
if [ -n "$failed" ]; then
    echo "valgrind: FAILED"
    exit 1
fi
echo "valgrind: passed (no invalid access, no definite leak, exit 0)"
