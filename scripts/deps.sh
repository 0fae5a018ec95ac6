#!/usr/bin/env bash
# Installs the Debian packages the build, tests, demo, benchmarks and screenshots need, when
# they are missing. Packages are installed without their recommendations, so every package the
# build finds must be listed here: a machine that once installed more hides a gap.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    ccache                      # optional compiler cache; rebuilds in CI and scripts are faster
    libgtest-dev libgmock-dev googletest  # unit and end-to-end tests
    libbenchmark-dev            # bench/
    libcli11-dev                # vbcflash-cli's and vbcsim's options
    libpugixml-dev              # XML reader of the panel resources (platform/uiresources.cpp)
    nlohmann-json3-dev          # vbcflash-cli --json, the station's worker lines and log
    libssl-dev                  # libcrypto: SHA-256 of the station's image
    qt6-base-dev qt6-base-dev-tools  # Qt Widgets, Qt Test; moc
    libgl-dev                   # Qt's GUI module needs the OpenGL headers
    libqt6opengl6-dev           # Qt UiTools (below) depends on Qt OpenGL and OpenGLWidgets
    qt6-tools-dev qt6-tools-dev-tools  # Qt UiTools: the GUI loads the .ui panels at run time
    clang libclang-rt-dev       # the libFuzzer targets (libFuzzer, ASan and UBSan run-times)
    xvfb xauth                  # scripts/screenshots.sh: a virtual X display
    openbox                     # frames the windows in scripts/screenshots.sh
    help2man dpkg-dev           # scripts/package.sh: man pages from --help; dpkg-shlibdeps
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
