#!/usr/bin/env bash
# Screenshots of the vbcflash GUI for the documentation: runs the real GUI on a virtual X
# display (Xvfb), driven against the simulated phone, and saves
#   main.png      the main panel at rest, a software file loaded
#   download.png  a download in progress
#   success.png   the success panel
#   error.png     an error panel (a flash that flash.txt does not describe)
#   service.png   the service panel after a switch on
#   station-writing.png  the station window, four phones being written
#   station-done.png     the station window after that run, one phone failed
#   windows-*.png        the Windows program under Wine (scripts/wine-screenshots.sh), when the
#                        Windows build is there
# into docs/screenshots/ or the directory given.
#
#   scripts/screenshots.sh [OUTPUT_DIRECTORY]
#
# BUILD_DIR chooses the build directory (default build/default, configured if needed).
set -euo pipefail
cd "$(dirname "$0")/.."

OUT="${1:-docs/screenshots}"
BUILD_DIR="${BUILD_DIR:-build/default}"
DRIVER="$BUILD_DIR/gui/qt/vbcflash_screenshots"

for tool in xvfb-run Xvfb; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target vbcflash_screenshots

mkdir -p "$OUT"
# A fixed screen and density, so that the pictures do not depend on the machine.
unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR
export QT_QPA_PLATFORM=xcb QT_ENABLE_HIGHDPI_SCALING=0
# A window manager gives the windows their frames and title bars.
xvfb-run --auto-servernum --server-args="-screen 0 1400x900x24 -dpi 96 -nolisten tcp" \
    scripts/with-wm.sh "$DRIVER" "$OUT"
# The Windows desktop program's, under Wine, when the Windows build is there.
if [ -x build/windows/gui/win32/vbcflash.exe ] && [ -x build/default/vbcsim ]; then
    scripts/wine-screenshots.sh "$OUT"
else
    echo "screenshots: no build/windows/gui/win32/vbcflash.exe (or build/default/vbcsim): no Windows pictures" >&2
fi
echo "screenshots: saved in $OUT"
