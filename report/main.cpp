// vbcflash-report: what the stations recorded, read back from a station database (SQLite or
// PostgreSQL) or a station log: a summary of a period, the history of one unit, or the records
// themselves as CSV or JSON lines.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>

#include "core/version.h"
#include "report/report.h"

namespace {

namespace rp = vbc::report;

constexpr const char* kProgram = "vbcflash-report";
constexpr int kExitBadOptions = 64;  // EX_USAGE
constexpr int kExitNoInput = 66;     // EX_NOINPUT
constexpr int kExitIo = 74;          // EX_IOERR

constexpr const char* kFooter =
    R"(SOURCE is a station database (a SQLite file, station.db by default, or a PostgreSQL
connection string such as postgresql://USER@HOST/DB) or a station log (JSON lines; a log
holds no units).

By default a summary of the phones started in the period (--since and --until, dates of
UTC days, both included; default today): per software, station and port the phones,
passed, failed, stopped, the yield (passed of passed and failed), the mean job time and the
phones per hour (over the time from the first start to the last end), then the failures
grouped by category and code with their message. --unit gives the history of one unit,
over every date unless --since or --until is given.

Exit status: 0 done, 64 bad options, 66 SOURCE cannot be opened, 74 it cannot be read.
)";

int Usage(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\nRun with --help for more information.\n";
    return kExitBadOptions;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Reports what the stations recorded: a summary of a period, the history of a "
        "unit, or the records as CSV or JSON lines.",
        kProgram};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(kProgram) + " " + vbc::kVersion);
    std::string source = "station.db";
    std::string since;
    std::string until;
    std::string unit;
    std::string software;
    std::string station;
    bool csv = false;
    bool json = false;
    app.add_option("SOURCE", source, "Station database or log (default station.db)")->type_name("");
    const auto date = [](const std::string& text) {
        std::string a, b;
        return rp::DayBounds(text, &a, &b) ? std::string()
                                           : "expected a date YYYY-MM-DD, not \"" + text + "\"";
    };
    app.add_option("--since", since, "First day (UTC) of the period")
        ->type_name("DATE")
        ->check(date, "");
    app.add_option("--until", until, "Last day (UTC) of the period")
        ->type_name("DATE")
        ->check(date, "");
    auto* unitOpt = app.add_option("--unit", unit, "The history of this unit")->type_name("ID");
    auto* softwareOpt =
        app.add_option("--software", software, "Only phones given this software file")
            ->type_name("NAME");
    auto* stationOpt =
        app.add_option("--station", station, "Only phones of this station (host name)")
            ->type_name("NAME");
    auto* csvOpt = app.add_flag("--csv", csv, "Every matching record as CSV, with a header row");
    app.add_flag("--json", json, "Every matching record as a JSON object, one a line")
        ->excludes(csvOpt);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return Usage(e.what());
    }

    rp::Filter filter;
    const bool history = unitOpt->count() > 0;
    std::string first = since.empty() ? (history ? "" : rp::Today()) : since;
    std::string last = until.empty() ? (history ? "" : rp::Today()) : until;
    std::string ignored;
    if (!first.empty()) rp::DayBounds(first, &filter.from, &ignored);
    if (!last.empty()) rp::DayBounds(last, &ignored, &filter.until);
    if (!first.empty() && !last.empty() && filter.from >= filter.until)
        return Usage("--since " + first + " is after --until " + last);
    if (history) filter.unit = unit;
    if (softwareOpt->count() > 0) filter.software = software;
    if (stationOpt->count() > 0) filter.station = station;

    std::string error;
    const auto input = rp::OpenSource(source, &error);
    if (!input) {
        std::cerr << kProgram << ": cannot open " << error << "\n";
        return kExitNoInput;
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    bool ok = true;
    std::string out;
    if (csv || json) {
        if (csv) out = rp::CsvLine(nullptr) + "\n";
        std::fputs(out.c_str(), stdout);
        ok = input->Records(
            filter,
            [&](const rp::Json& r) {
                const std::string line =
                    csv ? rp::CsvLine(&r)
                        : r.dump(-1, ' ', false, rp::Json::error_handler_t::replace);
                std::fputs(line.c_str(), stdout);
                std::fputc('\n', stdout);
            },
            &error);
        out.clear();
    } else if (history) {
        std::vector<rp::Json> records;
        ok = input->Records(
            filter, [&](const rp::Json& r) { records.push_back(r); }, &error);
        out = rp::HistoryText(records, unit, terminal);
    } else {
        rp::Summary summary;
        ok = input->Phones(
            filter, [&](const rp::Phone& p) { summary.Add(p); }, &error);
        const std::string span = first == last ? "on " + first : first + " to " + last;
        std::string text = "started " + span + " (UTC)";
        if (filter.software) text += ", software " + *filter.software;
        if (filter.station) text += ", station " + *filter.station;
        out = rp::SummaryText(summary, text, terminal);
    }
    if (!ok) {
        std::cerr << kProgram << ": cannot read " << source << ": " << error << "\n";
        return kExitIo;
    }
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : kExitIo;
}
