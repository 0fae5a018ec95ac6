#!/usr/bin/env bash
# The Windows build's end-to-end job under Wine: vbcsim (the Linux program) plays the phone on a
# pseudo-terminal, Wine maps COM1 to that terminal, vbcflash-cli.exe writes an image, and the
# simulated flash must hold it. Prints the job's time under Wine against the line's time.
#
#   scripts/wine-e2e.sh [CLI_EXE [VBCSIM]]
#   SIZE=bytes (default 131072)   PACE=1 (default) paces vbcsim to the line rate
set -euo pipefail
cd "$(dirname "$0")/.."
CLI_EXE="${1:-build/windows/cli/vbcflash-cli.exe}"
SIM="${2:-build/default/vbcsim}"
SIZE="${SIZE:-131072}"
WINE=/usr/lib/wine/wine64

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbcwine.XXXXXX")"
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
# Says which step failed: a bare status from a Wine tool tells nothing.
trap 'echo "wine-e2e.sh: line $LINENO: \"$BASH_COMMAND\" failed with status $?" >&2' ERR

# A private prefix; the first start of Wine makes it.
"$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1

cp examples/flash.txt examples/mfl104_4.spm examples/mfl104_5.spm "$WORK/"
head -c "$SIZE" /dev/urandom >"$WORK/image.cla"
pace=()
if [ "${PACE:-1}" = 1 ]; then pace=(--pace); fi
"$SIM" --once "${pace[@]}" ${SIM_ARGS:-} --dir "$WORK" --flash-txt "$WORK/flash.txt" \
    --flash-out "$WORK/flash.bin" >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/sim.out" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
done
pty=$(head -n 1 "$WORK/sim.out" 2>/dev/null || true)
if [ -z "$pty" ]; then
    echo "vbcsim did not start:" >&2
    cat "$WORK/sim.err" >&2
    exit 1
fi
# Wine's COM1 is the symbolic link in the prefix's dosdevices; the registry key
# HKLM\Software\Wine\Ports makes Wine's mount manager write the same link.
# The link alone maps the port: a refused registry write is said, not fatal.
"$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pty" /f >/dev/null 2>&1 ||
    echo "wine-e2e.sh: reg add of COM1 ended with status $?; the dosdevices link maps it" >&2
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com1"
echo "COM1 -> $pty"

start=$(date +%s.%N)
status=0
(cd "$WORK" && "$WINE" "$OLDPWD/$CLI_EXE" ${CLI_ARGS:-} image.cla) >"$WORK/cli.out" 2>&1 || status=$?
end=$(date +%s.%N)
cat "$WORK/cli.out"
if [ "$status" -ne 0 ]; then
    echo "vbcflash-cli.exe under Wine failed with exit status $status" >&2
    cat "$WORK/sim.err" >&2
    exit "$status"
fi
wait "$SIM_PID"
SIM_PID=""
grep '^job 1 ' "$WORK/sim.out"
grep -q '^job 1 end=switched-off ' "$WORK/sim.out"
cmp -n "$SIZE" "$WORK/image.cla" "$WORK/flash.bin"
echo "The flash holds the image: its first $SIZE bytes equal image.cla."
# awk, not bc: a bare Debian system has no bc.
awk -v s="$start" -v e="$end" -v n="$SIZE" 'BEGIN { printf "job under Wine: %.1f s for %d bytes\n", e - s, n }'
