#!/usr/bin/env bash
# Pictures of the Windows desktop program under Wine, driven by keyboard as an operator would,
# against vbcsim on COM1:
#   windows-main.png      the main window at rest, a software file restored (Ctrl+R)
#   windows-download.png  a download in progress (Alt+S), with its rate and time left
#   windows-service.png   the service panel (Tools > Service panel...) after Switch on
#   windows-error.png     an error panel (a flash that flash.txt does not describe)
# into docs/screenshots/ or the directory given. scripts/screenshots.sh runs it when the
# Windows build is there.
#
#   scripts/wine-screenshots.sh [OUTPUT_DIRECTORY [GUI_EXE [VBCSIM]]]
set -euo pipefail
cd "$(dirname "$0")/.."
OUT="$(realpath -m "${1:-docs/screenshots}")"
EXE="$(realpath "${2:-build/windows/gui/win32/vbcflash.exe}")"
SIM="$(realpath "${3:-build/default/vbcsim}")"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    winegui_outer wine-screenshots
    mkdir -p "$OUT"
    for tool in xwd xwdtopnm pnmcut pnmtopng; do
        command -v "$tool" >/dev/null || { echo "wine-screenshots: $tool is missing (scripts/deps.sh windows)" >&2; exit 1; }
    done
    SCREEN=1400x900
    winegui_inner "$OUT" "$EXE" "$SIM"
    exit $?
fi

GUI_PID=""
trap '[ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null; winegui_sim_stop' EXIT
fail() {
    echo "wine-screenshots: $*; the screen is in $OUT/failed.png" >&2
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$OUT/failed.png" || true
    exit 1
}

# The screen, once two looks a moment apart agree (the windows have painted), cut to the
# windows given and a margin, as a PNG.
shot() {
    local name=$1 prev="" now i w left=99999 top=99999 right=0 bottom=0
    shift
    for i in $(seq 40); do
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

