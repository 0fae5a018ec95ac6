#!/usr/bin/env bash
# Builds the Debian package of the tool: build/package/vbcflash_VERSION_amd64.deb, with the
# three programs in /usr/bin, the desktop entry and icon, the man pages and the example
# flash.txt. Installs what the build needs first (scripts/deps.sh).
#
# Then the Windows zip and installer (scripts/package-windows.sh); SKIP_WINDOWS=1 leaves them
# out.
#
#   scripts/package.sh
#   sudo apt-get install ./build/package/vbcflash_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then scripts/deps.sh windows; else scripts/deps.sh; fi
cmake --preset package >/dev/null
cmake --build --preset package -j "${JOBS:-2}"
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vbcflash_*_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

if [ "${SKIP_WINDOWS:-0}" = 1 ]; then exit 0; fi
scripts/package-windows.sh
