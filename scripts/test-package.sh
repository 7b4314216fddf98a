#!/usr/bin/env bash
# The packages tried as an integrator would, each step able to fail the leg:
#   1. amd64 and armhf packages built with dpkg-buildpackage
#      (scripts/package.sh), no lintian error;
#   2. what the packages hold: architecture, file lists, every ELF of the
#      target's 32-bit ARM, the unit's clock capability as the architecture
#      says (armhf sets the clock, amd64 does not), each program's debug
#      information in its -dbgsym package under its build id; the armhf
#      launcher's version, and one run of it under qemu-arm against the
#      native simulator;
#   3. the amd64 packages installed with apt into a clean Debian 12 root
#      (debootstrap --variant=minbase): enabled there without a running
#      systemd (an image built offline), `launcher --version` without a
#      display, the installed systemd unit checked by systemd-analyze (verify,
#      and its hardening), the demo run with the installed programs;
#   4. the maintainer scripts under systemd: the root booted with
#      systemd-nspawn, the enabled launcher started at boot, an upgrade that
#      restarts it, a removal that stops it and leaves no enable link, and a
#      new installation that enables it without starting it;
#   5. the vendor swap: the launcher built from a separate tree against the
#      installed stand-in package as if it were the maker's, and the end-to-end
#      scenarios run with it;
#   6. reproducibility: the same commit built again from another folder gives
#      byte-identical packages, and a configure in a new minute rebuilds nothing.
# Runs as root (debootstrap, chroot, nspawn). Work files in build/package-check.
set -euo pipefail
source "$(dirname "$0")/ci-lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "package: needs root (debootstrap, chroot and systemd-nspawn)"
    exit 1
fi
scripts/install-deps.sh dpkg-dev lintian debootstrap qemu-user systemd systemd-container

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
version=$(dpkg-deb -f "$amd64_debs"/headunit-launcher_*_amd64.deb Version)
echo "package: version $version"

# --- 2. what the packages hold ----------------------------------------------
unit=headunit-launcher.service
# The launcher's unit in the unpacked or installed root $1, starting the
# launcher installed there, with the clock capability of architecture $2.
check_unit_file() {
    local file=$1/lib/systemd/system/$unit exec caps want
    [ -f "$file" ] || { echo "unit: no $unit in ${1#"$work/"}"; return 1; }
    exec=$(sed -n 's/^ExecStart=//p' "$file")
    echo "unit: ${file#"$work/"}: ExecStart=$exec"
    [ "$exec" = /usr/bin/launcher ] && [ -x "$1$exec" ] ||
        { echo "unit: ExecStart is not the packaged launcher"; return 1; }
    caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$file")
    want=$([ "$2" = armhf ] && echo CAP_SYS_TIME)
    echo "unit: $2: CapabilityBoundingSet=$caps"
    [ "$caps" = "$want" ] || { echo "unit: $2 should keep '${want}'"; return 1; }
    ! grep -q '^ProtectClock=' "$file" || { echo "unit: ProtectClock= hides the devices"; return 1; }
}

