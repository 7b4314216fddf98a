#!/usr/bin/env bash
# The whole test suite under ThreadSanitizer (preset "tsan"). Any report fails
# the leg (halt_on_error). Races inside Qt or the C library only may be
# suppressed in cmake/tsan.supp, each with its reason.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

scripts/install-deps.sh
run_preset_leg tsan "$@"
