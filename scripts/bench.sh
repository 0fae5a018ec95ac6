#!/usr/bin/env bash
# Measures a whole job against the paced phone simulator and the PC's own work, and prints one
# table with the targets. Exits 1 when a target is missed.
#
#   scripts/bench.sh                 the 4 MiB job at 115200 bit/s (about 6 minutes)
#   scripts/bench.sh --size 256K     a quick run (N, NK or NM bytes)
#   scripts/bench.sh --build-dir DIR build there (default build/bench)
#
# Not part of scripts/test.sh: the job takes the line's real time.
set -euo pipefail
cd "$(dirname "$0")/.."

SIZE=4M
BUILD=build/bench
while (($#)); do
    case "$1" in
        --size) SIZE="$2"; shift 2 ;;
        --build-dir) BUILD="$2"; shift 2 ;;
        -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench.sh: unknown option $1 (try --help)" >&2; exit 64 ;;
    esac
done

scripts/deps.sh
JOBS="${JOBS:-$(nproc)}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBC_BUILD_GUI=OFF \
    -DVBC_BUILD_TESTS=OFF -DVBC_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target vbcsim vbcflash-cli job_bench geometry_bench >/dev/null

echo "Running the job ($SIZE at 115200 bit/s against vbcsim --pace) ..." >&2
JOB_OUT=$("$BUILD/bench/job_bench" --size "$SIZE" --cli "$BUILD/cli/vbcflash-cli" \
    --sim "$BUILD/vbcsim")
echo "Running the micro-benchmarks ..." >&2
GEO_OUT=$("$BUILD/bench/geometry_bench" --benchmark_format=csv 2>/dev/null)

# One table: the job's figures (name value lines), then the micro-benchmarks (CSV: name,
# iterations, real_time, cpu_time, time_unit, bytes_per_second, ...).
{
    echo "$JOB_OUT" | sed 's/^/job /'
    echo "$GEO_OUT" | grep '^"' | sed 's/^/geo /'
} | awk '
function fmt_time(ns) {
    if (ns >= 1e6) return sprintf("%.2f ms", ns / 1e6)
    if (ns >= 1e3) return sprintf("%.2f us", ns / 1e3)
    return sprintf("%.1f ns", ns)
}
function ns_of(t, unit) {
    return unit == "ms" ? t * 1e6 : unit == "us" ? t * 1e3 : unit == "s" ? t * 1e9 : t
}
$1 == "job" { job[$2] = $3; next }
$1 == "geo" {
    line = substr($0, 5)
    n = split(line, f, ",")
    name = f[1]; gsub(/"/, "", name)
    cpu[name] = ns_of(f[4], f[5]); bps[name] = f[6]
    next
}
END {
    missed = 0
    mib = job["image_bytes"] / 1048576
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "figure", "measured", "target", "result"
    printf "|%s|%s|%s|%s|\n", "------------------------------------------------------------",
        "--------------------------------", "------------------", "--------"
    title = sprintf("whole job: %.2f MiB, %d sectors, 115200 bit/s", mib, job["sectors"])
    printf "| %-58s | %-30s | %-16s | %-6s |\n", title, "", "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  line'"'"'s own time (boot at 38400 bit/s included)",
        sprintf("%.2f s (boot %.2f s)", job["line_s"], job["boot_line_s"]), "", ""
    ok = job["over_line_pct"] <= 1.0; missed += !ok
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  wall time of vbcflash-cli against vbcsim --pace",
        sprintf("%.2f s (%+.2f %% of the line)", job["wall_s"], job["over_line_pct"]),
        "within 1 %", ok ? "ok" : "MISSED"
    ok = job["pc_cpu_pct"] < 2.0; missed += !ok
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC CPU time (user + system) of the wall time",
        sprintf("%.2f s = %.3f %% of a core", job["pc_cpu_s"], job["pc_cpu_pct"]),
        "under 2 %", ok ? "ok" : "MISSED"
    ok = job["pc_peak_mib"] < job["memory_limit_mib"]; missed += !ok
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC peak memory (ru_maxrss)",
        sprintf("%.1f MiB", job["pc_peak_mib"]),
        sprintf("under %.1f MiB", job["memory_limit_mib"]), ok ? "ok" : "MISSED"
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "flash.txt reader", "", "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  examples/flash.txt, parsed from memory",
        fmt_time(cpu["FlashTxtRead/example"]), "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  examples/flash.txt, opened and read from disk",
        fmt_time(cpu["FlashTxtLoad/example"]), "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  largest file taken: 20 chips of 200 sectors",
        fmt_time(cpu["FlashTxtRead/largest"]), "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "sector-list query", "", "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  4 MiB on the example chip (71 sectors)",
        fmt_time(cpu["SectorList/4MiB"]), "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  whole 200-sector chip, last of 20",
        fmt_time(cpu["SectorList/largest"]), "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "checksum (and framing) of the sector download", "", "", ""
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "  per MiB, over a line that costs nothing",
        sprintf("%s (%.1f GB/s)", fmt_time(cpu["SectorDownload/1MiB"]), bps["SectorDownload/1MiB"] / 1e9),
        "", ""
    exit missed > 0
}'
