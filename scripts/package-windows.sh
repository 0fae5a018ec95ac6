#!/usr/bin/env bash
# The Windows programs, vbcflash.exe (the desktop program), vbcflash-cli.exe and
# vbcflash-station.exe, with the README, the example flash.txt and the licence texts of what the
# .exe files hold, packed as the zip build/windows/vbcflash-windows-x86_64.zip and as the
# installer build/windows/vbcflash-setup-VERSION-x86_64.exe (NSIS, 64-bit:
# resources/windows/vbcflash-setup.nsi). Run by scripts/package.sh, and by scripts/test.sh
# before it tests the installer under Wine (scripts/wine-installer.sh). The programs are those
# scripts/test.sh ran under Wine when that build is current: Ninja rebuilds nothing then.
#
#   scripts/package-windows.sh       (after scripts/deps.sh windows)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows >/dev/null
programs=(build/windows/cli/vbcflash-cli.exe build/windows/gui/win32/vbcflash.exe
    build/windows/cli/vbcflash-station.exe)
cmake --build --preset windows -j "${JOBS:-2}" --target vbcflash-cli vbcflash vbcflash-station
version=$(sed -n 's/^project(vbcflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=build/windows/zip/vbcflash-windows-x86_64
rm -rf build/windows/zip
mkdir -p "$stage/examples" "$stage/licences"
cp "${programs[@]}" "$stage/"
cp README.md "$stage/README.md"
cp examples/flash.txt "$stage/examples/"
# What is linked into the .exe, each with its Debian copyright file (the licence texts):
# the compiler's run-time (libgcc, libstdc++: GPL with the GCC run-time library exception),
# the MinGW-w64 run-time and winpthreads, pugixml, CLI11, nlohmann-json and (in the station)
# SQLite.
for pkg in gcc-mingw-w64-base mingw-w64-common libpugixml-dev libcli11-dev nlohmann-json3-dev \
    libsqlite3-dev; do
    cp "/usr/share/doc/$pkg/copyright" "$stage/licences/$pkg.txt"
done
cp /usr/share/common-licenses/GPL-3 "$stage/licences/GPL-3.txt"
if [ -f LICENSE ]; then cp LICENSE "$stage/licences/vbcflash.txt"; fi
(cd build/windows/zip && rm -f ../vbcflash-windows-x86_64.zip && zip -qr9 ../vbcflash-windows-x86_64.zip vbcflash-windows-x86_64)
echo "zip: build/windows/vbcflash-windows-x86_64.zip"
unzip -l build/windows/vbcflash-windows-x86_64.zip

# The installer holds the same files. Its File lines and its uninstaller's Delete lines are
# written from the stage, so that the uninstaller removes by name what was installed and
# nothing else (never a whole folder: a user's config.txt or log may be there).
nsis=build/windows/nsis
rm -rf "$nsis"
mkdir -p "$nsis"
stage_abs=$(realpath "$stage")
win() { printf '%s' "$1" | tr / '\\'; }
{
    (cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) | while read -r f; do
        dir=$(dirname "$f")
        if [ "$dir" = . ]; then echo 'SetOutPath "$INSTDIR"'; else echo "SetOutPath \"\$INSTDIR\\$(win "$dir")\""; fi
        echo "File \"$stage_abs/$f\""
    done
} >"$nsis/files.nsh"
{
    (cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) | while read -r f; do
        echo "Delete \"\$INSTDIR\\$(win "$f")\""
    done
    # Sub-folders deepest first; RMDir without /r takes only an empty one.
    (cd "$stage" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort -r) | while read -r d; do
        echo "RMDir \"\$INSTDIR\\$(win "$d")\""
    done
} >"$nsis/unfiles.nsh"
setup="build/windows/vbcflash-setup-$version-x86_64.exe"
rm -f build/windows/vbcflash-setup-*-x86_64.exe
makensis -V2 -NOCD -DVERSION="$version" -DFILES="$(realpath "$nsis/files.nsh")" \
    -DUNFILES="$(realpath "$nsis/unfiles.nsh")" -DICON="$(realpath build/windows/gui/win32/vbcflash.ico)" \
    -DOUTFILE="$(realpath -m "$setup")" resources/windows/vbcflash-setup.nsi
echo "installer: $setup"
