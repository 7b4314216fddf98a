#!/usr/bin/env bash
# The target architecture: the whole project cross-built for 32-bit ARM
# (preset "armhf", cmake/toolchain-armhf.cmake) and its whole test suite run
# under qemu-user through CTest.
#
# A cross build is a target build, so the launcher's clock layer really sets
# the system clock there (LAUNCHER_SET_SYSTEM_CLOCK is ON), and under qemu-user
# that would be this machine's clock. Three guards:
#   - the test runners start the armhf launcher only through the emulator
#     inside new user, network and mount namespaces (unshare -U -r -n -m):
#     clock_settime needs CAP_SYS_TIME in the initial user namespace, so it
#     fails there with EPERM, and that failure path is what the tests see;
#   - tests that would start this build's programs any other way are left out,
#     chosen mechanically by scripts/test-armhf-select.cmake, which prints each
#     one with its reason;
#   - the run is wrapped in a check that the realtime clock kept its distance
#     to the boot-time clock; if it jumped, it is put back and the leg fails.
# The MCU simulator is a desk tool that runs on the build machine: the native
# one (build/default, built here if needed) plays against the armhf launcher.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

# The armhf packages come through Debian multiarch.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "armhf: adding the armhf architecture to dpkg"
    if [ "$(id -u)" -ne 0 ]; then sudo dpkg --add-architecture armhf; else dpkg --add-architecture armhf; fi
fi
scripts/install-deps.sh \
    crossbuild-essential-armhf qemu-user qtbase5-dev-tools \
    qtbase5-dev:armhf qtmultimedia5-dev:armhf libqt5multimedia5-plugins:armhf libfontconfig-dev:armhf \
    libgtest-dev:armhf libgmock-dev:armhf

# Realtime minus boot time, in milliseconds: constant unless the clock is set.
clock_offset_ms() {
    local now up
    now=$(date +%s%3N)
    read -r up _ </proc/uptime
    echo $((now - ${up/./}0))
}
offset_before=$(clock_offset_ms)
check_clock() {
    local offset_after drift
    offset_after=$(clock_offset_ms)
    drift=$((offset_after - offset_before))
    if [ "${drift#-}" -gt 2000 ]; then
        echo "armhf: FAILED: the system clock moved by ${drift} ms during the tests; putting it back"
        local up
        read -r up _ </proc/uptime
        date -u -s "@$(((offset_before + ${up/./}0) / 1000))" >/dev/null || true
        return 1
    fi
    echo "armhf: system clock untouched (drift ${drift} ms)"
}

# The peer of the end-to-end scenarios: the native simulator.
# A native tree that is there already is not configured again: that would give
# it a new build date that its other programs, not built here, do not carry.
if [ ! -e "$(leg_dir default)/build.ninja" ]; then
    timed "native configure" cmake --preset default >/dev/null
fi
timed "native mcusim" cmake --build --preset default --target mcusim
mcusim=$(leg_dir default)/tools/mcusim/mcusim

dir=$(leg_dir armhf)
timed "armhf configure" cmake --preset armhf -DLAUNCHER_HOST_MCUSIM="$mcusim"
timed "armhf build" cmake --build --preset armhf

selection=$(mktemp)
listing=$(mktemp)
trap 'rm -f "$selection" "$listing"' EXIT
ctest --preset armhf --show-only=json-v1 >"$listing"
timed "armhf test selection" cmake -DTESTS_JSON="$listing" -DNM=arm-linux-gnueabihf-nm \
    -DOUT="$selection" -P scripts/test-armhf-select.cmake

rc=0
timed "armhf tests" ctest --preset armhf -I "$(cat "$selection")" "$@" || rc=$?
check_clock || rc=1
echo "== armhf leg: ${SECONDS} s (exit ${rc})"
exit "$rc"
