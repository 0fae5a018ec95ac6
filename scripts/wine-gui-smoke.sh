#!/usr/bin/env bash
# Starts the Windows desktop program (build/windows/gui/win32/vbcflash.exe) under Wine on a
# virtual X display, the way an operator would: its main window must come up with its title,
# the close box (Alt+F4) must ask "Do you really want to quit?", No must keep the window, and
# Yes must end the program with status 0. Also checks --version against project(VERSION).
#
#   scripts/wine-gui-smoke.sh [GUI_EXE]
#   SHOT=file.xwd   also saves the screen with the main window (xwd, from x11-apps)
set -euo pipefail
cd "$(dirname "$0")/.."
EXE="$(realpath "${1:-build/windows/gui/win32/vbcflash.exe}")"
WINE=/usr/lib/wine/wine64
TITLE='vbcflash - VBC4410 software download'
WAIT=60  # seconds for anything Wine must show: its first start is slow

if [ "${VBC_SMOKE_INNER:-0}" != 1 ]; then
    for tool in xvfb-run xdotool xprop openbox; do
        command -v "$tool" >/dev/null || { echo "wine-gui-smoke: $tool is missing (scripts/deps.sh windows)" >&2; exit 1; }
    done
    WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbcwinegui.XXXXXX")"
    export WORK WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WORK"' EXIT
    "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1
    # The version, before any window: a program of the GUI subsystem writes to the pipe.
    version=$(sed -n 's/^project(vbcflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    said=$("$WINE" "$EXE" --version 2>/dev/null | tr -d '\r')
    if [ "$said" != "vbcflash $version" ]; then
        echo "wine-gui-smoke: --version said '$said', expected 'vbcflash $version'" >&2
        exit 1
    fi
    # Windows belong to the session of Wine's first program with a display: the one above had
    # none, so it must have ended first.
    /usr/lib/wine/wineserver -w
    cp examples/flash.txt "$WORK/"
    VBC_SMOKE_INNER=1 xvfb-run -a -s "-screen 0 1280x1024x24" scripts/with-wm.sh "$0" "$EXE"
    exit $?
fi

fail() {
    echo "wine-gui-smoke: $*" >&2
    exit 1
}
# The window of an exact title, waited for; empty when it did not come.
window_of() {
    timeout "$WAIT" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true
}
# Until a window of that exact title is gone.
wait_gone() {
    local i
    for i in $(seq $((WAIT * 10))); do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}
press() {  # focus the window, then the keys, as typed
    xdotool windowfocus --sync "$1"
    shift
    xdotool key --clearmodifiers "$@"
}

(cd "$WORK" && exec "$WINE" "$EXE") >"$WORK/gui.out" 2>&1 &
pid=$!
main=$(window_of "$TITLE")
[ -n "$main" ] || fail "no window titled '$TITLE' within ${WAIT}s"
echo "main window: $main ($(xdotool getwindowgeometry "$main" | sed -n 's/.*Geometry: //p'))"
if [ -n "${SHOT:-}" ]; then
    sleep 1  # the controls' first paint; a picture for a person, not a check
    xwd -root -silent -out "$SHOT"
fi

# The close box asks first; No keeps the program.
press "$main" alt+F4
ask=$(window_of 'Confirm to quit')
[ -n "$ask" ] || fail "Alt+F4 did not ask 'Confirm to quit'"
press "$ask" n
wait_gone 'Confirm to quit' || fail "No did not close the question"
kill -0 "$pid" 2>/dev/null || fail "the program ended although the operator said No"
[ -n "$(window_of "$TITLE")" ] || fail "the main window went away after No"

# Yes ends it, with status 0.
press "$main" alt+F4
ask=$(window_of 'Confirm to quit')
[ -n "$ask" ] || fail "the second Alt+F4 did not ask 'Confirm to quit'"
press "$ask" y
for _ in $(seq $((WAIT * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "the program did not end after Yes"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "vbcflash.exe under Wine: window shown, Alt+F4 asked, No kept it, Yes ended it (status 0)"
