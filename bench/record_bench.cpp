// What the station's database costs: recording one phone (what a port's turn-around gains), and
// vbcflash-report's summary over a million records.
//
//   RecordPhone/sqlite   one phone's row in station.db: a UUID, one transaction, its commit on
//                        the disk (WAL, full synchronisation); 100 phones, as a station records
//                        them (mean and slowest)
//   ReportSummary/1M     the summary of one day's 1,000,000 records of a station.db (made once,
//                        in bench-report-1M.db in the working directory, on its disk)
//
// Run where the stations' disk is: the working directory holds the files (not a tmpfs).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "report/report.h"
#include "station/recordstore.h"
#include "station/sqlitedb.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

Json Phone(int n, const std::string& start) {
    return Json{{"id", vbc::station::NewUuid()},
                {"start", start},
                {"end", start},
                {"port", 1 + n % 8},
                {"device", "/dev/ttyUSB" + std::to_string(n % 8)},
                {"software", n % 3 ? "soft.cla" : "other.cla"},
                {"sha256", std::string(64, 'a')},
                {"bytes", 1048576},
                {"product", 2},
                {"speed", 115200},
                {"verify", false},
                {"flash", "ST M36DR864CB"},
                {"ok", n % 20 != 0},
                {"category", n % 20 ? 0 : 12},
                {"code", n % 20 ? 0 : 204},
                {"message", n % 20 ? "The software has been downloaded successfully."
                                   : "Problem : Bad checksum"},
                {"seconds", 92.8},
                {"resends", 0},
                {"station", "line" + std::to_string(1 + n % 2)},
                {"version", "0.1.0"},
                {"unit", "IMEI" + std::to_string(350000000 + n)},
                {"flash_id", nullptr}};
}

void RecordPhone(benchmark::State& state) {
    const fs::path db = fs::absolute("bench-record.db");
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
    std::string error;
    vbc::station::OpenFailure failure;
    auto store = vbc::station::OpenRecordStore(db.string(), "", &error, &failure);
    if (!store) {
        state.SkipWithError(error.c_str());
        return;
    }
    double slowest = 0;
    int n = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!store->Add(Phone(n++, "2026-12-09T08:00:00.000Z"), &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
        slowest = std::max(slowest, ms.count());
    }
    state.counters["slowest_ms"] = slowest;
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
}
BENCHMARK(RecordPhone)->Name("RecordPhone/sqlite")->Iterations(100)->Unit(benchmark::kMillisecond);

// A day of 1,000,000 phones, made in one transaction (not the station's way: only the result
// counts here).
bool MakeMillion(const fs::path& db, std::string* error) {
    if (fs::exists(db)) return true;
    const fs::path partial = db.string() + ".partial";
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(partial.string() + suffix);
    {
        vbc::station::SqliteDb out;
        vbc::station::OpenFailure failure;
        if (!out.Open(partial.string(), error, &failure)) return false;
        sqlite3_exec(out.Handle(), "PRAGMA synchronous = OFF; BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        std::string sql = "INSERT INTO phones (" + vbc::station::ColumnList() + ") VALUES (";
        for (std::size_t i = 0; i < vbc::station::PhoneFields().size(); ++i) sql += i ? ",?" : "?";
        sqlite3_prepare_v2(out.Handle(), (sql + ")").c_str(), -1, &insert, nullptr);
        for (int n = 0; n < 1'000'000; ++n) {
            char start[32];
            std::snprintf(start, sizeof start, "2026-12-09T%02d:%02d:%02d.%03dZ", n / 41667 % 24,
                          n / 695 % 60, n / 12 % 60, n % 1000);
            const Json r = Phone(n, start);
            int c = 1;
            for (const auto& f : vbc::station::PhoneFields()) {
                const Json& v = r[f.name];
                if (v.is_null())
                    sqlite3_bind_null(insert, c);
                else if (v.is_string())
                    sqlite3_bind_text(insert, c, v.get<std::string>().c_str(), -1,
                                      SQLITE_TRANSIENT);
                else if (v.is_boolean())
                    sqlite3_bind_int(insert, c, v.get<bool>());
                else if (v.is_number_float())
                    sqlite3_bind_double(insert, c, v.get<double>());
                else
                    sqlite3_bind_int64(insert, c, v.get<std::int64_t>());
                ++c;
            }
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        // Its journal folded into the file, which then stands alone.
        if (sqlite3_exec(out.Handle(), "COMMIT; PRAGMA journal_mode = DELETE", nullptr, nullptr,
                         nullptr) != SQLITE_OK) {
            *error = sqlite3_errmsg(out.Handle());
            return false;
        }
    }
    fs::rename(partial, db);
    return true;
}

void ReportSummary(benchmark::State& state) {
    const fs::path db = fs::absolute("bench-report-1M.db");
    std::string error;
    if (!MakeMillion(db, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    vbc::report::Filter day;
    vbc::report::DayBounds("2026-12-09", &day.from, &day.until);
    std::size_t length = 0;
    for (auto _ : state) {
        auto source = vbc::report::OpenSource(db.string(), &error);
        vbc::report::Summary summary;
        if (!source || !source->Phones(
                           day, [&](const vbc::report::Phone& p) { summary.Add(p); }, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        length = vbc::report::SummaryText(summary, "on 2026-12-09", false).size();
        if (summary.Total().phones != 1'000'000) state.SkipWithError("not a million phones");
    }
    benchmark::DoNotOptimize(length);
}
BENCHMARK(ReportSummary)->Name("ReportSummary/1M")->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
