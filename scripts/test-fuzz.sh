#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (preset "fuzz") and runs each for a
# fixed time (LAUNCHER_FUZZ_SECONDS, default 60) from its seed corpus. A crash,
# a leak, a sanitizer report, a hang or a fault found by a target's own checks
# fails the leg; the failing input is left in the build folder under
# fuzz/fuzz-artifacts/<target>/. To keep it as a regression input, copy it to
# tests/fuzzreplay/regressions/<target>/ and commit it with the fix: the test
# suite replays every file there.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

scripts/install-deps.sh clang-14 libclang-rt-14-dev
dir=$(leg_dir fuzz)
seconds=${LAUNCHER_FUZZ_SECONDS:-60}
timed "fuzz configure" cmake --preset fuzz -DLAUNCHER_FUZZ_SECONDS="$seconds"
timed "fuzz build" cmake --build --preset fuzz
rc=0
timed "fuzz runs (${seconds} s each)" ctest --preset fuzz "$@" || rc=$?
if [ "$rc" -ne 0 ]; then
    echo "fuzz: failing inputs:"
    find "$dir/fuzz/fuzz-artifacts" -type f -printf '  %p (%s bytes)\n' || true
    echo "fuzz: reproduce with <target> <input>; keep an input as a regression with"
    echo "fuzz:   cp <input> tests/fuzzreplay/regressions/<framer|dispatch>/"
fi
exit "$rc"
