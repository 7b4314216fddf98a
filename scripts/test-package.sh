#!/usr/bin/env bash
# The packages tried as an integrator would, each step able to fail the leg:
#   1. amd64 and armhf packages built (scripts/package.sh), no lintian error;
#   2. the armhf packages: architecture, file lists (the launcher's with its
#      systemd unit), every ELF 32-bit ARM, and their launcher run once under
#      qemu-arm against the native simulator;
#   3. the amd64 packages installed with apt into a clean Debian 12 root
#      (debootstrap --variant=minbase), the installed systemd unit checked by
#      systemd-analyze (verify, and its hardening), the demo run there with the
#      installed launcher, simulator and scenario;
#   4. the vendor swap: the launcher built from a separate tree against the
#      installed stand-in package as if it were the maker's, and the end-to-end
#      scenarios run with it;
#   5. reproducibility: the same commit built again from another folder gives
#      byte-identical binaries, and a configure in a new minute rebuilds nothing.
# Runs as root (debootstrap, chroot). Work files in build/package-check.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "package: needs root (debootstrap and chroot)"
    exit 1
fi
scripts/install-deps.sh dpkg-dev lintian debootstrap qemu-user systemd

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1704067200)
fi
export SOURCE_DATE_EPOCH
mirror=${PACKAGE_MIRROR:-http://deb.debian.org/debian}

work=$root/build/package-check
rm -rf "$work"
mkdir -p "$work"
amd64_debs=$root/build/package-amd64/packages
armhf_debs=$root/build/package-armhf/packages

# --- 1. the packages --------------------------------------------------------
timed "package amd64" scripts/package.sh amd64
timed "package armhf" scripts/package.sh armhf

# --- 2. the armhf packages --------------------------------------------------
# The launcher's unit in the unpacked or installed root $1, starting the
# launcher installed there.
unit=headunit-launcher.service
check_unit_file() {
    local file=$1/usr/lib/systemd/system/$unit exec
    [ -f "$file" ] || { echo "unit: no $unit in ${1#"$work/"}"; return 1; }
    exec=$(sed -n 's/^ExecStart=//p' "$file")
    echo "unit: ${file#"$work/"}: ExecStart=$exec"
    [ "$exec" = /usr/bin/launcher ] && [ -x "$1$exec" ] ||
        { echo "unit: ExecStart is not the packaged launcher"; return 1; }
}
check_armhf() {
    local deb name arch files elf bad=0
    for deb in "$armhf_debs"/*.deb; do
        name=$(dpkg-deb -f "$deb" Package)
        arch=$(dpkg-deb -f "$deb" Architecture)
        echo "armhf: $name ($arch):"
        dpkg-deb -c "$deb" | awk '{print "armhf:   " $NF}'
        [ "$arch" = armhf ] || { echo "armhf: $name is for $arch"; bad=1; }
        rm -rf "$work/armhf/$name"
        mkdir -p "$work/armhf"
        dpkg-deb -x "$deb" "$work/armhf/$name" || return 1
        files=0
        while IFS= read -r -d '' elf; do
            [ "$(head -c4 "$elf" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
            files=$((files + 1))
            if ! readelf -h "$elf" | grep -q 'Class:[[:space:]]*ELF32' ||
               ! readelf -h "$elf" | grep -q 'Machine:[[:space:]]*ARM$'; then
                echo "armhf: not 32-bit ARM: ${elf#"$work/armhf/"}"
                bad=1
            fi
        done < <(find "$work/armhf/$name" -type f -print0)
        echo "armhf: $name: $files ELF files, all 32-bit ARM: $([ $bad = 0 ] && echo yes || echo NO)"
        [ "$files" -gt 0 ] || { echo "armhf: $name holds no program"; bad=1; }
        if [ "$name" = headunit-launcher ]; then
            check_unit_file "$work/armhf/$name" || bad=1
        fi
    done
    return $bad
}
timed "armhf package contents" check_armhf

# Runs the demo with the installed-like armhf launcher under qemu-arm, against
# the native simulator from the amd64 package. The armhf launcher really sets
# the system clock (a target build): it runs without CAP_SYS_TIME here.
run_armhf_demo() {
    local sim=$work/armhf-sim
    rm -rf "$sim"
    dpkg-deb -x "$amd64_debs"/headunit-mcusim_*_amd64.deb "$sim" || return 1
    local lib=$work/armhf/headunit-platform-standin/usr/lib/arm-linux-gnueabihf
    DEMO_OFFSCREEN=1 DEMO_PREFIX=$sim/usr \
        DEMO_LAUNCHER="setpriv --inh-caps=-sys_time --bounding-set=-sys_time qemu-arm -L / -U LD_PRELOAD -E LD_LIBRARY_PATH=$lib $work/armhf/headunit-launcher/usr/bin/launcher" \
        scripts/demo.sh
}
timed "armhf launcher under qemu-arm" run_armhf_demo

# --- 3. a clean Debian 12 root ------------------------------------------------
clean_root=$work/root
make_root() {
    debootstrap --variant=minbase bookworm "$clean_root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log"; return 1; }
}
timed "clean root (debootstrap minbase)" make_root
mkdir -p "$clean_root/opt/check/scripts" "$clean_root/opt/check/debs"
cp "$amd64_debs"/*.deb "$clean_root/opt/check/debs/"
cp scripts/demo.sh scripts/stop-lib.sh "$clean_root/opt/check/scripts/"
cp /etc/resolv.conf "$clean_root/etc/resolv.conf"
# The root's own mount namespace and /proc: nothing stays mounted afterwards.
in_root() {
    unshare --mount --pid --fork --mount-proc="$clean_root/proc" \
        chroot "$clean_root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
}
timed "clean root: apt install of the packages" in_root sh -ec '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends /opt/check/debs/*.deb >/opt/check/apt.log
    dpkg-query -W "headunit-*"'
# The unit as installed, judged by systemd against the clean root (so that
# ExecStart is the installed launcher): any line verify prints fails the leg.
# Only the unit itself is verified: a minbase root has no systemd, so the units
# it is ordered against are not there. The hardening is held to an exposure
# of at most 5.0 (systemd's scale in tenths: 50).
check_installed_unit() {
    local out rc=0
    check_unit_file "$clean_root" || return 1
    out=$(systemd-analyze verify --root="$clean_root" --recursive-errors=no "$unit" 2>&1) || rc=$?
    if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
        printf 'unit: systemd-analyze verify (exit %d):\n%s\n' "$rc" "$out"
        return 1
    fi
    echo "unit: systemd-analyze verify: no remarks"
    out=$(systemd-analyze security --offline=yes --root="$clean_root" --threshold=50 "$unit" 2>&1) || rc=$?
    echo "$out" | grep -F "Overall exposure" || echo "$out"
    [ "$rc" -eq 0 ] || { echo "unit: hardening below the bar:"; echo "$out" | grep -F '✗'; return 1; }
}
timed "clean root: the installed systemd unit" check_installed_unit
timed "clean root: demo with the installed packages" in_root env DEMO_PREFIX=/usr /opt/check/scripts/demo.sh
rm -rf "$clean_root"

# --- 4. the vendor swap -------------------------------------------------------
vendor=$work/vendor
dpkg-deb -x "$amd64_debs"/headunit-platform-standin_*_amd64.deb "$vendor"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
vendor_build=$root/build/vendor
rm -rf "$vendor_build"
timed "vendor configure" cmake --preset default -B "$vendor_build" \
    -DLAUNCHER_PLATFORM=vendor \
    -DLAUNCHER_VENDOR_LIBDIR="$vendor/usr/lib/$multiarch" \
    -DLAUNCHER_VENDOR_INCLUDEDIR="$vendor/usr/include/headunit-platform"
timed "vendor build" cmake --build "$vendor_build" -j2
if ldd "$vendor_build/launcher/launcher" | grep -F "$vendor_build/platform"; then
    echo "vendor: the launcher uses stand-ins from its own build tree"
    exit 1
fi
ldd "$vendor_build/launcher/launcher" | grep -F "$vendor/"
timed "vendor e2e" ctest --test-dir "$vendor_build" -L e2e -j2 --output-on-failure --no-tests=error

# --- 5. reproducibility -------------------------------------------------------
# The same commit, from another folder with the same layout, same SOURCE_DATE_EPOCH.
copy=$work/elsewhere/headunit
mkdir -p "$copy"
if git rev-parse --verify -q HEAD >/dev/null; then
    git archive HEAD | tar -x -C "$copy"
    if ! git diff --quiet HEAD; then
        echo "reproducible: NOTE: the working tree differs from HEAD; the copy is of HEAD"
    fi
else
    tar -c --exclude=./build . | tar -x -C "$copy"
fi
second_build() {
    "$copy/scripts/package.sh" amd64 >"$work/second-build.log" 2>&1 ||
        { tail -30 "$work/second-build.log"; return 1; }
}
timed "reproducible: second build elsewhere" second_build
compare_builds() {
    local first=$root/build/package-amd64 second=$copy/build/package-amd64 f bad=0
    for f in launcher/launcher tools/mcusim/mcusim \
             platform/standin/libplatformcore.so.1.0.0 platform/standin/libsysset.so.1.0.0 \
             platform/standin/libapis.so.1.0.0 platform/standin/libexesvc.so.1.0.0 \
             platform/standin/libappframework.so.1.0.0; do
        if cmp -s "$first/$f" "$second/$f"; then
            echo "reproducible: $f identical ($(sha256sum <"$first/$f" | cut -c1-16))"
        else
            echo "reproducible: $f DIFFERS"
            bad=1
        fi
    done
    for f in "$first"/packages/*.deb; do
        if cmp -s "$f" "$second/packages/${f##*/}"; then
            echo "reproducible: ${f##*/} identical"
        else
            echo "reproducible: ${f##*/} differs (binaries above decide)"
        fi
    done
    return $bad
}
timed "reproducible: byte comparison" compare_builds
rm -rf "$work/elsewhere"

# Minutes have passed since the first build was configured: configuring it
# again must leave every target up to date.
no_rebuild() {
    local dir=$root/build/package-amd64 plan
    cmake "$dir" >/dev/null
    plan=$(cmake --build "$dir" -- -n)
    echo "$plan" | tail -n 3
    [ "$plan" = "ninja: no work to do." ]
}
timed "reproducible: reconfigure rebuilds nothing" no_rebuild
echo "package: all checks passed"
