#!/usr/bin/env bash
# A long fuzzing run of one target, that anyone can start:
#
#   scripts/fuzz.sh [--target NAME] [--hours N | --runs N] [--jobs N]
#
#   --target NAME   protocol (default), flashtxt, configtxt or uiresources
#   --hours N       stop after N hours (default 1; fractions are fine: --hours 0.25)
#   --runs N        stop after N executions instead (per process)
#   --jobs N        N processes side by side (default 1), sharing the corpus
#
# Builds the fuzz preset (clang, ASan + UBSan), then runs the target from its seeds
# (fuzz/corpus/NAME/) and from the corpus of earlier runs, kept in fuzz/corpus/NAME.run/ (not
# committed: thousands of small files). Findings (crash-*, leak-*, timeout-*, oom-*) go to
# fuzz/findings/NAME/. The log is fuzz/findings/NAME/fuzz.log. At the end it prints the
# executions, their rate and the edges covered before and after the run (also when stopped
# with Ctrl-C, which exits 130), and exits 1 if the run found anything: fix it, then put a
# small copy of the input into fuzz/corpus/NAME/, which the test suite replays (protocol) or
# scripts/test.sh starts from.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

target=protocol
hours=1
runs=
jobs=1
while [ $# -gt 0 ]; do
    case "$1" in
        --target) target=$2; shift 2 ;;
        --hours) hours=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "fuzz.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
case "$target" in
    protocol | flashtxt | configtxt | uiresources) ;;
    *) echo "fuzz.sh: no target '$target'" >&2; exit 2 ;;
esac
if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ is needed (scripts/deps.sh installs it)" >&2
    exit 2
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${target}_fuzz" -j "${JOBS:-$(nproc)}" >/dev/null
bin="$ROOT/build/fuzz/fuzz/${target}_fuzz"

seeds="$ROOT/fuzz/corpus/$target"
work="$ROOT/fuzz/corpus/$target.run"
findings="$ROOT/fuzz/findings/$target"
mkdir -p "$work" "$findings"
log="$findings/fuzz.log"

# Ctrl-C (SIGINT) ends the run with its figures: libFuzzer then exits 130.
args=(-timeout=25 -print_final_stats=1 -artifact_prefix="$findings/" -interrupted_exitcode=130)
if [ -n "$runs" ]; then
    args+=(-runs="$runs")
else
    args+=(-max_total_time="$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')")
fi
if [ -f "fuzz/$target.dict" ]; then args+=(-dict="$ROOT/fuzz/$target.dict"); fi
if [ "$jobs" -gt 1 ]; then args+=(-jobs="$jobs" -workers="$jobs"); fi

limit="$hours h"
if [ -n "$runs" ]; then limit="$runs executions"; fi
echo "fuzz.sh: $target for $limit, corpus $work, log $log"
before=$(find "$findings" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
    -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
start=$SECONDS
status=0
# The targets may work in the current directory: run in the findings directory.
(cd "$findings" && "$bin" "${args[@]}" "$work" "$seeds") >"$log" 2>&1 || status=$?
if [ "$jobs" -gt 1 ]; then cat "$findings"/fuzz-*.log >>"$log" 2>/dev/null || true; fi

after=$(find "$findings" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
    -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
edges_before=$(grep -m1 -oE 'INITED cov: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo '?')
edges_after=$(grep -oE '(DONE|NEW|REDUCE|pulse) +cov: [0-9]+' "$log" | tail -n 1 |
    grep -oE '[0-9]+$' || echo '?')
executed=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" |
    awk '{ n += $2 } END { print n + 0 }')
seconds=$((SECONDS - start))
echo "fuzz.sh: $executed executions in $seconds s ($((executed / (seconds > 0 ? seconds : 1))) a second)," \
    "edges $edges_before at the start, $edges_after at the end," \
    "corpus $(find "$work" -type f | wc -l) inputs"
if [ "$after" -eq "$before" ] && [ "$status" -eq 130 ]; then
    echo "fuzz.sh: interrupted, nothing found"
    exit 130
fi
if [ "$after" -gt "$before" ] || [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz.sh: FINDINGS in $findings (exit status $status)"
    exit 1
fi
echo "fuzz.sh: nothing found"