# Each package of folder $1 for architecture $2: its files, its ELF files of
# that architecture (32-bit ARM for armhf) with no debug information left in
# them, and the debug information of each in the package's -dbgsym, under
# /usr/lib/debug/.build-id/ by the file's build id.
check_contents() {
    local debs=$1 arch=$2 deb name dir dbg elf id debug files bad=0
    for deb in "$debs"/*.deb; do
        name=$(dpkg-deb -f "$deb" Package)
        case "$name" in *-dbgsym) continue ;; esac
        dir=$work/$arch/$name
        dbg=$work/$arch/$name-dbgsym
        rm -rf "$dir" "$dbg"
        mkdir -p "$dir" "$dbg"
        echo "$arch: $name ($(dpkg-deb -f "$deb" Architecture)):"
        dpkg-deb -c "$deb" | awk -v a="$arch" '{print a ":   " $6}'
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "$arch: $name is not for $arch"; bad=1; }
        [ -z "$(dpkg-deb -f "$deb" Recommends)" ] || { echo "$arch: $name recommends packages"; bad=1; }
        dpkg-deb -x "$deb" "$dir"
        dpkg-deb -x "$debs/$name-dbgsym_${version}_$arch.deb" "$dbg" ||
            { echo "$arch: no $name-dbgsym"; bad=1; continue; }
        files=0
        while IFS= read -r -d '' elf; do
            [ "$(head -c4 "$elf" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
            files=$((files + 1))
            if [ "$arch" = armhf ] &&
               { ! readelf -h "$elf" | grep -q 'Class:[[:space:]]*ELF32' ||
                 ! readelf -h "$elf" | grep -q 'Machine:[[:space:]]*ARM$'; }; then
                echo "$arch: not 32-bit ARM: ${elf#"$dir"}"
                bad=1
            fi
            id=$(readelf -n "$elf" 2>/dev/null | sed -n 's/^[[:space:]]*Build ID: //p')
            debug=$dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
            if [ -z "$id" ] || [ ! -f "$debug" ]; then
                echo "$arch: ${elf#"$dir"}: no debug file for build id '${id}'"
                bad=1
            elif ! readelf -S -W "$debug" | grep -q '\.debug_info' ||
                 readelf -S -W "$elf" | grep -q '\.debug_info'; then
                echo "$arch: ${elf#"$dir"}: debug information not moved to ${debug#"$dbg"}"
                bad=1
            fi
        done < <(find "$dir" -type f -print0)
        echo "$arch: $name: $files ELF files, each with its debug information in $name-dbgsym"
        [ "$files" -gt 0 ] || { echo "$arch: $name holds no program"; bad=1; }
        if [ "$name" = headunit-launcher ]; then
            check_unit_file "$dir" "$arch" || bad=1
            [ -f "$dir/etc/default/headunit-launcher" ] && [ -f "$dir/usr/share/man/man8/launcher.8.gz" ] ||
                { echo "$arch: no /etc/default file or manual page"; bad=1; }
        fi
    done
    return $bad
}
timed "amd64 package contents" check_contents "$amd64_debs" amd64
timed "armhf package contents" check_contents "$armhf_debs" armhf
# Only the package that sets the clock stands for a time daemon (so that none
# is pulled in beside it).
provides_time() {
    [ "$(dpkg-deb -f "$armhf_debs"/headunit-launcher_*_armhf.deb Provides)" = time-daemon ] &&
        [ -z "$(dpkg-deb -f "$amd64_debs"/headunit-launcher_*_amd64.deb Provides)" ]
}
timed "armhf launcher provides time-daemon, amd64 not" provides_time

# The armhf launcher under qemu-arm, with the stand-ins of its package.
armhf_launcher() {
    qemu-arm -L / -U LD_PRELOAD -E LD_LIBRARY_PATH="$work/armhf/headunit-platform-standin/usr/lib/arm-linux-gnueabihf" \
        "$work/armhf/headunit-launcher/usr/bin/launcher" "$@"
}
# Its version is the package's, and it says it sets the clock.
armhf_version() {
    local out
    out=$(unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM; armhf_launcher --version) || return 1
    echo "$out"
    [ "$(echo "$out" | head -n1)" = "launcher $version" ] && echo "$out" | grep -q '^system clock:  set from MCU time$'
}
timed "armhf launcher --version" armhf_version

# Runs the demo with the installed-like armhf launcher under qemu-arm, against
# the native simulator from the amd64 package. The armhf launcher really sets
# the system clock (a target build): it runs without CAP_SYS_TIME here.
run_armhf_demo() {
    local lib=$work/armhf/headunit-platform-standin/usr/lib/arm-linux-gnueabihf
    DEMO_OFFSCREEN=1 DEMO_PREFIX=$work/amd64/headunit-mcusim/usr \
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
for deb in "$amd64_debs"/*.deb; do
    case "$deb" in *-dbgsym_*) ;; *) cp "$deb" "$clean_root/opt/check/debs/" ;; esac
done
cp scripts/demo.sh scripts/stop-lib.sh scripts/sound-lib.sh "$clean_root/opt/check/scripts/"
cp /etc/resolv.conf "$clean_root/etc/resolv.conf"
# The root's own mount namespace and /proc: nothing stays mounted afterwards.
in_root() {
    unshare --mount --pid --fork --mount-proc="$clean_root/proc" \
        chroot "$clean_root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
}
# Installed as an image build would, without recommends; what recommends would
# add is only reported.
timed "clean root: apt install of the packages" in_root sh -ec '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    echo "apt: with recommends, apt would install $(apt-get install -s /opt/check/debs/*.deb 2>/dev/null | grep -c "^Inst ") packages:"
    apt-get install -s /opt/check/debs/*.deb 2>/dev/null | sed -n "s/^Inst \([^ ]*\) .*/\1/p" | grep -E "timesync|chrony|ntp|xserver|gnome|kde|plasma|wayland-protocols" || true
    apt-get install -y -q --no-install-recommends /opt/check/debs/*.deb >/opt/check/apt.log
    echo "apt: installed $(grep -c "^Setting up " /opt/check/apt.log) packages without recommends"
    dpkg-query -W "headunit-*"'
# No systemd runs in the root, as in an image built offline: the package
# enabled the unit all the same, and the settings file is a conffile.
offline_install() {
    local link=$clean_root/etc/systemd/system/graphical.target.wants/$unit
    [ -L "$link" ] || { echo "offline: the unit is not enabled"; return 1; }
    echo "offline: enabled: ${link#"$clean_root"} -> $(readlink "$link")"
    in_root dpkg-query -W -f='${Conffiles}\n' headunit-launcher | grep -F /etc/default/headunit-launcher
}
timed "clean root: installed offline" offline_install
# --version with no display and nothing of the service's environment.
installed_version() {
    local out
    out=$(in_root /usr/bin/launcher --version) || return 1
    echo "$out"
    [ "$(echo "$out" | head -n1)" = "launcher $version" ] &&
        echo "$out" | grep -q '^system clock:  not set'
}
timed "clean root: launcher --version without a display" installed_version
# The unit as installed, judged by systemd against the clean root (so that
# ExecStart is the installed launcher): any line verify prints fails the leg.
# Only the unit itself is verified: a minbase root has no systemd, so the units
# it is ordered against are not there. The hardening is held to an exposure
# of at most 5.0 (systemd's scale in tenths: 50).
check_installed_unit() {
    local out rc=0
    check_unit_file "$clean_root" amd64 || return 1
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

# --- 4. the maintainer scripts under systemd ---------------------------------
# The root gets systemd and boots in a container. It has no display: the
# settings file says offscreen, as on any machine without one. The upgrade is
# the same launcher package with a greater version.
boot_pid=
leader=
stop_container() {
    [ -n "$boot_pid" ] || return 0
    if kill -0 "$boot_pid" 2>/dev/null; then
        [ -z "$leader" ] || nsenter -t "$leader" -a systemctl poweroff >/dev/null 2>&1 || true
        for _ in $(seq 100); do kill -0 "$boot_pid" 2>/dev/null || break; sleep 0.1; done
        kill "$boot_pid" 2>/dev/null || true
    fi
    wait "$boot_pid" 2>/dev/null || true
    boot_pid=
}
trap stop_container EXIT
prepare_boot() {
    in_root sh -ec '
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -q --no-install-recommends systemd >/opt/check/apt-systemd.log
        sed -i "s/^QT_QPA_PLATFORM=.*/QT_QPA_PLATFORM=offscreen/" /etc/default/headunit-launcher'
    local deb=$work/upgrade
    rm -rf "$deb"
    dpkg-deb -R "$amd64_debs"/headunit-launcher_*_amd64.deb "$deb"
    sed -i "s/^Version: .*/Version: $version.1/" "$deb/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$deb" "$clean_root/opt/check/headunit-launcher_upgrade.deb" >/dev/null
}
timed "systemd: systemd in the root, an upgrade package" prepare_boot
# nspawn wants its propagation folder on a tmpfs and, with no service manager
# on this machine, neither a registration nor a scope of its own.
boot_root() {
    unshare --mount --propagation private sh -c '
        mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn &&
        exec systemd-nspawn -q -D "$1" --boot --register=no --keep-unit --machine=headunit-check' \
        sh "$clean_root" </dev/null >"$work/boot.log" 2>&1 &
    boot_pid=$!
    local state=
    for _ in $(seq 300); do
        leader=$(pgrep -P "$(pgrep -P "$boot_pid" -x systemd-nspawn || echo "$boot_pid")" -x systemd || true)
        [ -z "$leader" ] || state=$(in_boot systemctl is-system-running 2>/dev/null || true)
        case "$state" in running | degraded) break ;; esac
        kill -0 "$boot_pid" 2>/dev/null || break
        sleep 0.2
    done
    echo "systemd: the root booted: ${state:-no}"
    [ "$state" = running ] || { tail -20 "$work/boot.log"; in_boot systemctl --failed --no-pager || true; return 1; }
}
in_boot() {
    nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}
