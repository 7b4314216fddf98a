#!/usr/bin/env bash
# The link's captures end to end: one session (capture/session.scn) with both
# ends writing pcapng (mcusim --pcap, the launcher's LAUNCHER_MCU_CAPTURE);
# then tshark with the tree's dissector decodes every record of both, by the
# same names as mcusim's table and decoder, with nothing malformed or in
# error; both captures hold the same records each way; and each capture,
# replayed by mcusim against a fresh launcher (one at its pace, one --fast),
# passes.
#
# Usage: capture.sh LAUNCHER MCUSIM DISSECTOR
# Exits 77 (skipped) where tshark is not installed.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 LAUNCHER MCUSIM DISSECTOR" >&2
    exit 2
fi
launcher=$1
mcusim=$2
dissector=$3
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v tshark >/dev/null; then
    echo "capture: SKIPPED: no tshark here (apt-get install tshark)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/mcu-capture.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "capture: FAILED: $*"
    failed=1
}

export LAUNCHER_MCU_CAPTURE=$work/launcher.pcapng
MCUSIM_E2E_ARGS="--pcap $work/mcusim.pcapng" bash "$here/run-scenario.sh" "$launcher" "$mcusim" \
    "$here/capture/session.scn" || { echo "capture: FAILED: the session"; exit 1; }
unset LAUNCHER_MCU_CAPTURE

# tshark as root says so on standard error; anything else there is a fault
# (a Lua error among them).
decode() {
    tshark -r "$1" -X lua_script:"$dissector" "${@:2}" 2>"$work/stderr"
    if grep -v 'Running as user "root"' "$work/stderr" | grep -q .; then
        fail "tshark on $(basename "$1"): $(cat "$work/stderr")"
    fi
}

for side in mcusim launcher; do
    pcap=$work/$side.pcapng
    # Every frame by the table's name, as mcusim's decoder names it too.
    if ! "$mcusim" --names "$pcap" >"$work/$side.names"; then
        fail "mcusim --names $side.pcapng"
        continue
    fi
    decode "$pcap" -T fields -e frame.number -e mcu.dir -e mcu.msg -E separator=' ' >"$work/$side.tshark"
    if ! diff <(cut -d' ' -f1-3 "$work/$side.names") "$work/$side.tshark"; then
        fail "$side.pcapng: the dissector's names (right) are not the simulator's (left)"
    fi
    bad=$(decode "$pcap" -Y '!mcu || !mcu.msg || _ws.malformed || _ws.expert.severity >= "Warning"')
    if [ -n "$bad" ]; then
        fail "$side.pcapng: frames not decoded cleanly:"$'\n'"$bad"
    fi
    echo "capture: $side.pcapng: $(wc -l <"$work/$side.names") records, every one named"
done

# The same records each way; between the two ways, the order may differ.
for way in m2a a2m; do
    if ! diff <(cut -d' ' -f2- "$work/mcusim.names" | grep "^$way ") \
              <(cut -d' ' -f2- "$work/launcher.names" | grep "^$way "); then
        fail "the two captures' $way records differ (mcusim's left, the launcher's right)"
    fi
done

bash "$here/run-scenario.sh" "$launcher" "$mcusim" "$work/launcher.pcapng" ||
    fail "the launcher's capture does not replay"
MCUSIM_E2E_ARGS=--fast bash "$here/run-scenario.sh" "$launcher" "$mcusim" "$work/mcusim.pcapng" ||
    fail "mcusim's capture does not replay with --fast"

[ "$failed" -eq 0 ] && echo "capture: passed"
exit "$failed"
