# A private PulseAudio sound server with one null sink, for the demo and the
# end-to-end runs (sourced, not run). Whatever plays on the sink can be
# recorded from its monitor: the sink is mono 16-bit at 16 kHz, the beep's own
# format, so the recording is the sound as played.
#
# start_sound_server DIR: starts the server with its socket at DIR/native
# (and its configuration and state under DIR), waits (bounded) until it takes
# clients, exports PULSE_SERVER for the programs started after it, and sets
# sound_server_pid. Returns non-zero, with a line saying why, when it cannot.
# As root too: the server is a user daemon of whoever runs it, never the
# system-wide one, so nothing outside DIR is touched.
# start_sound_recorder FILE: records the sink's monitor to FILE as raw
# samples (s16le, mono, 16 kHz) from now on; sets sound_recorder_pid.
# stop_sound: ends both.

sound_server_pid=
sound_recorder_pid=
sound_rate=16000

start_sound_server() {
    local dir=$1
    local socket=$dir/native
    mkdir -p "$dir/config" "$dir/state"
    chmod 700 "$dir"
    if ! command -v pulseaudio >/dev/null 2>&1; then
        echo "sound: no pulseaudio here (Debian package pulseaudio)"
        return 1
    fi
    # -n: no default configuration (no devices, no desktop modules); the
    # socket takes clients without a cookie (the folder is private).
    XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state HOME=$dir PULSE_RUNTIME_PATH=$dir \
        pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
        --log-target=stderr --log-level=error -n \
        --load="module-null-sink sink_name=headunit rate=$sound_rate channels=1" \
        --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
        >"$dir/server.log" 2>&1 &
    sound_server_pid=$!
    local end=$((SECONDS + 10))
    until PULSE_SERVER=unix:$socket pactl info >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$end" ] || ! kill -0 "$sound_server_pid" 2>/dev/null; then
            echo "sound: the sound server did not start:"
            sed 's/^/sound: /' "$dir/server.log"
            kill -TERM "$sound_server_pid" 2>/dev/null
            sound_server_pid=
            return 1
        fi
        sleep 0.05
    done
    export PULSE_SERVER=unix:$socket
}

start_sound_recorder() {
    parec --device=headunit.monitor --raw --format=s16le --rate=$sound_rate --channels=1 \
        --latency-msec=20 >"$1" &
    sound_recorder_pid=$!
}

stop_sound() {
    local p
    for p in $sound_recorder_pid $sound_server_pid; do
        kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null
    done
    sound_recorder_pid=
    sound_server_pid=
}
