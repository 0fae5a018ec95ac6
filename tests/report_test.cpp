// vbcflash-report's core: the summary's figures and texts, the same records read from a station
// database and from a log, the filters, CSV.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/report.h"
#include "station/sqlitedb.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using report::Json;

// A record as the station writes it (the log's fields; the database adds id, unit, flash_id).
Json Record(const std::string& start, const std::string& end, int port, bool ok, int category,
            int code, const std::string& message, double seconds,
            const std::string& software = "soft.cla", const std::string& station = "line2") {
    return Json{{"start", start},
                {"end", end},
                {"port", port},
                {"device", "/dev/ttyUSB0"},
                {"software", software},
                {"sha256", std::string(64, 'a')},
                {"bytes", 1000},
                {"product", 2},
                {"speed", 115200},
                {"verify", false},
                {"flash", "ST M36DR864CB"},
                {"ok", ok},
                {"category", category},
                {"code", code},
                {"message", message},
                {"seconds", seconds},
                {"resends", 0},
                {"station", station},
                {"version", "0.1.0"}};
}

const std::vector<Json>& Records() {
    static const std::vector<Json> records = {
        Record("2026-12-08T23:59:59.000Z", "2026-12-09T00:01:00.000Z", 1, true, 0, 0, "ok", 61),
        Record("2026-12-09T08:00:00.000Z", "2026-12-09T08:01:00.000Z", 1, true, 0, 0, "ok", 60),
        Record("2026-12-09T08:01:00.000Z", "2026-12-09T08:02:00.000Z", 1, false, 11, 204,
               "Problem : Bad checksum", 30),
        Record("2026-12-09T08:00:30.000Z", "2026-12-09T08:30:00.000Z", 2, false, 11, 204,
               "Problem : Bad checksum", 90),
        Record("2026-12-09T09:00:00.000Z", "2026-12-09T09:00:10.000Z", 2, false, 14, 1,
               "Download stopped", 10),
        Record("2026-12-09T09:30:00.000Z", "2026-12-09T09:31:00.000Z", 1, false, 6, 4,
               "Phone, \"quiet\"", 5, "other.cla", "line1"),
    };
    return records;
}

class ReportTest : public ::testing::Test {
  protected:
    ReportTest() {
        std::string log;
        for (const Json& r : Records()) log += r.dump() + "\n";
        test::WriteFile(dir_.path() / "station.jsonl", log);
        station::SqliteDb db;
        std::string error;
        station::OpenFailure failure;
        EXPECT_TRUE(db.Open((dir_.path() / "station.db").string(), &error, &failure)) << error;
        int n = 0;
        for (Json r : Records()) {
            r["id"] = "id-" + std::to_string(++n);
            r["unit"] = n % 2 ? Json("U1") : Json();
            EXPECT_TRUE(db.Insert(r, &error)) << error;
        }
    }
    std::unique_ptr<report::Source> Open(const char* name) {
        std::string error;
        auto source = report::OpenSource((dir_.path() / name).string(), &error);
        EXPECT_TRUE(source) << error;
        return source;
    }
    std::vector<Json> Read(const char* name, const report::Filter& filter) {
        std::vector<Json> out;
        std::string error;
        EXPECT_TRUE(Open(name)->Records(
            filter, [&](const Json& r) { out.push_back(r); }, &error));
        return out;
    }
    test::ScratchDir dir_;
};

TEST_F(ReportTest, TheSummaryOfADay) {
    report::Filter day;
    ASSERT_TRUE(report::DayBounds("2026-12-09", &day.from, &day.until));
    std::string expected =
        "Phones of the day\n\n"
        "software\tstation\tport\tphones\tpassed\tfailed\tstopped\tyield\tmean s\tphones/h\n"
        "other.cla\tline1\tCOM1\t1\t0\t1\t0\t0.0 %\t5.0\t60.0\n"
        "soft.cla\tline2\tCOM1\t2\t1\t1\t0\t50.0 %\t45.0\t60.0\n"
        "soft.cla\tline2\tCOM2\t2\t0\t1\t1\t0.0 %\t50.0\t2.0\n"
        "total\t\t\t5\t1\t3\t1\t25.0 %\t39.0\t3.3\n"
        "\nFailures\n\n"
        "category\tcode\tphones\tmessage\n"
        "11\t204\t2\tProblem : Bad checksum\n"
        "6\t4\t1\tPhone, \"quiet\"\n";
    // The database and the log give the same summary.
    for (const char* source : {"station.db", "station.jsonl"}) {
        SCOPED_TRACE(source);
        report::Summary summary;
        std::string error;
        ASSERT_TRUE(Open(source)->Phones(
            day, [&](const report::Phone& p) { summary.Add(p); }, &error));
        EXPECT_EQ(report::SummaryText(summary, "of the day", false), expected);
    }
    report::Summary none;
    EXPECT_EQ(report::SummaryText(none, "of the day", false), "Phones of the day\n\nNo phones.\n");
    report::Summary one;
    one.Add(report::PhoneOf(Records()[1]));
    EXPECT_EQ(report::SummaryText(one, "of the day", true),
              "Phones of the day\n\n"
              "software  station  port  phones  passed  failed  stopped    yield  mean s  "
              "phones/h\n"
              "--------  -------  ----  ------  ------  ------  -------  -------  ------  "
              "--------\n"
              "soft.cla  line2    COM1       1       1       0        0  100.0 %    60.0      "
              "60.0\n"
              "total                         1       1       0        0  100.0 %    60.0      "
              "60.0\n");
}

