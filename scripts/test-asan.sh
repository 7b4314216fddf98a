#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (preset "asan"). Any report fails the leg: the build recovers from nothing
# (-fno-sanitize-recover=all) and the test preset aborts on the first error.
# Leak reports inside Qt or the C library only may be suppressed in
# cmake/lsan.supp, each with its reason.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

scripts/install-deps.sh
run_preset_leg asan "$@"
