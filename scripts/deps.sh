#!/usr/bin/env bash
# Installs the Debian packages the build, tests, demo, benchmarks and screenshots need, when
# they are missing. Packages are installed without their recommendations, so every package the
# build finds must be listed here: a machine that once installed more hides a gap.
#
#   scripts/deps.sh           the Linux build's packages
#   scripts/deps.sh windows   also the Windows cross-build's (large: Wine alone is some 600 MB,
#                             so only scripts/test.sh and scripts/package.sh ask for them) and
#                             the pugixml sources that build compiles
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    ccache                      # optional compiler cache; rebuilds in CI and scripts are faster
    libgtest-dev libgmock-dev googletest  # unit and end-to-end tests
    strace                      # station_e2e_test: kills the station as it writes a record
    python3                     # scripts/soak.sh: the station soak's phones and checks
    libbenchmark-dev            # bench/
    libcli11-dev                # vbcflash-cli's and vbcsim's options
    libpugixml-dev              # XML reader of the panel resources (toolkit/uiresources.cpp)
    nlohmann-json3-dev          # vbcflash-cli --json, the station's worker lines and log
    libssl-dev                  # libcrypto: SHA-256 of the station's image
    libsqlite3-dev              # the station's database (SQLite)
    libpq-dev                   # the station's database on a PostgreSQL server
    postgresql                  # the server the station's PostgreSQL test starts
    qt6-base-dev qt6-base-dev-tools  # Qt Widgets, Qt Test; moc
    libgl-dev                   # Qt's GUI module needs the OpenGL headers
    libqt6opengl6-dev           # Qt UiTools (below) depends on Qt OpenGL and OpenGLWidgets
    qt6-tools-dev qt6-tools-dev-tools  # Qt UiTools: the GUI loads the .ui panels at run time
    clang libclang-rt-dev       # the libFuzzer targets (libFuzzer, ASan and UBSan run-times)
    xvfb xauth                  # a virtual X display: scripts/screenshots.sh, and the Win32
                                # backend's tests under Wine (scripts/wine-tests.sh)
    openbox x11-utils           # a window manager for the windows of scripts/screenshots.sh and
                                # of vbcflash.exe under Wine (scripts/with-wm.sh; xprop)
    help2man dpkg-dev           # scripts/package.sh: man pages from --help; dpkg-shlibdeps
)
WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix  # the cross-compiler (POSIX threads: std::thread, std::mutex)
    wine64                      # runs the .exe tests and the end-to-end job under Wine
    librsvg2-bin icoutils       # vbcflash.exe's icon: rsvg-convert and icotool, from the SVG
    xdotool                     # vbcflash.exe under Wine: waits for its window, types keys
    x11-apps netpbm             # scripts/wine-screenshots.sh: xwd, and its pictures made PNG
    zip unzip                   # scripts/package.sh: the Windows zip, and its listing
    tcl                         # SQLite's one-file source (sqlite3.c) is made by a Tcl script
)
windows=0
if [ "${1:-}" = windows ]; then
    windows=1
    PACKAGES+=("${WINDOWS_PACKAGES[@]}")
fi

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

# The Windows build compiles pugixml and SQLite itself (Debian's -dev packages hold Linux
# libraries): from Debian's source packages of the same versions, under build/deps/.
debian_source() {  # SOURCE_PACKAGE BINARY_PACKAGE DIRECTORY
    local SUDO="" version srclist uris suite
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    version=$(dpkg-query -W -f='${source:Version}' "$2")
    srclist=/etc/apt/sources.list.d/vbcflash-deb-src.sources
    if ! apt-get source --print-uris -qq "$1=$version" >/dev/null 2>&1; then
        # Source packages of the release the machine runs, from its own Debian mirror.
        uris=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1 || true)
        suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
            "${uris:-http://deb.debian.org/debian}" "$suite" \
            /usr/share/keyrings/debian-archive-keyring.gpg | $SUDO tee "$srclist" >/dev/null
        $SUDO apt-get update -qq
    fi
    rm -rf "$3" "$3-src"
    mkdir -p "$3-src"
    (cd "$3-src" && apt-get source -qq "$1=$version" >/dev/null 2>&1)
    mv "$3-src/$1"-*/ "$3"
    rm -rf "$3-src"
}
if ((windows)) && [ ! -f build/deps/pugixml/src/pugixml.cpp ]; then
    debian_source pugixml libpugixml-dev build/deps/pugixml
fi
# SQLite's sources become the one file its own build makes (sqlite3.c, with sqlite3.h), which
# the Windows build compiles; the rest is removed.
if ((windows)) && [ ! -f build/deps/sqlite3/sqlite3.c ]; then
    debian_source sqlite3 libsqlite3-dev build/deps/sqlite3-tree
    (mkdir -p build/deps/sqlite3-tree/bld && cd build/deps/sqlite3-tree/bld &&
        ../configure --disable-tcl >/dev/null && make -j2 sqlite3.c >/dev/null)
    mkdir -p build/deps/sqlite3.new
    cp build/deps/sqlite3-tree/bld/sqlite3.c build/deps/sqlite3-tree/bld/sqlite3.h \
        build/deps/sqlite3-tree/LICENSE.md build/deps/sqlite3.new/
    rm -rf build/deps/sqlite3 build/deps/sqlite3-tree
    mv build/deps/sqlite3.new build/deps/sqlite3
fi
