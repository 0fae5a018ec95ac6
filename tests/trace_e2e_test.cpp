// The station's database and the phones' identity, end to end: vbcflash-station against vbcsim
// phones, its SQLite database read back beside its log, after a kill, and refused when it is
// not one.
#if defined(VBC_STATION_PATH) && defined(VBC_SIM_PATH)

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <regex>
#include <set>

#include "core/context.h"
#include "core/resultcodes.h"
#include "platform/uniquefd.h"
#include "report/report.h"
#include "station/recordstore.h"
#include "station/sqlitedb.h"
#include "station/station.h"
#include "tests/stationfixture.h"

namespace vbc {
namespace {

// The database's rows by port, as records; every one of PhoneFields.
std::map<int, std::vector<Json>> Rows(const fs::path& db) {
    std::map<int, std::vector<Json>> rows;
    sqlite3* handle = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* select = nullptr;
    const std::string sql = "SELECT " + station::ColumnList() + " FROM phones ORDER BY rowid";
    EXPECT_EQ(sqlite3_prepare_v2(handle, sql.c_str(), -1, &select, nullptr), SQLITE_OK);
    while (sqlite3_step(select) == SQLITE_ROW) {
        const Json r = station::RowToRecord(select);
        rows[r["port"].get<int>()].push_back(r);
    }
    sqlite3_finalize(select);
    sqlite3_close(handle);
    return rows;
}

std::string Query(const fs::path& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    return out;
}

// A row is its log record with an id, a unit and a flash_id.
void ExpectRowIsRecord(const Json& row, const Json& record) {
    Json rest = row;
    EXPECT_TRUE(
        std::regex_match(rest["id"].get<std::string>(),
                         std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-"
                                    "[0-9a-f]{12}")))
        << rest["id"];
    for (const char* added : {"id", "unit", "flash_id"}) rest.erase(added);
    EXPECT_EQ(rest, record);
}

class TraceE2e : public StationE2e {
  protected:
    fs::path Db() const { return dir_.path() / "station.db"; }
    // The station reads its standard input from a FIFO that the test writes (held open for
    // reading and writing, so neither side waits for the other).
    std::vector<std::string> StdinFromFifo() {
        const fs::path fifo = dir_.path() / "scanner";
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        scanner_.Reset(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
        return {"/bin/sh", "-c", "exec < \"$0\" \"$@\"", fifo.string()};
    }
    void Scan(const std::string& lines) {
        ASSERT_EQ(::write(scanner_.Get(), lines.data(), lines.size()),
                  static_cast<ssize_t>(lines.size()));
    }
    platform::UniqueFd scanner_;
};

// Four phones, one failing, two given units by a scanner's lines, and the identity range read
// from each: four rows, each its log record with its unit and flash_id.
TEST_F(TraceE2e, FourPhonesGoIntoTheDatabaseAsIntoTheLog) {
    // Phone 4's flash holds a factory identity at 0xF0000 (erased elsewhere).
    std::string identity(0xF0010, '\xff');
    identity.replace(0xF0000, 8, "\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    test::WriteFile(dir_.path() / "factory.bin", identity);
    auto station =
        Station({"--ports", "1-4", "--read-id", "0xF0000:8"}, "soft.cla", StdinFromFifo());
    Scan("1 IMEI-0001\n2  box 17 / 2 \nwhat\n9 X\n");
    ASSERT_TRUE(WaitFor(*station, " COM2 ", "unit box 17 / 2 for the next phone"));
    for (int n = 1; n <= 4; ++n) {
        std::vector<std::string> options;
        if (n == 3) options = {"--bad-checksum", "0:*"};
        if (n == 4) options = {"--flash-in", (dir_.path() / "factory.bin").string()};
        StartPhone(n, options);
    }
    EXPECT_EQ(station->Wait(), 1);

    const auto records = Log();
    const auto rows = Rows(Db());
    ASSERT_EQ(rows.size(), 4u);
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(rows.at(n).size(), 1u);
        ExpectRowIsRecord(rows.at(n)[0], records.at(n).at(0));
    }
    EXPECT_EQ(rows.at(1)[0]["unit"], "IMEI-0001");
    EXPECT_EQ(rows.at(2)[0]["unit"], "box 17 / 2");
    EXPECT_TRUE(rows.at(3)[0]["unit"].is_null());
    EXPECT_EQ(rows.at(3)[0]["ok"], false);
    EXPECT_EQ(rows.at(4)[0]["flash_id"], "0123456789abcdef");
    EXPECT_EQ(rows.at(1)[0]["flash_id"], "ffffffffffffffff");
    EXPECT_TRUE(FlashHoldsTheImage(4));
    // Durable as the issue asks: WAL, each commit synchronised (a new connection reports the
    // journal mode the file keeps).
    EXPECT_EQ(Query(Db(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Query(Db(), "SELECT version FROM vbcflash_schema"), "1");

    // vbcflash-report says the same of the database and of the log.
    const auto report = [&](const std::vector<std::string>& options) {
        std::vector<std::string> args = {VBC_REPORT_PATH};
        args.insert(args.end(), options.begin(), options.end());
        test::Child child(args);
        const std::string out = child.Rest();
        EXPECT_EQ(child.Wait(), 0) << out;
        return out;
    };
    const std::string summary = report({Db().string()});
    EXPECT_EQ(report({(dir_.path() / "station.jsonl").string()}), summary);
    const std::string host = records.at(1).at(0)["station"];
    for (const std::string& row : std::vector<std::string>{
             "soft.cla\t" + host + "\tCOM3\t1\t0\t1\t0\t0.0 %\t",
             "soft.cla\t" + host + "\tCOM4\t1\t1\t0\t0\t100.0 %\t",
             "total\t\t\t4\t3\t1\t0\t75.0 %\t",
             "\n" + std::to_string(ResultChecksum) + "\t204\t1\tProblem : Bad checksum\n"})
        EXPECT_NE(summary.find(row), std::string::npos) << row << "\n" << summary;
    const std::string history = report({Db().string(), "--unit", "IMEI-0001"});
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 4) << history;
    EXPECT_NE(history.find("\tCOM1\tsoft.cla\t"), std::string::npos) << history;
    const std::string csv = report({Db().string(), "--csv"});
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5) << csv;
}

// Killed outright in the middle of a phone's commit (strace stops it at a write of the
// database's journal), the station leaves a database that passes SQLite's integrity check and
// holds every phone of the log (the database is written first).
TEST_F(TraceE2e, AKilledStationLeavesAWholeDatabaseHoldingEveryLoggedPhone) {
    ASSERT_TRUE(fs::exists("/usr/bin/strace")) << "scripts/deps.sh installs strace";
    for (int n = 1; n <= 3; ++n)
        StartPhone(n, n == 3 ? std::vector<std::string>{"--pace"} : std::vector<std::string>{});
    // The journal's writes: its header (1), the table's making (12), 8 a phone: the 25th is
    // in the middle of the second phone's commit.
    const fs::path wal = dir_.path() / "station.db-wal";
    auto station = Station({"--ports", "1-3"}, "soft.cla",
                           {"/usr/bin/strace", "-o", "/dev/null", "-P", wal.string(), "-e",
                            "trace=pwrite64", "-e", "inject=pwrite64:signal=SIGKILL:when=25"});
    EXPECT_EQ(station->Wait(), std::nullopt);
    EXPECT_EQ(station->EndSignal(), SIGKILL);
    EXPECT_EQ(Query(Db(), "PRAGMA integrity_check"), "ok");
    const auto records = Log();
    const auto rows = Rows(Db());
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(rows.size(), 1u);
    const int port = records.begin()->first;
    ExpectRowIsRecord(rows.at(port).at(0), records.at(port).at(0));
}

// A database the station cannot use stops it before any phone, with what is wrong, and is left
// as it was; a --read-id range beyond the flash fails each phone before anything is written.
TEST_F(TraceE2e, ADatabaseItCannotUseAndARangeOutsideTheFlashAreRefused) {
    sqlite3* later = nullptr;
    ASSERT_EQ(sqlite3_open((dir_.path() / "later.db").c_str(), &later), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(later,
                           "CREATE TABLE vbcflash_schema (version INTEGER); INSERT INTO "
                           "vbcflash_schema VALUES (2); CREATE TABLE phones (id TEXT)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(later);
    test::WriteFile(dir_.path() / "notes.db", "phones of Tuesday\n");
    fs::create_directory(dir_.path() / "folder.db");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_.path() / "other.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE stock (item TEXT)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    const struct {
        const char* db;
        const char* why;
    } cases[] = {
        {"notes.db", "not a SQLite database"},
        {"later.db",
         "written by a later version of vbcflash (database schema 2; this one knows schema 1 "
         "and earlier): left untouched"},
        {"folder.db", "not a regular file: the database must be a file on a disk"},
        {"other.db", "not a station database: it holds other tables, and no vbcflash schema"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.db);
        const fs::path db = dir_.path() / c.db;
        const std::string before = fs::is_regular_file(db) ? test::ReadFile(db) : "";
        auto station = Station({"--ports", "1", "--db", c.db});
        EXPECT_EQ(station->Rest(), std::string("vbcflash-station: cannot use the database ") +
                                       c.db + ": " + c.why + "\n");
        EXPECT_EQ(station->Wait(), 74);
        if (fs::is_regular_file(db)) {
            EXPECT_EQ(test::ReadFile(db), before);
        }
        EXPECT_FALSE(fs::exists(dir_.path() / (std::string(c.db) + "-wal")));
    }

    test::WriteFile(dir_.path() / "factory.bin", std::string(4096, '\x42'));
    StartPhone(1, {"--flash-in", (dir_.path() / "factory.bin").string()});
    auto station = Station({"--ports", "1", "--read-id", "0x7FFFFF:2"});
    EXPECT_EQ(station->Wait(), 1);
    const auto rows = Rows(Db());
    ASSERT_EQ(rows.at(1).size(), 1u);
    EXPECT_EQ(rows.at(1)[0]["category"], ResultFlashFile);
    EXPECT_EQ(rows.at(1)[0]["code"], FlashFileCode::kRangeOutsideFlash);
    EXPECT_EQ(rows.at(1)[0]["message"],
              "FLASH DESCRIPTION : The range to read is outside the flash");
    EXPECT_TRUE(rows.at(1)[0]["flash_id"].is_null());
    sims_[1]->Wait();
    EXPECT_EQ(test::ReadFile(Flash(1)).substr(0, 4096), std::string(4096, '\x42'));
}

// vbcflash-cli alone: the identity read before writing, as an event and in the result with the
// unit; the range read costs its own bytes (one read pass of LENGTH).
TEST_F(TraceE2e, TheWorkerReportsTheIdentityAndTheUnit) {
    std::string factory(0x20000, '\xff');
    factory.replace(0x10000, 4, "\xde\xad\xbe\xef", 4);
    test::WriteFile(dir_.path() / "factory.bin", factory);
    StartPhone(1, {"--flash-in", (dir_.path() / "factory.bin").string()});
    test::Child cli({VBC_CLI_PATH, "-C", dir_.path().string(), "--json", "--port", "1", "--unit",
                     "SN-9", "--read-id", "65536:4", "soft.cla"});
    std::vector<Json> events;
    for (auto line = cli.Line(); line; line = cli.Line()) events.push_back(Json::parse(*line));
    EXPECT_EQ(cli.Wait(), 0);
    std::vector<std::string> order;
    for (const Json& e : events) {
        const std::string name = e["event"];
        if (name == "progress" && e["pass"] == "read") {
            EXPECT_EQ(e["total"], 4);
            if (order.back() != "read") order.push_back("read");
        } else if (name != "line" && name != "progress" && name != "message") {
            order.push_back(name);
        }
        if (name == "flash_id") {
            EXPECT_EQ(e, Json::parse(R"({"event":"flash_id","hex":"deadbeef"})"));
        }
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{"start", "phone", "flash", "read", "flash_id", "result"}));
    EXPECT_EQ(events.back()["unit"], "SN-9");
    EXPECT_EQ(events.back()["flash_id"], "deadbeef");
    EXPECT_TRUE(FlashHoldsTheImage(1));

    // With --dump it means nothing: refused before any phone.
    test::Child dump(
        {VBC_CLI_PATH, "-C", dir_.path().string(), "--dump", "x.bin", "--read-id", "0:4"});
    EXPECT_EQ(dump.Wait(), 64);
}

// A PostgreSQL server of its own in a scratch directory, on a Unix socket only, with a user
// "vbc" whose password is "secret" and a database "vbcflash". Run as nobody when the test runs
// as root (the server refuses root).
class PgServer {
  public:
    PgServer() {
        for (const auto& version : fs::directory_iterator("/usr/lib/postgresql"))
            if (fs::exists(version.path() / "bin" / "initdb")) bin_ = version.path() / "bin";
        char pattern[] = "/tmp/vbc-pg-XXXXXX";
        if (bin_.empty() || !::mkdtemp(pattern)) return;
        dir_ = pattern;
        test::WriteFile(dir_ / "pw", "secret\n");
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody) return;
            for (const fs::path& p : {dir_, dir_ / "pw"})
                if (::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) return;
            as_ = {"/usr/bin/setpriv", "--reuid=nobody",
                   "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", "--"};
        }
        ready_ = Run({"initdb", "-D", (dir_ / "data").string(), "-U", "vbc",
                      "--pwfile=" + (dir_ / "pw").string(), "--auth=scram-sha-256", "-E", "UTF8",
                      "--no-instructions"}) &&
                 Start() && Exec(Url("postgres"), "CREATE DATABASE vbcflash").empty();
    }
    ~PgServer() {
        if (ready_) Stop();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    bool Ready() const { return ready_; }
    bool Start() {
        return Run({"pg_ctl", "-D", (dir_ / "data").string(), "-o",
                    "-k " + dir_.string() + " -c listen_addresses=''", "-l",
                    (dir_ / "server.log").string(), "-w", "start"});
    }
    bool Stop() {
        return Run({"pg_ctl", "-D", (dir_ / "data").string(), "-m", "fast", "-w", "stop"});
    }
    std::string Url(const std::string& db = "vbcflash", const std::string& password = "secret") {
        return "postgresql://vbc:" + password + "@/" + db + "?host=" + dir_.string();
    }
    // "" when sql ran, else the server's error; rows (when given) receives the first column.
    static std::string Exec(const std::string& url, const std::string& sql,
                            std::vector<std::string>* rows = nullptr) {
        PGconn* conn = PQconnectdb(url.c_str());
        PGresult* r = PQexec(conn, sql.c_str());
        const auto status = PQresultStatus(r);
        std::string error;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) error = PQerrorMessage(conn);
        for (int i = 0; rows && error.empty() && i < PQntuples(r); ++i)
            rows->push_back(PQgetvalue(r, i, 0));
        PQclear(r);
        PQfinish(conn);
        return error;
    }

