#!/usr/bin/env bash
# The demo: builds the project, then runs the launcher against the MCU simulator
# playing tools/mcusim/scenarios/demo.scn, with both sides' traffic shown live.
# Ends by itself: a summary, the launcher stopped with SIGTERM (it must exit 0),
# and a screenshot of the home screen as the scenario left it. The key beeps
# play on a private PulseAudio server (a null sink: heard by nobody, but the
# launcher's sound path runs as on the unit) where pulseaudio is installed.
#
# Usage: scripts/demo.sh [SCENARIO]
# Environment: DEMO_SCREENSHOT=path (default <build>/homescreen.png; empty: none;
#                docs/homescreen.png refreshes the README's picture),
#              DEMO_OFFSCREEN=1 to run without any display,
#              DEMO_XVFB=1 to use a private Xvfb even where DISPLAY is set,
#              DEMO_BUILD_DIR=dir to use a build that exists instead of building,
#              DEMO_PREFIX=/usr to run the installed programs and scenario instead
#                (the packages, or `cmake --install`),
#              DEMO_LAUNCHER="command ..." to start the launcher another way
#                (under an emulator, say).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/stop-lib.sh
source scripts/sound-lib.sh

if [ -z "${DEMO_INSIDE:-}" ]; then
    if [ -z "${DEMO_BUILD_DIR:-}" ] && [ -z "${DEMO_PREFIX:-}" ]; then
        scripts/install-deps.sh
        cmake --preset default
        cmake --build --preset default
    fi

    # A private network namespace keeps the launcher's fixed socket names apart
    # from any other launcher on this machine. A display reached over TCP would
    # be out of reach from there, so that case stays outside.
    case "${DISPLAY:-}" in
    *?:*) tcp_display=1 ;; # host:N
    *) tcp_display= ;;
    esac
    if [ -z "$tcp_display" ] && unshare -n true 2>/dev/null; then
        DEMO_INSIDE=netns exec unshare -n -- "$0" "$@"
    fi
    echo "demo: no private network namespace here; using the machine's own socket names"
    export DEMO_INSIDE=shared
fi

build=${DEMO_BUILD_DIR:-$root/build/default}
if [ -n "${DEMO_PREFIX:-}" ]; then
    launcher=$DEMO_PREFIX/bin/launcher
    mcusim=$DEMO_PREFIX/bin/mcusim
    scenario=${1:-$DEMO_PREFIX/share/mcusim/scenarios/demo.scn}
    screenshot=${DEMO_SCREENSHOT-}
else
    launcher=$build/launcher/launcher
    mcusim=$build/tools/mcusim/mcusim
    scenario=${1:-$root/tools/mcusim/scenarios/demo.scn}
    screenshot=${DEMO_SCREENSHOT-$build/homescreen.png}
fi
read -r -a launcher_command <<<"${DEMO_LAUNCHER:-$launcher}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/launcher-demo.XXXXXX")
xvfb_pid=
sim_pid=
launcher_pid=
prefix_pid=
cleanup() {
    for p in $launcher_pid $sim_pid $prefix_pid $xvfb_pid; do
        kill -TERM "$p" 2>/dev/null || true
    done
    stop_sound
    rm -rf "$scratch"
}
trap cleanup EXIT

# The display: the user's own where DISPLAY is set (unless DEMO_XVFB=1), else a
# private Xvfb (whose whole screen is the launcher, so the screenshot shows just
# the home screen), else offscreen.
if [ -z "${DEMO_OFFSCREEN:-}" ] && [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_XVFB:-}" ]; then
    export QT_QPA_PLATFORM=xcb
    echo "demo: launcher on your display $DISPLAY (screenshots are taken under Xvfb only: DEMO_XVFB=1)"
elif [ -z "${DEMO_OFFSCREEN:-}" ] && command -v Xvfb >/dev/null 2>&1; then
    Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
    xvfb_pid=$!
    end=$((SECONDS + 20))
    until [ -s "$scratch/display" ] || [ "$SECONDS" -ge "$end" ] || ! kill -0 "$xvfb_pid" 2>/dev/null; do
        sleep 0.05
    done
    if [ -s "$scratch/display" ]; then
        export DISPLAY=":$(head -n1 "$scratch/display")"
        export QT_QPA_PLATFORM=xcb
        echo "demo: launcher on Xvfb display $DISPLAY (1024x600)"
    else
        echo "demo: Xvfb did not start; running offscreen"
        kill -TERM "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
        export QT_QPA_PLATFORM=offscreen
    fi
else
    export QT_QPA_PLATFORM=offscreen
    echo "demo: launcher offscreen"
fi

# The launcher's settings live in a scratch folder, never in the user's own.
export XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_MESSAGE_PATTERN="%{category}: %{message}"
# The stand-ins' call trace, off by default, is what the demo shows (rules of
# the caller's own come after, so they have the last word).
export QT_LOGGING_RULES="platform.debug=true${QT_LOGGING_RULES:+;$QT_LOGGING_RULES}"

if [ -z "${PULSE_SERVER:-}" ] && start_sound_server "$scratch/sound"; then
    echo "demo: key beeps on a private sound server's null sink ($PULSE_SERVER)"
elif [ -n "${PULSE_SERVER:-}" ]; then
    echo "demo: key beeps on the sound server $PULSE_SERVER"
else
    export PULSE_SERVER=unix:$scratch/no-sound-server
    echo "demo: no sound server: the key beep stays silent"
fi
echo "demo: scenario $scenario"
echo "demo: simulator lines start with a time; launcher lines with 'launcher|'"
echo

"$mcusim" -s "$scenario" -c "$scratch/capture.scn" &
sim_pid=$!

# Line-buffered, so that its printf and Qt log lines come in the order written.
mkfifo "$scratch/launcher.pipe"
sed -u 's/^/launcher| /' <"$scratch/launcher.pipe" &
prefix_pid=$!
stdbuf -oL -eL "${launcher_command[@]}" >"$scratch/launcher.pipe" 2>&1 &
launcher_pid=$!

sim_rc=0
wait "$sim_pid" || sim_rc=$?
sim_pid=

shot_note="no screenshot"
if [ -n "$screenshot" ] && [ -n "$xvfb_pid" ] && command -v import >/dev/null 2>&1; then
    case "$screenshot" in /*) ;; *) screenshot=$root/$screenshot ;; esac
    mkdir -p "$(dirname "$screenshot")"
    if import -window root "$screenshot" 2>"$scratch/import.log"; then
        shot_note="home screen saved to ${screenshot#"$root"/}"
    else
        shot_note="screenshot failed: $(head -n1 "$scratch/import.log")"
    fi
fi

stop_child_within 30 "$launcher_pid" demo
launcher_rc=$stopped_rc
launcher_pid=
wait "$prefix_pid" 2>/dev/null || true
prefix_pid=

echo
echo "demo: ======== summary ========"
grep '^# .*summary:' "$scratch/capture.scn" | sed 's/^# [0-9:.]* summary: /demo: simulator: /' || true
echo "demo: simulator exit code $sim_rc ($([ "$sim_rc" = 0 ] && echo "every expectation met" || echo "an expectation failed"))"
echo "demo: launcher exit code on SIGTERM: $launcher_rc"
echo "demo: $shot_note"
if [ "$sim_rc" != 0 ] || [ "$launcher_rc" != 0 ]; then
    echo "demo: FAILED"
    exit 1
fi
echo "demo: passed"
exit 0
