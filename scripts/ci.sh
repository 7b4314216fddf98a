#!/usr/bin/env bash
# Every CI leg, in order, stopping at the first that fails:
#   native     scripts/test.sh: the README's build and whole test suite
#   asan       the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan       the whole suite under ThreadSanitizer
#   valgrind   the launcher under memcheck against the MCU simulator
#   fuzz       each libFuzzer target for 60 s from its seeds
#   armhf      the cross build for the 32-bit ARM target, its tests under qemu-user
#   package    the Debian packages (dpkg-buildpackage) for amd64 and armhf,
#              installed into a clean Debian 12 root and run there, booted with
#              systemd-nspawn for the maintainer scripts (upgrade, removal);
#              the launcher built against the installed stand-ins as the
#              maker's libraries; reproducibility
# Each leg's wall time is printed, and a summary at the end. Runs on a fresh
# Debian 12 machine as root: every leg installs what it needs.
#
# Usage: scripts/ci.sh [LEG ...]   (default: all, in the order above)
set -euo pipefail
cd "$(dirname "$0")/.."

all_legs=(native asan tsan valgrind fuzz armhf package)
legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=("${all_legs[@]}")

leg_command() {
    case "$1" in
    native) echo scripts/test.sh ;;
    asan) echo scripts/test-asan.sh ;;
    tsan) echo scripts/test-tsan.sh ;;
    valgrind) echo scripts/test-valgrind.sh ;;
    fuzz) echo scripts/test-fuzz.sh ;;
    armhf) echo scripts/test-armhf.sh ;;
    package) echo scripts/test-package.sh ;;
    *) return 1 ;;
    esac
}

for leg in "${legs[@]}"; do
    leg_command "$leg" >/dev/null || { echo "ci: unknown leg '$leg' (legs: ${all_legs[*]})"; exit 2; }
done

summary=()
ci_start=$SECONDS
for leg in "${legs[@]}"; do
    cmd=$(leg_command "$leg")
    echo
    echo "ci: ================ leg '$leg': $cmd ================"
    start=$SECONDS
    rc=0
    "$cmd" </dev/null || rc=$?
    took=$((SECONDS - start))
    if [ "$rc" -ne 0 ]; then
        summary+=("$(printf '%-9s FAILED (exit %d) after %d s' "$leg" "$rc" "$took")")
        printf 'ci: %s\n' "${summary[@]}"
        echo "ci: FAILED in leg '$leg' ($cmd)"
        exit 1
    fi
    summary+=("$(printf '%-9s passed in %d s' "$leg" "$took")")
    echo "ci: leg '$leg' passed in ${took} s"
done

echo
echo "ci: ================ summary ================"
printf 'ci: %s\n' "${summary[@]}"
echo "ci: all legs passed in $((SECONDS - ci_start)) s"
