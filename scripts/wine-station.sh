#!/usr/bin/env bash
# vbcflash-station.exe under Wine: COM1 and COM2 are two vbcsim pseudo-terminals.
#   1. --once: both flashes must hold the image, and the log two records that say so.
#   2. Ctrl-C (SIGINT, which Wine gives the console program as its Ctrl-C event) while both
#      phones are being written: both are logged as stopped, and the station exits 130.
#
#   scripts/wine-station.sh [BUILD_DIR [VBCSIM]]   (default build/windows, build/default/vbcsim)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build/windows}"
SIM="${2:-build/default/vbcsim}"
STATION="$PWD/$BUILD/cli/vbcflash-station.exe"
WINE=/usr/lib/wine/wine64
SIZE=98304

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbcstation.XXXXXX")"
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
SIM_PIDS=()
cleanup() {
    for p in "${SIM_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
fail() {
    echo "wine-station.sh: $*" >&2
    for f in "$WORK"/station*.out "$WORK"/sim*.err; do
        [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}

"$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1
cp "$BUILD/cli/vbcflash-cli.exe" "$STATION" "$WORK/"
cp examples/flash.txt examples/mfl104_4.spm examples/mfl104_5.spm "$WORK/"
head -c "$SIZE" /dev/urandom >"$WORK/image.cla"

# sim N [OPTIONS...]: vbcsim on a pseudo-terminal that becomes Wine's COMN.
sim() {
    local n=$1 pty=""
    shift
    rm -f "$WORK/sim$n.out" "$WORK/flash$n.bin"
    "$SIM" --once "$@" --dir "$WORK" --flash-txt "$WORK/flash.txt" \
        --flash-out "$WORK/flash$n.bin" >"$WORK/sim$n.out" 2>"$WORK/sim$n.err" &
    SIM_PIDS+=($!)
    for _ in $(seq 100); do
        pty=$(head -n 1 "$WORK/sim$n.out" 2>/dev/null || true)
        [ -n "$pty" ] && break
        sleep 0.1
    done
    [ -n "$pty" ] || fail "vbcsim for COM$n did not start"
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$n"
}
# The log's records as "port ok category code message" lines, sorted by port.
records() {
    python3 -c '
import json, sys
for r in sorted((json.loads(l) for l in open(sys.argv[1])), key=lambda r: r["port"]):
    print(r["port"], r["ok"], r["category"], r["code"], r["sha256"], r["bytes"], r["message"])
' "$1"
}
sha=$(sha256sum "$WORK/image.cla" | cut -d' ' -f1)

echo "== two phones, --once"
sim 1
sim 2
status=0
(cd "$WORK" && "$WINE" vbcflash-station.exe --ports 1-2 --once --log run1.jsonl --db run1.db \
    image.cla) >"$WORK/station1.out" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the station exited $status, not 0"
for p in "${SIM_PIDS[@]}"; do wait "$p" || fail "a vbcsim failed"; done  # flash*.bin written
SIM_PIDS=()
for n in 1 2; do
    cmp -n "$SIZE" "$WORK/image.cla" "$WORK/flash$n.bin" || fail "COM$n's flash is not the image"
done
expected="1 True 0 0 $sha $SIZE The software has been downloaded successfully.
2 True 0 0 $sha $SIZE The software has been downloaded successfully."
got=$(records "$WORK/run1.jsonl")
[ "$got" = "$expected" ] || fail "the log holds
$got
not
$expected"
[ "$(python3 -c 'import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute("select count(*) from phones where ok").fetchone()[0])' "$WORK/run1.db")" = 2 ] ||
    fail "the database does not hold the two phones"
echo "both flashes hold the image; the log and the database hold two passed phones"

echo "== Ctrl-C while both phones are written"
sim 1 --pace
sim 2 --pace
(cd "$WORK" && exec "$WINE" vbcflash-station.exe --ports 1-2 --log run2.jsonl --db run2.db \
    image.cla) >"$WORK/station2.out" 2>&1 &
station=$!
for _ in $(seq 600); do
    [ "$(grep -c ' writing.\?$' "$WORK/station2.out" || true)" = 2 ] && break
    kill -0 "$station" 2>/dev/null || fail "the station ended before both phones were written"
    sleep 0.1
done
[ "$(grep -c ' writing.\?$' "$WORK/station2.out" || true)" = 2 ] || fail "the two phones were not written"
kill -INT "$station"
status=0
wait "$station" || status=$?
[ "$status" = 130 ] || fail "the station stopped with exit status $status, not 130"
got=$(records "$WORK/run2.jsonl" | cut -d' ' -f1-4)
[ "$got" = "1 False 14 1
2 False 14 1" ] || fail "after Ctrl-C the log holds
$got"
echo "Ctrl-C: both phones logged as stopped, exit status 130"
