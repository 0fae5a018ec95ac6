# Shared by the scripts that drive vbcflash.exe under Wine on a virtual X display
# (wine-gui-e2e.sh, wine-screenshots.sh, wine-bench.sh). Sourced, with set -eu. Each script
# runs twice: first outside the display (winegui_outer: its tools, its scratch directory WORK
# with the Wine prefix and the files of the job), then again, with VBC_WINEGUI_INNER=1, on a
# virtual display with a window manager (xvfb-run ... scripts/with-wm.sh), where the rest of
# these functions serve.
WINE=/usr/lib/wine/wine64
TITLE='vbcflash - VBC4410 software download'
WAIT=60  # seconds for anything Wine must show: its first start is slow
SIM_PID=""
PTY=""

# Outside the display: checks the tools, makes WORK (kept with KEEP=1) with flash.txt and the
# bootstrap files, and a SIZE-byte image.cla with a config.txt naming it, COM1 and product
# type 1. The caller then runs itself again on the display (winegui_inner).
winegui_outer() {
    local name=$1 tool
    for tool in xvfb-run xdotool xprop openbox; do
        command -v "$tool" >/dev/null || { echo "$name: $tool is missing (scripts/deps.sh windows)" >&2; exit 1; }
    done
    WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbc$name.XXXXXX")"
    export WORK WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi' EXIT
    cp examples/flash.txt examples/mfl104_4.spm examples/mfl104_5.spm "$WORK/"
    head -c "${SIZE:-131072}" /dev/urandom >"$WORK/image.cla"
    printf '%s\r\n' '* ***********************' '* Configuration save file' \
        '* ***********************' 'CLA File : image.cla' 'COM : 1' 'PMU : 0' \
        'Product Type : 1' 'Download Type : 0' >"$WORK/config.txt"
}

# Runs the calling script again with these arguments on a virtual display with a window
# manager; its status is the script's.
winegui_inner() {
    VBC_WINEGUI_INNER=1 xvfb-run -a -s "-screen 0 ${SCREEN:-1280x1024}x24 -dpi 96" \
        scripts/with-wm.sh "$0" "$@"
}

# A fresh prefix, its first start over before any window.
winegui_prefix() {
    "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1
    /usr/lib/wine/wineserver -w
}

# The window of an exact title, waited for; empty when it did not come.
window_of() {
    timeout "$WAIT" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true
}

# Until no visible window of that exact title is left; false after WAIT s.
window_gone() {
    local i
    for i in $(seq $((WAIT * 10))); do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}

# Focuses the window, then types the keys.
press() {
    xdotool windowfocus --sync "$1"
    shift
    xdotool key --clearmodifiers "$@"
}

# Starts vbcsim with these options on a pseudo-terminal that becomes Wine's COM1, tracing to
# $WORK/sim.trace; its job lines go to $WORK/sim.out. SIM names the program.
winegui_sim() {
    : >"$WORK/sim.out"
    rm -f "$WORK/sim.trace"
    "$SIM" --dir "$WORK" --flash-txt "$WORK/flash.txt" --trace --trace-file "$WORK/sim.trace" \
        "$@" >"$WORK/sim.out" 2>"$WORK/sim.err" &
    SIM_PID=$!
    local i
    for i in $(seq 100); do
        [ -s "$WORK/sim.out" ] && break
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    PTY=$(head -n 1 "$WORK/sim.out" 2>/dev/null || true)
    [ -n "$PTY" ] || { echo "vbcsim did not start: $(cat "$WORK/sim.err")" >&2; return 1; }
    # The registry key (which Wine's mount manager would otherwise reset the link from) and the
    # prefix's dosdevices link; Wine reads them at each open of COM1.
    "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$PTY" /f >/dev/null 2>&1 || true
    ln -sfn "$PTY" "$WINEPREFIX/dosdevices/com1"
}

winegui_sim_stop() {
    [ -n "$SIM_PID" ] || return 0
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
}

# Until vbcsim (started with --once) has ended its job; false after WAIT * 2 s.
winegui_sim_done() {
    local i
    for i in $(seq $((WAIT * 20))); do
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$SIM_PID" 2>/dev/null && return 1
    wait "$SIM_PID" || return 1
    SIM_PID=""
}

