#!/usr/bin/env bash
# Pictures of the Windows desktop program under Wine, driven by keyboard as an operator would,
# against vbcsim on COM1:
#   windows-main.png      the main window at rest, a software file restored (Ctrl+R)
#   windows-download.png  a download in progress (Alt+S), with its rate and time left
#   windows-service.png   the service panel (Tools > Service panel...) after Switch on
#   windows-error.png     an error panel (a flash that flash.txt does not describe)
#   windows-station.png   the station window (Tools > Station...): COM3's phone failed, COM2's
#                         being written (vbcflash-cli.exe beside the program as its workers)
# into docs/screenshots/ or the directory given. scripts/screenshots.sh runs it when the
# Windows build is there.
#
#   scripts/wine-screenshots.sh [OUTPUT_DIRECTORY [GUI_EXE [VBCSIM [CLI_EXE]]]]
set -euo pipefail
cd "$(dirname "$0")/.."
OUT="$(realpath -m "${1:-docs/screenshots}")"
EXE="$(realpath "${2:-build/windows/gui/win32/vbcflash.exe}")"
SIM="$(realpath "${3:-build/default/vbcsim}")"
CLI="$(realpath "${4:-build/windows/cli/vbcflash-cli.exe}")"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    winegui_outer wine-screenshots
    mkdir -p "$OUT"
    for tool in xwd xwdtopnm pnmcut pnmtopng; do
        command -v "$tool" >/dev/null || { echo "wine-screenshots: $tool is missing (scripts/deps.sh windows)" >&2; exit 1; }
    done
    SCREEN=1400x900
    # The station's workers are found beside the program.
    mkdir -p "$WORK/bin"
    cp "$EXE" "$CLI" "$WORK/bin/"
    winegui_inner "$OUT" "$WORK/bin/$(basename "$EXE")" "$SIM"
    exit $?
fi

GUI_PID=""
trap '[ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null; winegui_sim_stop; winegui_sims_stop' EXIT
fail() {
    echo "wine-screenshots: $*; the screen is in $OUT/failed.png" >&2
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$OUT/failed.png" || true
    exit 1
}

# The screen, once two looks a moment apart agree (the windows have painted; at most LOOKS
# looks, 40 by default), cut to the windows given and a margin, as a PNG.
shot() {
    local name=$1 prev="" now i w left=99999 top=99999 right=0 bottom=0
    shift
    for i in $(seq "${LOOKS:-40}"); do
        xwd -root -silent -out "$WORK/screen.xwd"
        now=$(md5sum <"$WORK/screen.xwd")
        [ "$now" = "$prev" ] && break
        prev=$now
        sleep 0.25
    done
    for w in "$@"; do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        # The frame's title bar sits above the client area the geometry gives.
        ((X < left)) && left=$X
        ((Y - 28 < top)) && top=$((Y - 28))
        ((X + WIDTH > right)) && right=$((X + WIDTH))
        ((Y + HEIGHT > bottom)) && bottom=$((Y + HEIGHT))
    done
    left=$((left < 24 ? 0 : left - 24))
    top=$((top < 24 ? 0 : top - 24))
    xwdtopnm "$WORK/screen.xwd" 2>/dev/null |
        pnmcut "$left" "$top" $((right + 24 - left)) $((bottom + 24 - top)) |
        pnmtopng >"$OUT/$name"
    echo "wine-screenshots: $OUT/$name"
}

# Wine on this virtual display leaves a window that opens wholly inside the main one black (a bare
# window of the system's own class does the same, so it is Wine's, not the program's): each such
# window is moved to stand out past the main window's edge.
place() {
    xdotool windowmove --sync "$1" "$2" "$3"
}

winegui_prefix
# The software file where a Windows user keeps it, named by config.txt with the port and
# product type 2.
mkdir -p "$WINEPREFIX/drive_c/Software"
head -c 163840 /dev/urandom >"$WINEPREFIX/drive_c/Software/handset_v4.2.cla"
printf '%s\r\n' '* ***********************' '* Configuration save file' \
    '* ***********************' 'CLA File : C:\Software\handset_v4.2.cla' 'COM : 1' 'PMU : 0' \
    'Product Type : 2' 'Download Type : 0' >"$WORK/config.txt"

winegui_sim --unlisted-flash || fail "vbcsim did not start"
(cd "$WORK" && exec "$WINE" "$EXE") >"$WORK/gui.out" 2>&1 &
GUI_PID=$!
main=$(window_of "$TITLE")
[ -n "$main" ] || fail "no window titled '$TITLE'"
xdotool windowmove --sync "$main" 24 40
press "$main" ctrl+r
shot windows-main.png "$main"

press "$main" alt+s
error=$(window_of 'Flash description error')
[ -n "$error" ] || fail "no 'Flash description error' for a flash that flash.txt does not describe"
place "$error" 560 440
shot windows-error.png "$main" "$error"
press "$error" Return
winegui_sim_stop
winegui_sim --pace || fail "vbcsim did not start again"

press "$main" alt+s
wait_sectors 4 || fail "the download did not reach its fourth sector"
shot windows-download.png "$main"
done=$(window_of 'Download complete')
[ -n "$done" ] || fail "no 'Download complete' after the job"
press "$done" Return

press "$main" alt+t s
service=$(window_of 'Service')
[ -n "$service" ] || fail "Tools > Service panel... opened no window"
place "$service" 560 90
press "$service" alt+o
# Switched on once the phone has taken its second speed change (the download's was the first)
# and the turn-on panel is gone.
for _ in $(seq $((WAIT * 10))); do
    [ "$(grep -c 'speed parameters' "$WORK/sim.trace" 2>/dev/null || true)" -ge 2 ] &&
        ! xdotool search --onlyvisible --name '^Switch the phone on$' >/dev/null 2>&1 && break
    sleep 0.1
done
shot windows-service.png "$main" "$service"
press "$service" alt+F4
winegui_sim_stop

# The station, on COM2 and COM3 (the service panel keeps COM1 switched on, and the station
# would refuse it): COM3's phone answers the image with a bad checksum and fails, COM2's is
# paced to the line and still being written when the picture is taken (at once: its tile
# changes ten times a second, so the screen never settles).
winegui_sim_port 2 --once --pace --trace --trace-file "$WORK/sim2.trace" ||
    fail "vbcsim on COM2 did not start"
winegui_sim_port 3 --once --bad-checksum '*:*' || fail "vbcsim on COM3 did not start"
winegui_open_station "$main" || fail "Tools > Station... opened no window"
station=$STATION
xdotool windowmove --sync "$station" 24 40
press "$station" alt+2 alt+3 alt+s
for _ in $(seq $((WAIT * 10))); do
    grep -q '"port":3,.*"ok":false' "$WORK/station.jsonl" 2>/dev/null &&
        [ "$(grep -c 'download sector:' "$WORK/sim2.trace" 2>/dev/null || true)" -ge 4 ] && break
    sleep 0.1
done
grep -q '"port":3,.*"ok":false' "$WORK/station.jsonl" 2>/dev/null || fail "COM3's phone did not fail"
grep -q '"port":2,' "$WORK/station.jsonl" && fail "COM2's phone ended before the picture"
LOOKS=2 shot windows-station.png "$station"
