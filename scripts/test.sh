#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the default build, the whole suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer, and each fuzz target for a short
# fixed time when clang is present. Exits non-zero on any failure.
#
#   JOBS=N            build and test parallelism (default: the number of cores)
#   MATRIX_JOBS=N     fault-matrix rows run side by side (default 16; the in-process rows take
#                     milliseconds on the virtual clock, the real-time ones of the default build
#                     mostly sit through the phone's time-outs, so they overlap well beyond the
#                     cores)
#   FUZZ_SECONDS=S    time per fuzz target (default 45; 0 skips fuzzing)
#   SOAK_PHONES=N     phones of the station soak (default 300; 0 skips it)
#
# The default build's fault matrix holds the real-time rows (vbcflash-cli against vbcsim), which
# mostly sleep through the phone's time-outs: it runs in the background from the start of the
# fuzzing (one core) to the end, instead of on its own.
#   SKIP_ASAN=1       skip the sanitizer build and run (a quicker local check)
#   SKIP_WINDOWS=1    skip the Windows cross-build (preset windows) and its runs under Wine:
#                     the unit tests as .exe (scripts/wine-tests.sh) and the end-to-end job of
#                     vbcflash-cli.exe against vbcsim over a pseudo-terminal mapped to COM1
#                     (scripts/wine-e2e.sh), and the desktop program vbcflash.exe started and
#                     closed by keyboard on a virtual display (scripts/wine-gui-smoke.sh), a whole job
#                     and a stopped one by keyboard (scripts/wine-gui-e2e.sh); the installer made by
#                     scripts/package-windows.sh, installed, used and uninstalled silently in a
#                     fresh prefix (scripts/wine-installer.sh). Its packages (MinGW-w64, Wine, NSIS) are installed by
#                     scripts/deps.sh windows only when it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

scripts/deps.sh

JOBS="${JOBS:-$(nproc)}"
MATRIX_JOBS="${MATRIX_JOBS:-16}"
FUZZ_SECONDS="${FUZZ_SECONDS:-45}"
MATRIX='^Faults/FaultMatrix'

status=0
failed=()
fail() {
    status=1
    failed+=("$1")
}
stage() {
    printf '\n==== %s (%d s so far)\n' "$1" "$SECONDS"
}

# Builds a preset and runs its suite but the fault matrix, by cores.
suite() {
    local preset=$1
    stage "$preset: configure and build"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$JOBS"
    stage "$preset: tests"
    ctest --preset "$preset" -j "$JOBS" -E "$MATRIX" || fail "$preset tests"
}
matrix() {
    ctest --preset "$1" -j "$MATRIX_JOBS" -R "$MATRIX"
}

suite default
if [ "${SKIP_ASAN:-0}" != 1 ]; then
    suite asan
    stage "asan: fault matrix"
    matrix asan || fail "asan fault matrix"
fi

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then
    scripts/deps.sh windows
    stage "windows: configure and build"
    cmake --preset windows
    cmake --build --preset windows -j "$JOBS"
    stage "windows: unit tests under Wine"
    scripts/wine-tests.sh || fail "windows tests under Wine"
    stage "windows: end-to-end job under Wine (vbcsim paced to the line)"
    scripts/wine-e2e.sh build/windows/cli/vbcflash-cli.exe build/default/vbcsim ||
        fail "windows end-to-end job under Wine"
    stage "windows: vbcflash-station.exe under Wine (two phones; Ctrl-C logs them stopped)"
    scripts/wine-station.sh || fail "vbcflash-station.exe under Wine"
    stage "windows: vbcflash.exe under Wine (window up, close box asks, Yes ends it)"
    scripts/wine-gui-smoke.sh || fail "vbcflash.exe under Wine"
    stage "windows: vbcflash.exe's whole job by keyboard under Wine (Ctrl+R, Alt+S)"
    scripts/wine-gui-e2e.sh || fail "vbcflash.exe's keyboard job under Wine"
    stage "windows: vbcflash.exe's job stopped by keyboard under Wine (Alt+O)"
    scripts/wine-gui-e2e.sh --stop || fail "vbcflash.exe's keyboard stop under Wine"
    stage "windows: vbcflash.exe's station window by keyboard under Wine (a refusal, then COM1 and COM2 pass)"
    scripts/wine-gui-station.sh || fail "vbcflash.exe's station window under Wine"
    stage "windows: the installer under Wine (silent install, a .cla opened, silent uninstall)"
    if scripts/package-windows.sh >"$ROOT/build/windows/package-windows.log" 2>&1; then
        scripts/wine-installer.sh "" build/default/vbcsim || fail "the installer under Wine"
    else
        cat "$ROOT/build/windows/package-windows.log"
        fail "the Windows zip and installer (scripts/package-windows.sh)"
    fi
fi

stage "default: fault matrix, in the background"
MATRIX_LOG=$(mktemp "${TMPDIR:-/tmp}/vbcmatrix.XXXXXX")
matrix default >"$MATRIX_LOG" 2>&1 &
MATRIX_PID=$!

if [ "$FUZZ_SECONDS" -gt 0 ] && command -v clang++ >/dev/null; then
    stage "fuzz: configure and build"
    cmake --preset fuzz
    cmake --build --preset fuzz -j "$JOBS"
    for bin in build/fuzz/fuzz/*_fuzz; do
        name=$(basename "$bin" _fuzz)
        stage "fuzz: $name for $FUZZ_SECONDS s"
        # A directory of its own: targets may work in the current directory, and findings
        # (crash-*, leak-*, timeout-*) land there.
        work=$(mktemp -d "${TMPDIR:-/tmp}/vbcfuzz-$name.XXXXXX")
        mkdir "$work/corpus"
        args=(-max_total_time="$FUZZ_SECONDS" -timeout=25 -print_final_stats=1)
        if [ -f "fuzz/$name.dict" ]; then args+=(-dict="$ROOT/fuzz/$name.dict"); fi
        seeds=()
        if [ -d "fuzz/corpus/$name" ]; then seeds=("$ROOT/fuzz/corpus/$name"); fi
        if (cd "$work" && "$ROOT/$bin" "${args[@]}" corpus "${seeds[@]}") >"$work/log" 2>&1; then
            grep -E '^stat::number_of_executed_units|^Done' "$work/log" || true
            rm -rf "$work"
        else
            tail -n 60 "$work/log"
            echo "fuzz target $name failed; log and findings in $work"
            fail "fuzz $name"
        fi
    done
elif [ "$FUZZ_SECONDS" -gt 0 ]; then
    stage "fuzz: skipped (no clang++)"
fi

stage "default: station soak, 300 phones with random faults (scripts/soak.sh)"
if [ "${SOAK_PHONES:-300}" -gt 0 ]; then
    scripts/soak.sh --phones "${SOAK_PHONES:-300}" --build build/default || fail "station soak"
fi

stage "default: fault matrix, waiting for its end"
if wait "$MATRIX_PID"; then
    tail -n 3 "$MATRIX_LOG"
else
    cat "$MATRIX_LOG"
    fail "default fault matrix"
fi
rm -f "$MATRIX_LOG"

stage "done"
if ((status)); then
    echo "FAILED: ${failed[*]}"
fi
exit "$status"
