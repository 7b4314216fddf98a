#!/usr/bin/env bash
# Counts the beeps in the end-to-end run's recording of the sound server's sink
# since the last count (or since the recording began), and checks the count:
# a scenario's `run ${BEEPS} N`. The recording is $E2E_SOUND_RECORDING (raw
# s16le mono at $E2E_SOUND_RATE Hz, growing while the run goes on).
#
# What played before the call is in the recording once the recorder has
# written past it: the count first waits (bounded) until the file has grown by
# a stretch longer than the recorder's latency. A beep is a run of sound
# between silences of 80 ms or more (sox's silence effect cuts the recording
# there; a stream that runs dry for a moment under load does not cut a beep
# in two); sound shorter than a beep's ramp is not counted.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 EXPECTED-BEEPS" >&2
    exit 2
fi
want=$1
rec=${E2E_SOUND_RECORDING:?the run has no sound recording}
rate=${E2E_SOUND_RATE:-16000}
bytes_per_second=$((rate * 2))
mark_file=$rec.counted

size() { stat -c %s "$rec"; }

from=$(cat "$mark_file" 2>/dev/null || echo 0)
need=$(($(size) + bytes_per_second * 3 / 10))
end=$((SECONDS + 10))
until [ "$(size)" -ge "$need" ]; do
    if [ "$SECONDS" -ge "$end" ]; then
        echo "beeps: the recording stopped growing (at $(size) bytes)"
        exit 1
    fi
    sleep 0.05
done
to=$(size)
to=$((to - to % 2))
echo "$to" >"$mark_file"

parts=$(mktemp -d "${TMPDIR:-/tmp}/beeps.XXXXXX")
trap 'rm -rf "$parts"' EXIT
tail -c +$((from + 1)) "$rec" | head -c $((to - from)) |
    sox -t raw -r "$rate" -e signed -b 16 -c 1 - "$parts/beep.wav" \
        silence 1 0.005 2% 1 0.08 2% : newfile : restart
got=0
lengths=
for f in "$parts"/beep*.wav; do
    [ -e "$f" ] || continue
    samples=$(soxi -s "$f")
    # At least 10 ms of sound: a beep is 60 ms long.
    if [ "$samples" -ge $((rate / 100)) ]; then
        got=$((got + 1))
        lengths+=" $((samples * 1000 / rate))"
    fi
done
seconds=$(((to - from) / bytes_per_second))
if [ "$got" -ne "$want" ]; then
    echo "beeps: $got beeps in the last ${seconds}s of the recording, expected $want (sounds of${lengths:- no} ms, each with the silence after it up to 80 ms)"
    exit 1
fi
echo "beeps: $got in the last ${seconds}s of the recording, as expected"