// The filters select the same records from both sources, oldest start first; only the
// database knows units.
TEST_F(ReportTest, FiltersSelectTheSameRecordsFromTheDatabaseAndTheLog) {
    const auto starts = [](const std::vector<Json>& records) {
        std::vector<std::string> out;
        for (const Json& r : records) out.push_back(r["start"].get<std::string>().substr(8, 8));
        return out;
    };
    report::Filter day;
    report::DayBounds("2026-12-09", &day.from, &day.until);
    report::Filter software;
    software.software = "other.cla";
    report::Filter station = day;
    station.station = "line2";
    const struct {
        const char* name;
        report::Filter filter;
        std::vector<std::string> starts;
    } cases[] = {
        {"all", {}, {"08T23:59", "09T08:00", "09T08:00", "09T08:01", "09T09:00", "09T09:30"}},
        {"day", day, {"09T08:00", "09T08:00", "09T08:01", "09T09:00", "09T09:30"}},
        {"software", software, {"09T09:30"}},
        {"station", station, {"09T08:00", "09T08:00", "09T08:01", "09T09:00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto fromDb = Read("station.db", c.filter);
        const auto fromLog = Read("station.jsonl", c.filter);
        EXPECT_EQ(starts(fromDb), c.starts);
        ASSERT_EQ(fromLog.size(), fromDb.size());
        for (std::size_t i = 0; i < fromDb.size(); ++i) {
            Json db = fromDb[i];
            db["id"] = db["unit"] = nullptr;
            EXPECT_EQ(fromLog[i], db);
        }
    }
    report::Filter unit;
    unit.unit = "U1";
    EXPECT_EQ(starts(Read("station.db", unit)),
              (std::vector<std::string>{"08T23:59", "09T08:01", "09T09:00"}));
    EXPECT_TRUE(Read("station.jsonl", unit).empty());
}

TEST_F(ReportTest, CsvQuotesWhatNeedsItAndDatesAreChecked) {
    EXPECT_EQ(report::CsvLine(nullptr),
              "id,start,end,port,device,software,sha256,bytes,product,speed,verify,flash,ok,"
              "category,code,message,seconds,resends,station,version,unit,flash_id");
    Json r = Records()[5];
    r["id"] = "x";
    r["unit"] = "A \"1\"";
    r["flash_id"] = nullptr;
    EXPECT_EQ(report::CsvLine(&r),
              "x,2026-12-09T09:30:00.000Z,2026-12-09T09:31:00.000Z,1,"
              "/dev/ttyUSB0,other.cla," +
                  std::string(64, 'a') +
                  ",1000,2,115200,false,ST M36DR864CB,false,6,4,\"Phone, "
                  "\"\"quiet\"\"\",5.0,0,line1,0.1.0,\"A \"\"1\"\"\",");
    std::string first, next;
    ASSERT_TRUE(report::DayBounds("2026-12-31", &first, &next));
    EXPECT_EQ(first, "2026-12-31T00:00:00.000Z");
    EXPECT_EQ(next, "2027-01-01T00:00:00.000Z");
    for (const char* bad : {"2026-02-30", "2026-1-01", "2026-12-01x", "today", ""})
        EXPECT_FALSE(report::DayBounds(bad, &first, &next)) << bad;
    // A file that is neither a log nor a database.
    test::WriteFile(dir_.path() / "notes.txt", "phones\n");
    std::string error;
    EXPECT_FALSE(report::OpenSource((dir_.path() / "notes.txt").string(), &error));
    EXPECT_EQ(error, (dir_.path() / "notes.txt").string() + ": not a SQLite database");
}

}  // namespace
}  // namespace vbc
