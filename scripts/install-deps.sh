#!/usr/bin/env bash
# Installs the Debian packages the project needs, once: packages already there
# are left alone, and apt-get runs only when something is missing.
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins libfontconfig-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev libedit-dev
    iproute2 procps xvfb xauth imagemagick
    tshark
    pulseaudio pulseaudio-utils sox weston qtwayland5 socat
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark (the link's captures through its dissector, e2e.capture) asks whether
# ordinary users may capture; nobody captures here: no set-uid helper.
if printf '%s\n' "${missing[@]}" | grep -qx 'tshark\|wireshark-common'; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
