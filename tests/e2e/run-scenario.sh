#!/usr/bin/env bash
# Runs one end-to-end scenario: mcusim plays it and starts the built launcher
# itself (the scenario's launch command), so the scenario file is the whole
# test: what it sends, what it expects back, the launcher's lines and how it
# ends. This script only makes the place where the pair runs.
#
# Usage: run-scenario.sh LAUNCHER MCUSIM SCENARIO
#
# The pair runs in a private network namespace where one can be had, so abstract
# socket names do not collide with other runs; otherwise on the machine's own.
# A launcher that sets the clock (LAUNCHER_TEST_CLOCK=refused) runs only inside
# new user, network and mount namespaces, where it cannot: the run fails if they
# cannot be made. On a cross build LAUNCHER_TEST_EMULATOR ('|'-separated) runs
# the launcher, and LAUNCHER_TEST_TIME_SCALE multiplies the waits for it. The
# scenario sees the clock outcome as CLOCK (logged: the build only logs the time
# it would set; refused: clock_settime fails with EPERM) and the build's date
# version as DATE_VERSION. MCUSIM_E2E_ARGS holds more of mcusim's options
# (blank-separated).
#
# Sound: a scenario that counts beeps (`run ${BEEPS} N`) runs beside a private
# PulseAudio server with a null sink (scripts/sound-lib.sh), which the launcher
# plays into and which is recorded from its monitor for the whole run; BEEPS is
# tests/e2e/beeps.sh, which counts the beeps of the recording since its last
# count. Such a run exits 77 (skipped) where the sound server or sox is not
# installed. Every other scenario runs with no sound server (PULSE_SERVER names
# a socket that is not there).
#
# Compositor: a scenario that checks the screen (`run ${COMPOSITOR} ...`) runs
# the launcher with the Wayland platform plugin under weston's headless
# backend (the fullscreen shell, 1024x600, pixman), with NOTIFY_SOCKET
# received into a file; COMPOSITOR is tests/e2e/compositor.sh. Every other
# scenario runs offscreen. Such a run exits 77 where weston, qtwayland5,
# socat or ImageMagick is missing.
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

here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/sound-lib.sh"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mcusim-e2e.XXXXXX")
trap 'stop_sound; stop_compositor; rm -rf "$scratch"' EXIT
echo "e2e: $(basename "$scenario") (network namespace: $MCUSIM_E2E_NETNS; clock: $clock${emulator[0]:+; launcher through ${emulator[*]}})"

export TZ=UTC
export XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
compositor_pid=
notify_pid=
stop_compositor() {
    local p
    for p in $notify_pid $compositor_pid; do
        kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null
    done
}
export QT_MESSAGE_PATTERN="%{category}: %{message}"
export QT_LOGGING_RULES="platform.debug=true"

read -r -a extra <<<"${MCUSIM_E2E_ARGS:-}"
defines=(-D CLOCK="$clock")
if grep -q '${BEEPS}' "$scenario"; then
    for tool in pulseaudio pactl parec sox soxi; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "e2e: SKIPPED: this scenario counts beeps and $tool is not installed (scripts/install-deps.sh)"
            exit 77
        fi
    done
    start_sound_server "$scratch/sound" || exit 1
    export E2E_SOUND_RECORDING=$scratch/sound/recording.raw E2E_SOUND_RATE=$sound_rate
    start_sound_recorder "$E2E_SOUND_RECORDING"
    echo "e2e: sound server $PULSE_SERVER, its sink recorded from its monitor"
    defines+=(-D BEEPS="$here/beeps.sh")
else
    export PULSE_SERVER=unix:$scratch/no-sound-server
fi
if grep -q '${COMPOSITOR}' "$scenario"; then
    for tool in weston weston-screenshooter socat compare identify; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "e2e: SKIPPED: this scenario runs under weston and $tool is not installed (scripts/install-deps.sh)"
            exit 77
        fi
    done
    qt_plugins=$(qtpaths --plugin-dir 2>/dev/null || echo /usr/lib/$(gcc -print-multiarch)/qt5/plugins)
    if ! ls "$qt_plugins"/platforms/libqwayland-generic.so >/dev/null 2>&1; then
        echo "e2e: SKIPPED: this scenario runs under weston and Qt's Wayland plugin is not installed (qtwayland5)"
        exit 77
    fi
    # --debug: its screenshooter takes clients' requests only then.
    weston --backend=headless-backend.so --use-pixman --shell=fullscreen-shell.so --socket=wayland-e2e \
        --width=1024 --height=600 --idle-time=0 --no-config --debug --log="$scratch/weston.log" \
        >/dev/null 2>&1 &
    compositor_pid=$!
    end=$((SECONDS + 20))
    until [ -S "$XDG_RUNTIME_DIR/wayland-e2e" ]; do
        if [ "$SECONDS" -ge "$end" ] || ! kill -0 "$compositor_pid" 2>/dev/null; then
            echo "e2e: FAILED: weston did not start:"
            sed 's/^/weston: /' "$scratch/weston.log"
            exit 1
        fi
        sleep 0.05
    done
    export WAYLAND_DISPLAY=wayland-e2e QT_QPA_PLATFORM=wayland
    export QT_WAYLAND_SHELL_INTEGRATION=fullscreen-shell-v1
    export NOTIFY_SOCKET=$scratch/notify E2E_NOTIFY_LOG=$scratch/notify.log
    socat -u UNIX-RECV:"$NOTIFY_SOCKET" CREATE:"$E2E_NOTIFY_LOG" &
    notify_pid=$!
    until [ -S "$NOTIFY_SOCKET" ] || [ "$SECONDS" -ge "$end" ]; do
        sleep 0.05
    done
    export PLATFORM_HOME_PICTURE=$scratch/homescreen.png E2E_PICTURE_DIR=$scratch/pictures
    echo "e2e: under weston (headless, fullscreen shell) with the Wayland platform plugin"
    defines+=(-D COMPOSITOR="$here/compositor.sh")
fi
if [ -n "${LAUNCHER_TEST_DATE_VERSION:-}" ]; then
    defines+=(-D DATE_VERSION="$LAUNCHER_TEST_DATE_VERSION")
fi
play() {
    # Every wait of mcusim is bounded; this bounds a fault of its own.
    timeout -k 10 $((${MCUSIM_E2E_DEADLINE:-200} * scale)) \
        "$mcusim" -s "$scenario" "${defines[@]}" "${extra[@]}" --time-scale "$scale" \
        --launcher "${emulator[@]}" "$launcher"
}

day=$(date +%F)
play
rc=$?
# "${BE32 today ...}" is read before the launcher's "today": when the date
# changed in between, the run says nothing, and is made again.
if [ "$rc" -ne 0 ] && [ "$(date +%F)" != "$day" ] && grep -q 'BE32 today' "$scenario"; then
    echo "e2e: the date changed during the run; running it again"
    play
    rc=$?
fi
exit "$rc"
