#!/usr/bin/env bash
# Builds the Debian package of the tool: build/package/vbcflash_VERSION_amd64.deb, with the
# three programs in /usr/bin, the desktop entry and icon, the man pages and the example
# flash.txt. Installs what the build needs first (scripts/deps.sh).
#
# Then the Windows zip, build/windows/vbcflash-windows-x86_64.zip: vbcflash.exe (the desktop
# program), vbcflash-cli.exe, the README, the example flash.txt and the licence texts of what
# the .exe files hold. They are those scripts/test.sh ran under Wine when that build is current;
# SKIP_WINDOWS=1 leaves the zip out.
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
cmake --preset windows >/dev/null
# Ninja rebuilds nothing when the tested .exe files are current: the zip then holds those very
# files.
cmake --build --preset windows -j "${JOBS:-2}" --target vbcflash-cli vbcflash
stage=build/windows/zip/vbcflash-windows-x86_64
rm -rf build/windows/zip
mkdir -p "$stage/examples" "$stage/licences"
cp build/windows/cli/vbcflash-cli.exe build/windows/gui/win32/vbcflash.exe "$stage/"
cp README.md "$stage/README.md"
cp examples/flash.txt "$stage/examples/"
# What is linked into the .exe, each with its Debian copyright file (the licence texts):
# the compiler's run-time (libgcc, libstdc++: GPL with the GCC run-time library exception),
# the MinGW-w64 run-time and winpthreads, pugixml, CLI11 and nlohmann-json.
for pkg in gcc-mingw-w64-base mingw-w64-common libpugixml-dev libcli11-dev nlohmann-json3-dev; do
    cp "/usr/share/doc/$pkg/copyright" "$stage/licences/$pkg.txt"
done
cp /usr/share/common-licenses/GPL-3 "$stage/licences/GPL-3.txt"
if [ -f LICENSE ]; then cp LICENSE "$stage/licences/vbcflash.txt"; fi
(cd build/windows/zip && zip -qr9 ../vbcflash-windows-x86_64.zip vbcflash-windows-x86_64)
echo "zip: build/windows/vbcflash-windows-x86_64.zip"
unzip -l build/windows/vbcflash-windows-x86_64.zip
