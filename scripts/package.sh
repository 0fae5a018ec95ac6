#!/usr/bin/env bash
# Builds the Debian package of the tool: build/package/vbcflash_VERSION_amd64.deb, with the
# three programs in /usr/bin, the desktop entry and icon, the man pages and the example
# flash.txt. Installs what the build needs first (scripts/deps.sh).
#
#   scripts/package.sh
#   sudo apt-get install ./build/package/vbcflash_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset package >/dev/null
cmake --build --preset package -j "${JOBS:-2}"
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vbcflash_*_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
