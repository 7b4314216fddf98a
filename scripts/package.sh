#!/usr/bin/env bash
# Builds the Debian packages: headunit-launcher, headunit-platform-standin and
# headunit-mcusim, for this machine (amd64) or, cross-built from the armhf
# preset, for the 32-bit ARM target. Checks each with lintian (no error allowed).
#
# Usage: scripts/package.sh [amd64|armhf]        (default: amd64)
# Output: build/package-<arch>/packages/*.deb
# Environment: SOURCE_DATE_EPOCH (default: the last commit's time) dates the
#              build, so that two builds of one commit give the same binaries.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

arch=${1:-amd64}
case "$arch" in
amd64) preset=default ;;
armhf) preset=armhf ;;
*) echo "package: unknown architecture '$arch' (amd64 or armhf)"; exit 2 ;;
esac

if [ "$arch" = armhf ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "package: adding the armhf architecture to dpkg"
    if [ "$(id -u)" -ne 0 ]; then sudo dpkg --add-architecture armhf; else dpkg --add-architecture armhf; fi
fi
extra=(dpkg-dev lintian)
if [ "$arch" = armhf ]; then
    extra+=(crossbuild-essential-armhf qtbase5-dev-tools
            qtbase5-dev:armhf qtmultimedia5-dev:armhf libqt5multimedia5-plugins:armhf)
fi
scripts/install-deps.sh "${extra[@]}"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || true)
fi
[ -n "$SOURCE_DATE_EPOCH" ] || SOURCE_DATE_EPOCH=1704067200 # no history: a fixed time
export SOURCE_DATE_EPOCH

# A build of its own: installed under /usr (the libraries in the system's own
# library folder, so no RUNPATH), without the tests.
dir=$root/build/package-$arch
cmake --preset "$preset" -B "$dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DLAUNCHER_BUILD_TESTS=OFF
cmake --build "$dir" -j2

rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB)

status=0
for deb in "$dir"/packages/*.deb; do
    echo "package: ${deb#"$root"/}: $(dpkg-deb -f "$deb" Package Architecture Version Depends | paste -sd' ')"
    # Errors fail the build; warnings are shown.
    lintian --fail-on error "$deb" || status=1
done
if [ "$status" -ne 0 ]; then
    echo "package: lintian found errors"
    exit 1
fi
echo "package: $arch packages in ${dir#"$root"/}/packages"