  private:
    bool Run(std::vector<std::string> args) {
        args[0] = (bin_ / args[0]).string();
        args.insert(args.begin(), as_.begin(), as_.end());
        test::Child child(args, (dir_ / "run.out").string(), "", dir_.string());
        const bool ok = child.Wait() == 0;
        EXPECT_TRUE(ok) << args[as_.size()] << ": " << test::ReadFile(dir_ / "run.out");
        return ok;
    }
    fs::path bin_;
    fs::path dir_;
    std::vector<std::string> as_;
    bool ready_ = false;
};

// Reads a station's lines until each text has been in one (in any order); says what it read
// when one never came.
bool WaitForAll(test::Child& station, std::multiset<std::string> texts) {
    std::string seen;
    while (!texts.empty()) {
        const auto line = station.Line();
        if (!line) break;
        seen += *line + "\n";
        for (auto it = texts.begin(); it != texts.end(); ++it) {
            if (line->find(*it) == std::string::npos) continue;
            texts.erase(it);
            break;
        }
    }
    if (!texts.empty())
        ADD_FAILURE() << "still waiting for \"" << *texts.begin() << "\" after:\n" << seen;
    return texts.empty();
}

// Two stations write into one server's database; the server stops while their phones are
// being written and starts again: every phone reaches it exactly once through the spools,
// which end empty. A server the station cannot use stops it before any phone.
TEST_F(TraceE2e, TwoStationsShareAServerThatGoesAwayAndComesBack) {
    PgServer pg;
    ASSERT_TRUE(pg.Ready()) << "scripts/deps.sh installs postgresql";
    for (int n = 1; n <= 4; ++n) StartPhone(n, {"--pace"});
    std::map<std::string, std::unique_ptr<test::Child>> stations;
    for (const auto& [log, ports] : {std::pair{"a", "1-2"}, std::pair{"b", "3-4"}})
        stations[log] = std::make_unique<test::Child>(std::vector<std::string>{
            VBC_STATION_PATH, "-C", dir_.path().string(), "--ports", ports, "--log",
            std::string(log) + ".jsonl", "--db", pg.Url(), "soft.cla"});
    for (auto& [log, station] : stations)
        ASSERT_TRUE(WaitForAll(*station, {" writing", " writing"}));
    ASSERT_TRUE(pg.Stop());
    for (auto& [log, station] : stations)
        ASSERT_TRUE(
            WaitForAll(*station, {" passed: ", " passed: ", "database: 2 records waiting"}));
    ASSERT_TRUE(pg.Start());
    for (auto& [log, station] : stations) {
        ASSERT_TRUE(WaitForAll(*station, {"database: every record sent"}));
        station->Signal(SIGINT);
        EXPECT_EQ(station->Wait(), 130);
    }

    std::vector<std::string> ids;
    ASSERT_EQ(PgServer::Exec(pg.Url(), "SELECT id FROM phones", &ids), "");
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 4u);
    // The server's rows as vbcflash-report reads them: each its log record.
    std::string error;
    auto source = report::OpenSource(pg.Url(), &error);
    ASSERT_TRUE(source) << error;
    std::map<int, Json> rows;
    ASSERT_TRUE(source->Records(
        {}, [&](const Json& r) { rows[r["port"].get<int>()] = r; }, &error));
    for (const char* log : {"a", "b"}) {
        std::istringstream in(test::ReadFile(dir_.path() / (std::string(log) + ".jsonl")));
        for (std::string line; std::getline(in, line);) {
            const Json record = Json::parse(line);
            ExpectRowIsRecord(rows.at(record["port"].get<int>()), record);
        }
        EXPECT_EQ(
            Query(dir_.path() / (std::string(log) + ".spool.db"), "SELECT count(*) FROM phones"),
            "0");
    }

    // A database of a later schema, a wrong password, no server: refused before any phone,
    // no spool made.
    ASSERT_EQ(PgServer::Exec(pg.Url("postgres"), "CREATE DATABASE later"), "");
    ASSERT_EQ(PgServer::Exec(pg.Url("later"),
                             "CREATE TABLE vbcflash_schema (version INTEGER); INSERT INTO "
                             "vbcflash_schema VALUES (2)"),
              "");
    const struct {
        std::string url;
        int status;
        std::string why;
    } refused[] = {
        {pg.Url("later"), 74,
         "written by a later version of vbcflash (database schema 2; this one knows schema 1 "
         "and earlier): left untouched\n"},
        {pg.Url("vbcflash", "wrong"), 69, "password authentication failed for user \"vbc\"\n"},
        {"postgresql://vbc@/vbcflash?host=" + (dir_.path() / "nowhere").string(), 69,
         "No such file or directory\n\tIs the server running locally and accepting connections "
         "on that socket?\n"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.url);
        auto station = Station({"--ports", "1", "--log", "c.jsonl", "--db", c.url});
        const std::string out = station->Rest();
        EXPECT_EQ(out.rfind("vbcflash-station: cannot use the database server: ", 0), 0u) << out;
        EXPECT_TRUE(out.size() > c.why.size() && out.ends_with(c.why)) << out;
        EXPECT_EQ(station->Wait(), c.status);
        EXPECT_FALSE(fs::exists(dir_.path() / "c.spool.db"));
    }
}

TEST(TraceCases, ScannerLines) {
    const struct {
        const char* line;
        int port;  // 0: refused
        const char* unit;
    } cases[] = {
        {"3 ABC123", 3, "ABC123"},
        {"  12\tSN 7 \r", 12, "SN 7"},
        {"255 x", 255, "x"},
        {"3", 0, ""},
        {"3   ", 0, ""},
        {"0 A", 0, ""},
        {"256 A", 0, ""},
        {"3A B", 0, ""},
        {"A 3", 0, ""},
        {"-3 A", 0, ""},
    };
    for (const auto& c : cases) {
        int port = 0;
        std::string unit;
        EXPECT_EQ(station::ParseUnitLine(c.line, &port, &unit), c.port != 0) << c.line;
        EXPECT_EQ(port, c.port) << c.line;
        EXPECT_EQ(unit, c.unit) << c.line;
    }
}

}  // namespace
}  // namespace vbc

#endif