# True once a process other than vbcsim holds the terminal's slave: a program opened COM1.
port_opened() {
    local fd
    for fd in /proc/[0-9]*/fd/*; do
        case "$fd" in "/proc/$SIM_PID/"*) continue ;; esac
        [ "$(readlink "$fd" 2>/dev/null)" = "$PTY" ] && return 0
    done
    return 1
}

# Starts the desktop program EXE in WORK and runs a job as an operator would: Ctrl+R restores
# config.txt, Alt+S starts. The restore loads the image with the panel locked, Start dimmed: an
# Alt+S typed meanwhile is dropped, as it would be for a quick operator, so Alt+S again until
# the job opens the port. Sets GUI_PID and MAIN (the main window); false when no job started.
winegui_start_job() {
    (cd "$WORK" && exec "$WINE" "$1") >"$WORK/gui.out" 2>&1 &
    GUI_PID=$!
    MAIN=$(window_of "$TITLE")
    [ -n "$MAIN" ] || { echo "no window titled '$TITLE'" >&2; return 1; }
    press "$MAIN" ctrl+r
    local i
    for _ in 1 2 3; do
        press "$MAIN" alt+s
        for i in $(seq 50); do
            port_opened && return 0
            sleep 0.1
        done
    done
    echo "Alt+S did not start the job (COM1 never opened)" >&2
    return 1
}

# The number of download-sector commands the phone has taken so far.
sectors_taken() {
    grep -c 'download sector:' "$WORK/sim.trace" 2>/dev/null || true
}

# Until the phone has taken N download-sector commands; false after WAIT s.
wait_sectors() {
    local i
    for i in $(seq $((WAIT * 20))); do
        [ "$(sectors_taken)" -ge "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

# Starts vbcsim with these options on a pseudo-terminal that becomes Wine's COMn (n the first
# argument), its job lines in $WORK/simN.out; SIM_PIDS[n] is its process. Several phones at
# once, for the station window.
declare -A SIM_PIDS=()
winegui_sim_port() {
    local n=$1 pty="" i
    shift
    : >"$WORK/sim$n.out"
    "$SIM" --dir "$WORK" --flash-txt "$WORK/flash.txt" "$@" >"$WORK/sim$n.out" 2>"$WORK/sim$n.err" &
    SIM_PIDS[$n]=$!
    for i in $(seq 100); do
        [ -s "$WORK/sim$n.out" ] && break
        kill -0 "${SIM_PIDS[$n]}" 2>/dev/null || break
        sleep 0.1
    done
    pty=$(head -n 1 "$WORK/sim$n.out" 2>/dev/null || true)
    [ -n "$pty" ] || { echo "vbcsim on COM$n did not start: $(cat "$WORK/sim$n.err")" >&2; return 1; }
    "$WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$pty" /f >/dev/null 2>&1 || true
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$n"
}

winegui_sims_stop() {
    local n
    for n in "${!SIM_PIDS[@]}"; do
        kill "${SIM_PIDS[$n]}" 2>/dev/null || true
        wait "${SIM_PIDS[$n]}" 2>/dev/null || true
    done
    SIM_PIDS=()
}

# Tools > Station... by keyboard (Alt+T, T) on the main window MAIN; sets STATION to the
# station window. Wine opens the menu in its own time, and a T typed before it is up goes to the
# main panel, where T is no mnemonic: T again until the window comes, the menu opened again now
# and then (never Escape, which on the main panel is Quit). False when no window came.
winegui_open_station() {
    local i
    STATION=""
    press "$1" alt+t
    for i in $(seq 30); do
        xdotool key --clearmodifiers t
        for _ in $(seq 5); do
            STATION=$(xdotool search --onlyvisible --name '^vbcflash station$' 2>/dev/null | head -n 1 || true)
            [ -n "$STATION" ] && return 0
            sleep 0.1
        done
        if ((i % 10 == 0)); then press "$1" alt+t; fi
    done
    return 1
}