# The launcher's main process once the unit is active (waits up to 20 s).
main_pid() {
    local pid=0
    for _ in $(seq 100); do
        if [ "$(in_boot systemctl is-active "$unit" || true)" = active ]; then
            pid=$(in_boot systemctl show -P MainPID "$unit")
            [ "$pid" != 0 ] && break
        fi
        sleep 0.2
    done
    echo "$pid"
}
lifecycle() {
    local first second links
    boot_root || return 1
    first=$(main_pid)
    [ "$first" != 0 ] || { echo "systemd: the enabled launcher did not start at boot"; in_boot systemctl status --no-pager "$unit"; return 1; }
    echo "systemd: started at boot, pid $first"

    in_boot dpkg -i /opt/check/headunit-launcher_upgrade.deb >/dev/null
    second=$(main_pid)
    echo "systemd: upgraded to $(in_boot dpkg-query -W -f='${Version}' headunit-launcher), pid $second"
    [ "$second" != 0 ] && [ "$second" != "$first" ] || { echo "systemd: not restarted by the upgrade"; return 1; }
    [ "$(in_boot systemctl show -P NeedDaemonReload "$unit")" = no ] || { echo "systemd: a daemon-reload is wanted"; return 1; }
    grep -q '^QT_QPA_PLATFORM=offscreen' "$clean_root/etc/default/headunit-launcher" ||
        { echo "systemd: the upgrade replaced the changed settings file"; return 1; }

    in_boot dpkg -r headunit-launcher >/dev/null
    [ "$(in_boot systemctl is-active "$unit" || true)" != active ] && ! in_boot test -e "/proc/$second" ||
        { echo "systemd: still running after removal"; return 1; }
    links=$(in_boot find /etc/systemd/system -xtype l)
    [ -z "$links" ] || { echo "systemd: links left pointing at nothing: $links"; return 1; }
    echo "systemd: removed: stopped, no enable link left"

    in_boot dpkg -i /opt/check/headunit-launcher_upgrade.deb >/dev/null
    [ "$(in_boot systemctl is-enabled "$unit")" = enabled ] &&
        [ "$(in_boot systemctl is-active "$unit" || true)" = inactive ] ||
        { echo "systemd: a new installation should be enabled, not started"; return 1; }
    echo "systemd: installed anew: enabled, not started"
}
timed "systemd: boot, upgrade, removal, installation" lifecycle
stop_container
rm -rf "$clean_root"

