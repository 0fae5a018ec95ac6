#!/usr/bin/env bash
# The Windows desktop program's whole job under Wine, by keyboard: vbcsim (the Linux program)
# plays the phone on a pseudo-terminal mapped to Wine's COM1, vbcflash.exe runs on a virtual X
# display, the operator's keys are real X key events (xdotool): Ctrl+R restores a config.txt
# naming the image, COM1 and product type 1, Alt+S starts. The simulated flash must then hold
# the image written for product type 1, and the program show "Download complete".
#
# With --stop, Alt+O (Stop) is pressed once the phone has taken its third sector: the program
# must then show the stopped message, close COM1, and the phone see the PC close the line with
# part of the image written.
#
#   scripts/wine-gui-e2e.sh [--stop] [GUI_EXE [VBCSIM]]
#   SIZE=bytes (default 131072)
set -euo pipefail
cd "$(dirname "$0")/.."
STOP="${STOP:-0}"
if [ "${1:-}" = --stop ]; then
    STOP=1
    shift
fi
EXE="$(realpath "${1:-build/windows/gui/win32/vbcflash.exe}")"
SIM="$(realpath "${2:-build/default/vbcsim}")"
SIZE="${SIZE:-131072}"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    winegui_outer wine-gui-e2e
    export STOP
    winegui_inner "$EXE" "$SIM"
    exit $?
fi

GUI_PID=""
cleanup_inner() {
    [ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null
    winegui_sim_stop
}
trap cleanup_inner EXIT
fail() {
    echo "wine-gui-e2e: $*" >&2
    if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT" || true; fi
    [ -f "$WORK/sim.err" ] && cat "$WORK/sim.err" >&2
    exit 1
}

winegui_prefix
winegui_sim --once --pace --flash-out "$WORK/flash.bin" || fail "vbcsim did not start"
winegui_start_job "$EXE" || fail "the job did not start"
main=$MAIN

if [ "$STOP" = 1 ]; then
    wait_sectors 3 || fail "the transfer never reached its third sector"
    press "$main" alt+o
fi

# vbcsim serves one job and ends: the whole job, boot to switch-off, or to the PC's close.
winegui_sim_done || fail "the job did not end within $((WAIT * 2)) s, or vbcsim failed"
grep '^job 1 ' "$WORK/sim.out"
if [ "$STOP" = 1 ]; then
    grep -q '^job 1 end=pc-closed ' "$WORK/sim.out" || fail "the phone did not see the PC close the line"
    written=$(sed -n 's/^job 1 .* bytes=\([0-9]*\) .*/\1/p' "$WORK/sim.out")
    [ "${written:-0}" -gt 0 ] && [ "$written" -lt "$SIZE" ] ||
        fail "Stop did not end the job mid-transfer (bytes=$written of $SIZE)"
    [ -n "$(window_of 'Download error')" ] || fail "no stopped message after Alt+O"
    port_opened && fail "COM1 is still open after the stop"
    echo "vbcflash.exe under Wine, by keyboard: Alt+O (Stop) stopped the job after $written of $SIZE bytes"
else
    grep -q '^job 1 end=switched-off product-type=1 ' "$WORK/sim.out" ||
        fail "the job did not end with the switch-off for product type 1 (config.txt's)"
    cmp -n "$SIZE" "$WORK/image.cla" "$WORK/flash.bin" || fail "the flash does not hold the image"
    [ -n "$(window_of 'Download complete')" ] || fail "no 'Download complete' panel after the job"
    echo "vbcflash.exe under Wine, by keyboard: the flash holds the image ($SIZE bytes)"
fi
if [ -n "${SHOT:-}" ]; then xwd -root -silent -out "$SHOT"; fi
