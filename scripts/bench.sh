#!/usr/bin/env bash
# Measures whole jobs against the paced phone simulator and the PC's own work, and prints one
# table with the targets. Exits 1 when a target is missed.
#
#   scripts/bench.sh                 a 1 MiB job at row 1 (115200 bit/s) and at row 8
#                                    (302325 bit/s) of the speed table (about 2.5 minutes)
#   scripts/bench.sh --size 256K     a quick run (N, NK or NM bytes)
#   scripts/bench.sh --rows "1"      the rows to run a job at, 0 to 8
#   scripts/bench.sh --build-dir DIR build there (default build/bench)
#   scripts/bench.sh --readback      instead: a 1 MiB job with --verify at each of the rows
#                                    and a whole-flash --dump of the 2 MiB chip 0x07:0x8F
#                                    (about 7 minutes)
#   scripts/bench.sh --station       instead: four paced phones at once under vbcflash-station,
#                                    1 MiB each at 115200 bit/s (about 1.5 minutes)
#   scripts/bench.sh --records       instead: the station's database, one phone's record (100
#                                    phones) and vbcflash-report over 1,000,000 records (about
#                                    1 minute; its files in the build directory)
#
# Not part of scripts/test.sh: the job takes the line's real time.
set -euo pipefail
cd "$(dirname "$0")/.."

SIZE=1M
ROWS="1 8"
BUILD=build/bench
READBACK=0
STATION=0
RECORDS=0
while (($#)); do
    case "$1" in
        --readback) READBACK=1; shift ;;
        --station) STATION=1; shift ;;
        --records) RECORDS=1; shift ;;
        --size) SIZE="$2"; shift 2 ;;
        --rows) ROWS="$2"; shift 2 ;;
        --build-dir) BUILD="$2"; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench.sh: unknown option $1 (try --help)" >&2; exit 64 ;;
    esac
done

scripts/deps.sh
JOBS="${JOBS:-$(nproc)}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBC_BUILD_GUI=OFF \
    -DVBC_BUILD_TESTS=OFF -DVBC_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target vbcsim vbcflash-cli vbcflash-station job_bench geometry_bench record_bench >/dev/null

if ((RECORDS)); then
    echo "Recording 100 phones in a SQLite station.db, then summing up 1,000,000 records ..." >&2
    (cd "$BUILD" && bench/record_bench) | awk '
        function ms(t, unit) { return unit == "s" ? t * 1000 : unit == "us" ? t / 1000 : t }
        /^RecordPhone/ { record = ms($2, $3); split($NF, s, "="); slowest = s[2] }
        /^ReportSummary/ { report = ms($2, $3) }
        END {
            f = "| %-58s | %-30s | %-16s | %-6s |\n"
            printf f, "figure", "measured", "target", "result"
            printf "|%s|%s|%s|%s|\n", "------------------------------------------------------------",
                "--------------------------------", "------------------", "--------"
            ok = record < 50 && slowest < 50; missed += !ok
            printf f, "one phone recorded in station.db (mean of 100, slowest)",
                sprintf("%.1f ms, %.1f ms", record, slowest), "under 50 ms", ok ? "ok" : "MISSED"
            ok = report > 0 && report < 2000; missed += !ok
            printf f, "summary of 1,000,000 records (SQLite)", sprintf("%.2f s", report / 1000),
                "under 2 s", ok ? "ok" : "MISSED"
            exit missed > 0
        }'
    exit $?
fi

