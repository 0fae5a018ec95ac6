#!/usr/bin/env bash
# The Windows installer (scripts/package-windows.sh) under Wine, in a fresh prefix on a virtual
# display, as a Windows user has it:
#   - "vbcflash-setup-VERSION-x86_64.exe /S" installs silently: under Program Files exactly the
#     files of the zip, byte for byte, and the uninstaller; the installed programs print the
#     version; the Start-menu entry; the Apps & features entry and the .cla association in the
#     registry;
#   - a .cla file opened as the Explorer opens it (start, through the association) starts
#     vbcflash.exe with it loaded, in the file's folder: Alt+S then writes that very file into
#     vbcsim's flash on COM1;
#   - "uninstall.exe /S" removes every file, entry and key of ours, and nothing else: a
#     config.txt and a log left in the program's folder and in the working folder stay.
#
#   scripts/wine-installer.sh [SETUP_EXE [VBCSIM]]     (KEEP=1 keeps the scratch directory)
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(vbcflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
SETUP="$(realpath "${1:-build/windows/vbcflash-setup-$version-x86_64.exe}")"
SIM="$(realpath "${2:-build/default/vbcsim}")"
STAGE="$(realpath build/windows/zip/vbcflash-windows-x86_64)"  # what the installer holds
export SIZE="${SIZE:-131072}"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    [ -f "$SETUP" ] || { echo "wine-installer: no $SETUP (scripts/package-windows.sh)" >&2; exit 1; }
    winegui_outer wine-installer
    winegui_inner "$SETUP" "$SIM"
    exit $?
fi
# No menu entries or MIME types for the Linux desktop of whoever runs the test.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

trap 'winegui_sim_stop' EXIT
fail() {
    echo "wine-installer: $*" >&2
    if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT" || true; fi
    exit 1
}
INST="$WINEPREFIX/drive_c/Program Files/vbcflash"
WINST='C:\Program Files\vbcflash'
MENU="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/vbcflash.lnk"
UNKEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\vbcflash'
CLASSES='HKLM\Software\Classes'

# The value NAME of registry key KEY ("" for the default), as reg prints it; empty when absent.
reg_value() {
    local args=(/v "$2")
    [ -n "$2" ] || args=(/ve)
    "$WINE" reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^.*    REG_[A-Z_]*    //p' | head -n 1
}
reg_exists() { "$WINE" reg query "$1" >/dev/null 2>&1; }
files_under() { [ ! -d "$1" ] || (cd "$1" && find . -type f | LC_ALL=C sort); }
# Until every program of the prefix has ended (the uninstaller runs as a copy of itself in
# %TEMP%, so its own process ends first).
settle() { /usr/lib/wine/wineserver -w; }
say() { printf '%4d s  %s\n' "$SECONDS" "$*"; }

SECONDS=0
winegui_prefix
say "fresh prefix"

# ---- install ----
"$WINE" "$SETUP" /S || fail "the silent install ended with status $?"
settle
[ -d "$INST" ] || fail "nothing installed in $WINST"
expected=$( (files_under "$STAGE"; echo ./uninstall.exe) | LC_ALL=C sort)
[ "$(files_under "$INST")" = "$expected" ] ||
    fail "installed files differ from the zip's: $(diff <(echo "$expected") <(files_under "$INST") | tr '\n' ' ')"
while read -r f; do
    cmp -s "$STAGE/$f" "$INST/$f" || fail "installed $f differs from the zip's"
done < <(files_under "$STAGE")
say "installed: $(files_under "$INST" | wc -l) files in $WINST"

for p in vbcflash-cli vbcflash-station vbcflash; do
    said=$("$WINE" "$WINST\\$p.exe" --version 2>/dev/null | tr -d '\r')
    [ "$said" = "$p $version" ] || fail "installed $p.exe --version said '$said', expected '$p $version'"
    say "installed $p.exe --version: $said"
done
[ -f "$MENU" ] || fail "no Start-menu entry $MENU"

size_kb=$(du -sk --apparent-size "$INST" | cut -f1)
while IFS='|' read -r name want; do
    got=$(reg_value "$UNKEY" "$name")
    [ "$got" = "$want" ] || fail "$UNKEY $name is '$got', expected '$want'"
done <<EOF
DisplayName|vbcflash $version
DisplayVersion|$version
Publisher|vbcflash developers
InstallLocation|$WINST
DisplayIcon|$WINST\\vbcflash.exe,0
UninstallString|"$WINST\\uninstall.exe"
QuietUninstallString|"$WINST\\uninstall.exe" /S
EOF
estimated=$(($(reg_value "$UNKEY" EstimatedSize)))
# The programs' size, give or take the uninstaller (added after the sizes are counted).
[ "$estimated" -gt $((size_kb / 2)) ] && [ "$estimated" -le "$size_kb" ] ||
    fail "EstimatedSize $estimated KiB for $size_kb KiB installed"
say "Apps & features: $UNKEY, EstimatedSize $estimated KiB ($size_kb KiB on disk)"
[ "$(reg_value "$CLASSES\\.cla" "")" = vbcflash.cla ] || fail ".cla is not associated with vbcflash.cla"
command=$(reg_value "$CLASSES\\vbcflash.cla\\shell\\open\\command" "")
[ "$command" = "\"$WINST\\vbcflash.exe\" \"%1\"" ] || fail "vbcflash.cla opens with '$command'"
say "association: .cla -> vbcflash.cla -> $command"

# ---- a .cla opened through the association ----
# A name with a blank, and not the one config.txt names: the job can only have it from the
# argument.
head -c "$SIZE" /dev/urandom >"$WORK/new soft.cla"
winegui_sim --once --pace --flash-out "$WORK/flash.bin" || fail "vbcsim did not start"
(cd "$WORK" && "$WINE" start /unix "$WORK/new soft.cla") >"$WORK/start.out" 2>&1 ||
    fail "start did not open the .cla: $(cat "$WORK/start.out")"
main=$(window_of "$TITLE")
[ -n "$main" ] || fail "opening the .cla showed no window titled '$TITLE'"
# The load runs with the panel locked and an Alt+S typed meanwhile is dropped: again until the
# phone's trace shows the PC's answer to the boot loader.
started=0
for _ in 1 2 3; do
    press "$main" alt+s
    for _ in $(seq 50); do
        if grep -q '^ *[0-9.]* PC > 44 ' "$WORK/sim.trace" 2>/dev/null; then started=1; break 2; fi
        sleep 0.1
    done
done
[ "$started" = 1 ] || fail "Alt+S did not start a job with the opened file"
winegui_sim_done || fail "the job did not end within $((WAIT * 2)) s, or vbcsim failed"
if ! cmp -n "$SIZE" "$WORK/new soft.cla" "$WORK/flash.bin"; then
    other="neither file"
    cmp -s -n "$SIZE" "$WORK/image.cla" "$WORK/flash.bin" && other="image.cla, config.txt's file"
    fail "the flash does not hold the opened file but $other; the phone: $(tail -n 1 "$WORK/sim.out")"
fi
done_panel=$(window_of 'Download complete')
[ -n "$done_panel" ] || fail "no 'Download complete' panel after the job"
say "opened 'new soft.cla' from its folder: the flash holds it ($SIZE bytes)"
if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT"; fi
press "$done_panel" Return
# Alt+F4 typed while the message is still up would close the message, not the program.
window_gone 'Download complete' || fail "Return did not close 'Download complete'"
press "$main" alt+F4
ask=$(window_of 'Confirm to quit')
[ -n "$ask" ] || fail "Alt+F4 did not ask 'Confirm to quit'"
press "$ask" y
settle
say "the program closed by keyboard (Alt+F4, Yes)"

# ---- the user's files, then uninstall ----
printf 'CLA File : C:\\\\phones\\\\soft.cla\r\n' >"$INST/config.txt"
printf '{"port":1}\n' >"$INST/station.jsonl"
printf '{"port":2}\n' >"$WORK/station.jsonl"
before=$(cd "$WORK" && sha256sum config.txt station.jsonl "new soft.cla" "$INST/config.txt" "$INST/station.jsonl")
"$WINE" "$WINST\\uninstall.exe" /S || fail "the silent uninstall ended with status $?"
settle
[ "$(files_under "$INST")" = "$(printf './config.txt\n./station.jsonl')" ] ||
    fail "$WINST holds '$(files_under "$INST" | tr '\n' ' ')', not just the user's config.txt and station.jsonl"
[ "$(cd "$WORK" && sha256sum config.txt station.jsonl "new soft.cla" "$INST/config.txt" "$INST/station.jsonl")" = "$before" ] ||
    fail "the uninstall changed the user's files"
[ ! -e "$MENU" ] || fail "the Start-menu entry is still there"
for key in "$UNKEY" "$CLASSES\\vbcflash.cla" "$CLASSES\\.cla"; do
    ! reg_exists "$key" || fail "$key is still in the registry"
done
say "uninstalled: no file, entry or key of ours left; the user's config.txt and logs kept"
