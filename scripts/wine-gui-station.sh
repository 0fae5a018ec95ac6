#!/usr/bin/env bash
# The Windows desktop program's station window under Wine, by keyboard: two vbcsim phones
# (--once) on pseudo-terminals mapped to Wine's COM1 and COM2, vbcflash.exe with
# vbcflash-cli.exe beside it (its workers) on a virtual X display. The program starts with the
# image as its argument (loaded before its window takes a key: a restore by Ctrl+R would hold
# the panel, and drop the keys typed meanwhile), the operator
# opens Tools > Station... (Alt+T, T), ticks COM1 and COM2 (Alt+1, Alt+2),
# gives a read identity without a length and presses Start (Alt+S): refused, nothing logged, no
# phone touched. With the field emptied, Start again: both phones pass, the log holds two
# records with ok true, and both flashes hold the image.
#
#   scripts/wine-gui-station.sh [GUI_EXE [CLI_EXE [VBCSIM]]]
#   SIZE=bytes (default 131072)
set -euo pipefail
cd "$(dirname "$0")/.."
GUI="$(realpath "${1:-build/windows/gui/win32/vbcflash.exe}")"
CLI="$(realpath "${2:-build/windows/cli/vbcflash-cli.exe}")"
SIM="$(realpath "${3:-build/default/vbcsim}")"
SIZE="${SIZE:-131072}"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    winegui_outer wine-gui-station
    # The workers are found beside the program.
    mkdir -p "$WORK/bin"
    cp "$GUI" "$CLI" "$WORK/bin/"
    winegui_inner "$GUI" "$CLI" "$SIM"
    exit $?
fi

GUI_PID=""
trap '[ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null; winegui_sims_stop' EXIT
fail() {
    echo "wine-gui-station: $*" >&2
    echo "visible windows:" >&2
    for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
        echo "  $(xdotool getwindowname "$w" 2>/dev/null)" >&2
    done
    if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT" || true; fi
    cat "$WORK"/sim*.err >&2 2>/dev/null || true
    [ -f "$WORK/station.jsonl" ] && cat "$WORK/station.jsonl" >&2
    exit 1
}
records() {
    if [ -f "$WORK/station.jsonl" ]; then grep -c '"ok":true' "$WORK/station.jsonl" || true; else echo 0; fi
}

winegui_prefix
for n in 1 2; do
    winegui_sim_port "$n" --once --flash-out "$WORK/flash$n.bin" || fail "vbcsim on COM$n did not start"
done
(cd "$WORK" && exec "$WINE" "$WORK/bin/vbcflash.exe" image.cla) >"$WORK/gui.out" 2>&1 &
GUI_PID=$!
main=$(window_of "$TITLE")
[ -n "$main" ] || fail "no window titled '$TITLE'"
winegui_open_station "$main" || fail "Tools > Station... opened no window"
station=$STATION

# A refusal: a read identity without its length.
press "$station" alt+1 alt+2 alt+i
xdotool type --delay 20 '0x7F0000'
press "$station" alt+s
refusal=$(window_of 'Station')
[ -n "$refusal" ] || fail "Start with a bad read identity was not refused"
press "$refusal" Return
[ -f "$WORK/station.jsonl" ] && fail "a refused Start made the log"
[ -s "$WORK/flash1.bin" ] || [ -s "$WORK/flash2.bin" ] && fail "a refused Start touched a phone"

# Alt+I selects the field's text: BackSpace empties it. Then Start.
press "$station" alt+i BackSpace alt+s
for _ in $(seq $((WAIT * 20))); do
    [ "$(records)" -ge 2 ] && break
    sleep 0.1
done
[ "$(records)" -ge 2 ] || fail "the log has $(records) passed records, not 2, after $((WAIT * 2)) s"
# Each phone (--once) writes its flash out and ends after its job.
for n in 1 2; do
    for _ in $(seq $((WAIT * 10))); do
        kill -0 "${SIM_PIDS[$n]}" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "${SIM_PIDS[$n]}" 2>/dev/null && fail "the phone on COM$n did not end after its job"
done
for n in 1 2; do
    cmp -n "$SIZE" "$WORK/image.cla" "$WORK/flash$n.bin" || fail "the flash on COM$n does not hold the image"
done
[ "$(wc -l <"$WORK/station.jsonl")" -eq 2 ] || fail "the log has other records than the two passes"
for n in 1 2; do
    grep -q "\"port\":$n,.*\"ok\":true" "$WORK/station.jsonl" || fail "no passed record for COM$n"
done
echo "vbcflash.exe's station window under Wine, by keyboard: a bad read identity refused, then two phones passed (COM1, COM2), both flashes hold the image ($SIZE bytes)"
if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT"; fi
