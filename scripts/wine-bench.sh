#!/usr/bin/env bash
# The Windows desktop program's job time against vbcflash-cli.exe's, both under Wine in one run,
# and the desktop program's CPU use while it waits at rest.
#   - RUNS (default 3) pairs of the same paced job (SIZE bytes, default 131072, product type 1,
#     COM1 at the default speed) against vbcsim: vbcflash-cli.exe, then vbcflash.exe started
#     with Ctrl+R (config.txt) and Alt+S. A job's time is the line's, read from vbcsim's trace:
#     from the boot loader's first announcement to the phone's last event, so that Wine's
#     program start is left out of both.
#   - The idle window: the desktop program's CPU time (user + system) over IDLE seconds
#     (default 10) with its window up and nothing to do.
# Exits 1 when the desktop program's median is more than 2 % above the CLI's, or the idle window
# used more than one clock tick a second.
#
#   scripts/wine-bench.sh [GUI_EXE [CLI_EXE [VBCSIM]]]
#   KEEP=1 keeps the scratch directory, with each job's trace (cli-N.trace, gui-N.trace)
set -euo pipefail
cd "$(dirname "$0")/.."
GUI="$(realpath "${1:-build/windows/gui/win32/vbcflash.exe}")"
CLI="$(realpath "${2:-build/windows/cli/vbcflash-cli.exe}")"
SIM="$(realpath "${3:-build/default/vbcsim}")"
SIZE="${SIZE:-131072}"
RUNS="${RUNS:-3}"
IDLE="${IDLE:-10}"

. scripts/lib/winegui.sh
if [ "${VBC_WINEGUI_INNER:-0}" != 1 ]; then
    winegui_outer wine-bench
    export SIZE RUNS IDLE
    winegui_inner "$GUI" "$CLI" "$SIM"
    exit $?
fi

GUI_PID=""
trap '[ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null; winegui_sim_stop' EXIT
fail() {
    echo "wine-bench: $*" >&2
    exit 1
}
# Milliseconds from the first announcement the PC heard to the trace's last line.
job_ms() {
    awk '/PC < BE/ && !start { start = $1 } { last = $1 } END { printf "%d\n", last - start }' \
        "$WORK/sim.trace"
}
check_job() {
    grep -q '^job 1 end=switched-off product-type=1 ' "$WORK/sim.out" || fail "$1: the job did not end with the switch-off: $(cat "$WORK/sim.out")"
    cmp -s -n "$SIZE" "$WORK/image.cla" "$WORK/flash.bin" || fail "$1: the flash does not hold the image"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

winegui_prefix
cli_times=()
gui_times=()
for run in $(seq "$RUNS"); do
    winegui_sim --once --pace --flash-out "$WORK/flash.bin" || fail "vbcsim did not start"
    (cd "$WORK" && "$WINE" "$CLI" --product 1 image.cla) >"$WORK/cli.out" 2>&1 || fail "vbcflash-cli.exe failed: $(tail -n 3 "$WORK/cli.out")"
    winegui_sim_done || fail "vbcsim did not end after the CLI's job"
    check_job vbcflash-cli.exe
    cli_times+=("$(job_ms)")
    cp "$WORK/sim.trace" "$WORK/cli-$run.trace"

    winegui_sim --once --pace --flash-out "$WORK/flash.bin" || fail "vbcsim did not start"
    winegui_start_job "$GUI" || fail "the desktop program's job did not start"
    winegui_sim_done || fail "vbcsim did not end after the desktop program's job"
    check_job vbcflash.exe
    gui_times+=("$(job_ms)")
    cp "$WORK/sim.trace" "$WORK/gui-$run.trace"
    echo "run $run: vbcflash-cli.exe ${cli_times[-1]} ms, vbcflash.exe ${gui_times[-1]} ms"
    if ((run < RUNS)); then
        kill "$GUI_PID" 2>/dev/null; wait "$GUI_PID" 2>/dev/null || true
        GUI_PID=""
        /usr/lib/wine/wineserver -w
    fi
done

# The window at rest: the last run's program, its job over and its message answered.
done_panel=$(window_of 'Download complete')
[ -n "$done_panel" ] && press "$done_panel" Return
pid=$GUI_PID
[ -r "/proc/$pid/stat" ] || fail "the desktop program is gone"
sleep 2  # the answer's repaint
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
before=$(ticks "$pid")
sleep "$IDLE"
after=$(ticks "$pid")
idle=$((after - before))

cli=$(printf '%s\n' "${cli_times[@]}" | median)
gui=$(printf '%s\n' "${gui_times[@]}" | median)
hz=$(getconf CLK_TCK)
awk -v c="$cli" -v g="$gui" -v size="$SIZE" -v runs="$RUNS" -v idle="$idle" -v secs="$IDLE" -v hz="$hz" 'BEGIN {
    d = (g - c) * 100 / c
    printf "paced %d-byte job, median of %d: vbcflash-cli.exe %.3f s, vbcflash.exe %.3f s (%+.2f %%; target within 2 %%)\n", size, runs, c / 1000, g / 1000, d
    printf "idle window: %d clock ticks (1/%d s) of CPU in %d s\n", idle, hz, secs
    exit (d > 2 || idle > secs) ? 1 : 0
}'