# --- 5. the vendor swap -------------------------------------------------------
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

# --- 6. reproducibility -------------------------------------------------------
# The same commit, from another folder, with the same version and time.
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
    LAUNCHER_PACKAGE_VERSION=$version "$copy/scripts/package.sh" amd64 >"$work/second-build.log" 2>&1 ||
        { tail -30 "$work/second-build.log"; return 1; }
}
timed "reproducible: second build elsewhere" second_build
compare_builds() {
    local first second f bad=0
    for first in "$amd64_debs"/*.deb; do
        second=$copy/build/package-amd64/packages/${first##*/}
        if cmp -s "$first" "$second"; then
            echo "reproducible: ${first##*/} identical ($(sha256sum <"$first" | cut -c1-16))"
            continue
        fi
        echo "reproducible: ${first##*/} DIFFERS:"
        rm -rf "$work/cmp"
        mkdir -p "$work/cmp/1" "$work/cmp/2"
        dpkg-deb -R "$first" "$work/cmp/1" && dpkg-deb -R "$second" "$work/cmp/2" &&
            diff -rq "$work/cmp/1" "$work/cmp/2" | sed 's/^/reproducible:   /'
        bad=1
    done
    return $bad
}
timed "reproducible: byte comparison" compare_builds
rm -rf "$work/elsewhere" "$work/cmp"

# Minutes have passed since the first build was configured: configuring it
# again (with the time the package build had) must leave every target up to date.
no_rebuild() {
    local dir plan
    dir=$(echo "$root"/build/package-amd64/headunit-launcher-*/obj-*)
    cmake "$dir" >/dev/null
    plan=$(cmake --build "$dir" -- -n)
    echo "$plan" | tail -n 3
    [ "$plan" = "ninja: no work to do." ]
}
timed "reproducible: reconfigure rebuilds nothing" no_rebuild
echo "package: all checks passed"