# Read-back figures: each run's wall time against its line time, and the PC's CPU share.
readback_table() {
    printf '| %-58s | %-30s | %-16s | %-6s |\n' "figure" "measured" "target" "result"
    printf '|%s|%s|%s|%s|\n' "------------------------------------------------------------" \
        "--------------------------------" "------------------" "--------"
    local missed=0 name out row rate
    for name in $(for row in $ROWS; do echo "verify:$row"; done) dump; do
        if [[ $name == verify:* ]]; then
            row=${name#verify:}
            echo "Running a 1M job with --verify at row $row against vbcsim --pace ..." >&2
            out=$("$BUILD/bench/job_bench" --size 1M --speed "$row" --verify \
                --examples "$PWD/examples" --cli "$BUILD/cli/vbcflash-cli" \
                --sim "$BUILD/vbcsim")
        else
            echo "Running a whole-flash --dump (2 MiB chip) at 115200 bit/s ..." >&2
            out=$("$BUILD/bench/job_bench" --dump 0x07:0x8F --examples "$PWD/examples" \
                --cli "$BUILD/cli/vbcflash-cli" \
                --sim "$BUILD/vbcsim")
        fi
        rate=$(echo "$out" | awk '$1 == "line_rate" { print $2 }')
        echo "$out" | awk -v name="$name" -v rate="${rate:-115200}" '
            { v[$1] = $2 }
            END {
                mib = v["image_bytes"] / 1048576
                title = name ~ /^verify/ ? sprintf("%.2f MiB job with --verify, %d bit/s", mib, rate) \
                                         : sprintf("whole-flash --dump, %.2f MiB, %d bit/s", mib, rate)
                printf "| %-58s | %-30s | %-16s | %-6s |\n", title, "", "", ""
                printf "| %-58s | %-30s | %-16s | %-6s |\n", "  line'"'"'s own time (boot included)",
                    sprintf("%.2f s (boot %.2f s)", v["line_s"], v["boot_line_s"]), "", ""
                ok = v["over_line_pct"] <= 1.0; missed += !ok
                printf "| %-58s | %-30s | %-16s | %-6s |\n", "  wall time of vbcflash-cli against vbcsim --pace",
                    sprintf("%.2f s (%+.2f %% of the line)", v["wall_s"], v["over_line_pct"]),
                    "within 1 %", ok ? "ok" : "MISSED"
                ok = v["pc_cpu_pct"] < 2.0; missed += !ok
                printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC CPU time (user + system) of the wall time",
                    sprintf("%.2f s = %.3f %% of a core", v["pc_cpu_s"], v["pc_cpu_pct"]),
                    "under 2 %", ok ? "ok" : "MISSED"
                printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC peak memory (ru_maxrss)",
                    sprintf("%.1f MiB", v["pc_peak_mib"]), "", ""
                exit missed > 0
            }' || missed=1
    done
    return $missed
}

# The station: four phones at once, its wall time against one phone's line time, the CPU of the
# station and its workers, the station's own memory.
if ((STATION)); then
    echo "Running vbcflash-station with four paced phones, $SIZE each at 115200 bit/s ..." >&2
    out=$("$BUILD/bench/job_bench" --station 4 --size "$SIZE" --examples "$PWD/examples" \
        --cli "$BUILD/cli/vbcflash-cli" --sim "$BUILD/vbcsim")
    echo "$out" | awk '
        { v[$1] = $2 }
        END {
            f = "| %-58s | %-30s | %-16s | %-6s |\n"
            printf f, "figure", "measured", "target", "result"
            printf "|%s|%s|%s|%s|\n", "------------------------------------------------------------",
                "--------------------------------", "------------------", "--------"
            printf f, sprintf("station: %d phones at once, %.2f MiB each, %d bit/s", v["phones"],
                v["image_bytes"] / 1048576, v["line_rate"]), "", "", ""
            printf f, "  one phone'"'"'s own line time (boot included)", sprintf("%.2f s", v["line_s"]), "", ""
            ok = v["over_line_pct"] <= 2.0; missed += !ok
            printf f, "  wall time of vbcflash-station --once", sprintf("%.2f s (%+.2f %% of the line)",
                v["wall_s"], v["over_line_pct"]), "within 2 %", ok ? "ok" : "MISSED"
            ok = v["pc_cpu_pct"] < 2.0; missed += !ok
            printf f, "  CPU of the station and its 4 workers", sprintf("%.2f s = %.3f %% of a core",
                v["pc_cpu_s"], v["pc_cpu_pct"]), "under 2 %", ok ? "ok" : "MISSED"
            ok = v["station_peak_mib"] < v["memory_limit_mib"]; missed += !ok
            printf f, "  station peak memory (VmHWM)", sprintf("%.1f MiB", v["station_peak_mib"]),
                sprintf("under %.1f MiB", v["memory_limit_mib"]), ok ? "ok" : "MISSED"
            printf f, "  largest worker or station peak (ru_maxrss)", sprintf("%.1f MiB", v["pc_peak_mib"]), "", ""
            exit missed > 0
        }'
    exit $?
fi

if ((READBACK)); then
    readback_table
    exit $?
fi

JOB_OUT=""
for ROW in $ROWS; do
    echo "Running the job ($SIZE at row $ROW of the speed table against vbcsim --pace) ..." >&2
    OUT=$("$BUILD/bench/job_bench" --size "$SIZE" --speed "$ROW" \
        --cli "$BUILD/cli/vbcflash-cli" --sim "$BUILD/vbcsim")
    JOB_OUT+=$(echo "$OUT" | sed "s/^/$ROW /")$'\n'
done
echo "Running the micro-benchmarks ..." >&2
GEO_OUT=$("$BUILD/bench/geometry_bench" --benchmark_format=csv 2>/dev/null)

# One table: the job's figures (name value lines), then the micro-benchmarks (CSV: name,
# iterations, real_time, cpu_time, time_unit, bytes_per_second, ...).
{
    echo -n "$JOB_OUT" | sed 's/^/job /'
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
$1 == "job" { if (!($2 in seen)) { seen[$2] = 1; rows[++nrows] = $2 } job[$2, $3] = $4; next }
$1 == "geo" {
    line = substr($0, 5)
    n = split(line, f, ",")
    name = f[1]; gsub(/"/, "", name)
    cpu[name] = ns_of(f[4], f[5]); bps[name] = f[6]
    next
}
END {
    missed = 0
    printf "| %-58s | %-30s | %-16s | %-6s |\n", "figure", "measured", "target", "result"
    printf "|%s|%s|%s|%s|\n", "------------------------------------------------------------",
        "--------------------------------", "------------------", "--------"
    for (i = 1; i <= nrows; ++i) {
        r = rows[i]
        mib = job[r, "image_bytes"] / 1048576
        title = sprintf("whole job: %.2f MiB, %d sectors, row %d: %d bit/s", mib,
            job[r, "sectors"], r, job[r, "line_rate"])
        printf "| %-58s | %-30s | %-16s | %-6s |\n", title, "", "", ""
        printf "| %-58s | %-30s | %-16s | %-6s |\n", "  line'"'"'s own time (boot at 38400 bit/s included)",
            sprintf("%.2f s (boot %.2f s)", job[r, "line_s"], job[r, "boot_line_s"]), "", ""
        ok = job[r, "over_line_pct"] <= 1.0; missed += !ok
        printf "| %-58s | %-30s | %-16s | %-6s |\n", "  wall time of vbcflash-cli against vbcsim --pace",
            sprintf("%.2f s (%+.2f %% of the line)", job[r, "wall_s"], job[r, "over_line_pct"]),
            "within 1 %", ok ? "ok" : "MISSED"
        ok = job[r, "pc_cpu_pct"] < 2.0; missed += !ok
        printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC CPU time (user + system) of the wall time",
            sprintf("%.2f s = %.3f %% of a core", job[r, "pc_cpu_s"], job[r, "pc_cpu_pct"]),
            "under 2 %", ok ? "ok" : "MISSED"
        ok = job[r, "pc_peak_mib"] < job[r, "memory_limit_mib"]; missed += !ok
        printf "| %-58s | %-30s | %-16s | %-6s |\n", "  PC peak memory (ru_maxrss)",
            sprintf("%.1f MiB", job[r, "pc_peak_mib"]),
            sprintf("under %.1f MiB", job[r, "memory_limit_mib"]), ok ? "ok" : "MISSED"
    }
    if (nrows >= 2) {
        a = rows[1]; b = rows[nrows]
        printf "| %-58s | %-30s | %-16s | %-6s |\n",
            sprintf("  row %d against row %d: wall time (line time)", b, a),
            sprintf("%.1f %% (%.1f %%)", 100 * job[b, "wall_s"] / job[a, "wall_s"],
                100 * job[b, "line_s"] / job[a, "line_s"]), "", ""
    }
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
