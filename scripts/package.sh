#!/usr/bin/env bash
# Builds the Debian packages as Debian builds its own: debhelper from debian/,
# run by dpkg-buildpackage, for this machine (amd64) or cross-built for the
# 32-bit ARM target (-a armhf, with the armhf preset's toolchain file):
#   headunit-launcher, headunit-platform-standin, headunit-mcusim
# and a -dbgsym package of each one's debug information. Checks them
# with lintian (no error allowed).
#
# The version names the commit: 1.0.0+git<YYYYMMDD>.<HHMM>.<hash> from the
# commit's time (UTC), "+dirty" after it when tracked files differ from the
# commit (they are what is built). The launcher reports the same version.
#
# Usage: scripts/package.sh [amd64|armhf]        (default: amd64)
# Output: build/package-<arch>/packages/ (*.deb with *-dbgsym_*.deb, .changes, .buildinfo),
#         the build itself in build/package-<arch>/headunit-launcher-<version>/
# Environment:
#   SOURCE_DATE_EPOCH          the build's time (default: the commit's), so that
#                              two builds of one commit give the same packages
#   LAUNCHER_PACKAGE_VERSION   the version, where there is no history to take
#                              it from (a copy of the tree without .git)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

arch=${1:-amd64}
case "$arch" in
amd64 | armhf) ;;
*) echo "package: unknown architecture '$arch' (amd64 or armhf)"; exit 2 ;;
esac

if [ "$arch" = armhf ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "package: adding the armhf architecture to dpkg"
    if [ "$(id -u)" -ne 0 ]; then sudo dpkg --add-architecture armhf; else dpkg --add-architecture armhf; fi
fi
# debian/control's Build-Depends, for the architecture built.
extra=(debhelper dpkg-dev lintian git)
if [ "$arch" = armhf ]; then
    extra+=(crossbuild-essential-armhf qtbase5-dev-tools qtbase5-dev:armhf qtmultimedia5-dev:armhf libfontconfig-dev:armhf)
fi
scripts/install-deps.sh "${extra[@]}"

# --- the version ------------------------------------------------------------
upstream=$(sed -n 's/^[[:space:]]*VERSION[[:space:]]\+\([0-9.]\+\)$/\1/p' CMakeLists.txt | head -n1)
commit=
commit_epoch=
# The history is this tree's own only where it is the top of a work tree (a
# copy inside another checkout's build folder has none).
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ] &&
   head=$(git log -1 --format=%ct:%H 2>/dev/null) && [ -n "$head" ]; then
    commit_epoch=${head%%:*}
    commit=${head#*:}
    commit=${commit:0:7}
fi
if [ -n "${LAUNCHER_PACKAGE_VERSION:-}" ]; then
    version=$LAUNCHER_PACKAGE_VERSION
    # The commit it names, for the changelog: the same text as a build of the commit.
    [[ $version =~ \+git[0-9]+\.[0-9]+\.([0-9a-f]+) ]] && commit=${BASH_REMATCH[1]}
elif [ -n "$commit" ]; then
    version=$upstream+git$(date -u -d "@$commit_epoch" +%Y%m%d.%H%M).$commit
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
        echo "package: NOTE: tracked files differ from commit $commit; they are built, as version +dirty"
        version=$version+dirty
    fi
else
    version=$upstream
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=${commit_epoch:-1704067200} # no history: a fixed time
fi
export SOURCE_DATE_EPOCH

# --- the tree to build ------------------------------------------------------
# A copy of the tracked files as they are (or of the whole tree without
# history), with the changelog's top entry for this version: dpkg-buildpackage
# takes the version and the build's time from it.
dir=$root/build/package-$arch
src=$dir/headunit-launcher-$version
rm -rf "$dir"
mkdir -p "$src" "$dir/packages"
if [ -n "$commit_epoch" ]; then
    tree=$(git stash create)
    git archive "${tree:-HEAD}" | tar -x -C "$src"
else
    tar -c --exclude=./build --exclude=./.git . | tar -x -C "$src"
fi
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
{
    echo "headunit-launcher ($version) unstable; urgency=medium"
    echo
    echo "  * Built from ${commit:+commit $commit}${commit:-a tree without history}."
    echo
    echo " -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
    echo
    cat debian/changelog
} >"$src/debian/changelog"

# --- the build ----------------------------------------------------------------
echo "package: building $version for $arch in ${src#"$root"/} (log: ${dir#"$root"/}/build.log)"
host=()
[ "$arch" = "$(dpkg --print-architecture)" ] || host=(-a "$arch")
if ! (cd "$src" && dpkg-buildpackage -b -us -uc -j2 "${host[@]}") >"$dir/build.log" 2>&1; then
    grep -n -i -E 'error|warning: .*not found' "$dir/build.log" | head -n 20 || true
    tail -n 40 "$dir/build.log"
    echo "package: dpkg-buildpackage failed (${dir#"$root"/}/build.log)"
    exit 1
fi
mv "$dir"/*.deb "$dir"/*.changes "$dir"/*.buildinfo "$dir/packages/"

status=0
for deb in "$dir"/packages/*.deb; do
    echo "package: ${deb#"$root"/}: $(dpkg-deb -f "$deb" Package Architecture Version Depends Recommends Provides | paste -sd' ')"
done
# Errors fail the build; warnings are shown (the known ones are explained in
# debian/*.lintian-overrides).
lintian --fail-on error "$dir"/packages/*.changes || status=1
if [ "$status" -ne 0 ]; then
    echo "package: lintian found errors"
    exit 1
fi
echo "package: $arch packages in ${dir#"$root"/}/packages"
