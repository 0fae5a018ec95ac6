#!/usr/bin/env bash
# vbcflash-station.exe under Wine: COM1 and COM2 are two vbcsim pseudo-terminals.
#   1. --once: both flashes must hold the image, and the log two records that say so.
#   2. Ctrl-C (SIGINT, which Wine gives the console program as its Ctrl-C event) while both
#      phones are being written: both are logged as stopped, and the station exits 130.
#   3. The station killed outright while both phones are written: its job object ends both
#      workers (no vbcflash-cli.exe is left running, both ports are closed).
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

# One Wine server for the whole script: a new one would start Wine's mount manager again, which
# maps a COM port without a registry entry back to a serial device of its own choice.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p >"$WORK/wineserver.log" 2>&1
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
    # The registry entry keeps the mapping; the link makes it now.
    "$WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$pty" /f >/dev/null 2>&1 || true
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$n"
}
# Starts the station on COM1 and COM2 (paced phones) in the background (STATION_PID), and
# waits until both phones are being written.
start_writing() {
    sim 1 --pace
    sim 2 --pace
    (cd "$WORK" && exec "$WINE" vbcflash-station.exe --ports 1-2 --log "$1.jsonl" --db "$1.db" \
        image.cla) >"$WORK/station-$1.out" 2>&1 &
    STATION_PID=$!
    for _ in $(seq 600); do
        [ "$(grep -c ' writing.\?$' "$WORK/station-$1.out" || true)" = 2 ] && return 0
        kill -0 "$STATION_PID" 2>/dev/null || fail "the station ended before both phones were written"
        sleep 0.1
    done
    fail "the two phones were not written"
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

echo "== a PostgreSQL server is refused in words before any port starts"
status=0
(cd "$WORK" && "$WINE" vbcflash-station.exe --ports 1 --db postgresql://line3@db/trace \
    image.cla) >"$WORK/station0.out" 2>&1 || status=$?
[ "$status" = 69 ] || fail "a server's connection string gave exit status $status, not 69"
grep -q "this build has no PostgreSQL client" "$WORK/station0.out" || fail "no reason given"

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
start_writing run2
station=$STATION_PID
kill -INT "$station"
status=0
wait "$station" || status=$?
[ "$status" = 130 ] || fail "the station stopped with exit status $status, not 130"
got=$(records "$WORK/run2.jsonl" | cut -d' ' -f1-4)
[ "$got" = "1 False 14 1
2 False 14 1" ] || fail "after Ctrl-C the log holds
$got"
echo "Ctrl-C: both phones logged as stopped, exit status 130"

echo "== the station killed outright while both phones are written"
for p in "${SIM_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
SIM_PIDS=()
start_writing run3
kill -KILL "$STATION_PID"
wait "$STATION_PID" 2>/dev/null || true
for p in "${SIM_PIDS[@]}"; do
    # vbcsim --once ends when its job ends: the worker's end closes the port.
    for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$p" 2>/dev/null && fail "a port stayed open after the station was killed"
done
SIM_PIDS=()
grep -h '^job 1 ' "$WORK/sim1.out" "$WORK/sim2.out"
pgrep -f 'vbcflash-cli[.]exe' >/dev/null && fail "a worker outlived the station"
echo "killed: both workers ended with it, both ports closed"
