#!/usr/bin/env bash
# Installs the Debian packages the build, tests, demo and GUI need, when they are missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build ccache pkg-config
    libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libgl-dev
    clang libclang-rt-dev
    xvfb xauth
    openbox  # frames the windows in scripts/screenshots.sh
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
