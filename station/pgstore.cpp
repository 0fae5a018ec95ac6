// The PostgreSQL side of the station's database: rows go into a local spool first, on the disk
// before the port takes its next phone, and a sender thread moves them to the server; a server
// that does not answer only makes them wait there. An id the server has already is skipped, so
// a batch sent again after a lost answer is still there once.
#include <libpq-fe.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "station/recordstore.h"
#include "station/sqlitedb.h"

namespace vbc::station {

namespace {

using Json = nlohmann::ordered_json;

// A server that does not answer is tried again after this.
constexpr auto kRetry = std::chrono::seconds(1);
// Rows a transaction on the server.
constexpr int kBatch = 200;

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// A connection of target, with a time limit of its own unless target sets one.
PGconn* Connect(const std::string& target) {
    const char* keys[] = {"connect_timeout", "dbname", "application_name", nullptr};
    const char* values[] = {"5", target.c_str(), "vbcflash-station", nullptr};
    return PQconnectdbParams(keys, values, 1);
}

bool Run(PGconn* conn, const std::string& sql, std::string* error) {
    PGresult* r = PQexec(conn, sql.c_str());
    const auto status = PQresultStatus(r);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) *error = Trim(PQerrorMessage(conn));
    PQclear(r);
    return ok;
}

// Makes the schema when the database has none; refuses a later one.
bool CheckSchema(PGconn* conn, std::string* error, OpenFailure* failure) {
    *failure = OpenFailure::kUnreachable;
    // Two stations starting at once: one makes the tables, the other waits and finds them.
    if (!Run(conn, "BEGIN", error) || !Run(conn, "SELECT pg_advisory_xact_lock(4410)", error))
        return false;
    PGresult* r = PQexec(conn, "SELECT to_regclass('vbcflash_schema') IS NOT NULL");
    const bool have = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 &&
                      std::strcmp(PQgetvalue(r, 0, 0), "t") == 0;
    if (PQresultStatus(r) != PGRES_TUPLES_OK) *error = Trim(PQerrorMessage(conn));
    PQclear(r);
    if (!error->empty()) return false;
    if (!have &&
        (!Run(conn, CreateTableSql(true), error) ||
         !Run(conn, "CREATE INDEX phones_start ON phones (\"start\")", error) ||
         !Run(conn, "CREATE INDEX phones_unit ON phones (\"unit\")", error) ||
         !Run(conn, "CREATE TABLE vbcflash_schema (version INTEGER NOT NULL)", error) ||
         !Run(conn, "INSERT INTO vbcflash_schema VALUES (" + std::to_string(kSchemaVersion) + ")",
              error)))
        return false;
    r = PQexec(conn, "SELECT max(version) FROM vbcflash_schema");
    const int version = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1
                            ? std::atoi(PQgetvalue(r, 0, 0))
                            : -1;
    if (version < 0) *error = Trim(PQerrorMessage(conn));
    PQclear(r);
    if (version < 0 || !Run(conn, "COMMIT", error)) return false;
    if (version > kSchemaVersion) {
        *failure = OpenFailure::kSchema;
        *error = "written by a later version of vbcflash (database schema " +
                 std::to_string(version) + "; this one knows schema " +
                 std::to_string(kSchemaVersion) + " and earlier): left untouched";
        return false;
    }
    *failure = OpenFailure::kNone;
    return true;
}

std::string InsertSql() {
    std::string sql = "INSERT INTO phones (" + ColumnList() + ") VALUES (";
    for (std::size_t i = 0; i < PhoneFields().size(); ++i)
        sql += (i ? ", $" : "$") + std::to_string(i + 1);
    return sql + ") ON CONFLICT (\"id\") DO NOTHING";
}

// Sends records in one transaction: every one is on the server when true.
bool Send(PGconn* conn, const std::vector<Json>& records, std::string* error) {
    if (!Run(conn, "BEGIN", error)) return false;
    const std::string sql = InsertSql();
    for (const Json& record : records) {
        std::vector<std::string> texts;
        std::vector<const char*> values;
        texts.reserve(PhoneFields().size());
        for (const Field& f : PhoneFields()) {
            const Json& v = record.contains(f.name) ? record[f.name] : Json();
            if (v.is_null()) {
                texts.emplace_back();
                continue;
            }
            texts.push_back(v.is_string()    ? v.get<std::string>()
                            : v.is_boolean() ? (v.get<bool>() ? "true" : "false")
                                             : v.dump());
        }
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const Json& v =
                record.contains(PhoneFields()[i].name) ? record[PhoneFields()[i].name] : Json();
            values.push_back(v.is_null() ? nullptr : texts[i].c_str());
        }
        PGresult* r = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) *error = Trim(PQerrorMessage(conn));
        PQclear(r);
        if (!ok) {
            std::string ignored;
            Run(conn, "ROLLBACK", &ignored);
            return false;
        }
    }
    return Run(conn, "COMMIT", error);
}

class ServerStore : public RecordStore {
  public:
    ServerStore(std::string target, std::string spoolPath)
        : target_(std::move(target)), spoolPath_(std::move(spoolPath)) {}
    ~ServerStore() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (sender_.joinable()) sender_.join();
    }

    bool Open(std::string* error, OpenFailure* failure) {
        PGconn* conn = Connect(target_);
        if (PQstatus(conn) != CONNECTION_OK) {
            *failure = OpenFailure::kUnreachable;
            *error = Trim(PQerrorMessage(conn));
            PQfinish(conn);
            return false;
        }
        const bool ok = CheckSchema(conn, error, failure);
        PQfinish(conn);
        if (!ok) return false;
        if (!spool_.Open(spoolPath_, error, failure)) {
            *error = "the spool " + spoolPath_ + ": " + *error;
            return false;
        }
        waiting_ = spool_.Count();
        sender_ = std::thread([this] { SendLoop(); });
        return true;
    }

    bool Add(const Json& record, std::string* error) override {
        {
            // The count and the spool change together (the sender recounts under the lock).
            std::lock_guard lock(mutex_);
            if (!spool_.Insert(record, error)) {
                *error = "the spool " + spoolPath_ + ": " + *error;
                return false;
            }
            ++waiting_;
        }
        wake_.notify_all();
        return true;
    }
    std::size_t Waiting() const override { return waiting_; }
    bool Flush(int limitMs) override {
        wake_.notify_all();
        std::unique_lock lock(mutex_);
        return sent_.wait_for(lock, std::chrono::milliseconds(limitMs),
                              [&] { return waiting_ == 0; });
    }
    std::string Where() const override { return target_; }

  private:
    // Moves the spool's rows to the server, oldest first, until the station ends; once stopping,
    // makes one more attempt and leaves what it could not send for the next start.
    void SendLoop() {
        SqliteDb spool;
        std::string error;
        OpenFailure failure = OpenFailure::kNone;
        if (!spool.Open(spoolPath_, &error, &failure)) return;
        PGconn* conn = nullptr;
        for (;;) {
            bool stopping = false;
            {
                std::unique_lock lock(mutex_);
                stopping = stopping_;
            }
            std::vector<Json> records;
            bool sent = false;
            if (spool.Oldest(kBatch, &records, &error) && !records.empty()) {
                if (!conn || PQstatus(conn) != CONNECTION_OK) {
                    PQfinish(conn);
                    conn = Connect(target_);
                }
                if (PQstatus(conn) == CONNECTION_OK && Send(conn, records, &error)) {
                    std::vector<std::string> ids;
                    for (const Json& r : records) ids.push_back(r.value("id", ""));
                    // Removed only now: a row sent twice (a kill in between) is skipped there.
                    std::lock_guard lock(mutex_);
                    sent = spool.Remove(ids, &error);
                    waiting_ = spool.Count();
                    sent_.notify_all();
                } else {
                    PQfinish(conn);
                    conn = nullptr;
                }
            }
            if (sent) continue;
            if (stopping) break;
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, records.empty() ? std::chrono::seconds(60) : kRetry,
                           [&] { return stopping_ || (records.empty() && waiting_ > 0); });
        }
        PQfinish(conn);
    }

    std::string target_;
    std::string spoolPath_;
    SqliteDb spool_;
    std::atomic<std::size_t> waiting_{0};
    std::thread sender_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable sent_;  // the spool shrank
    bool stopping_ = false;
};

}  // namespace

std::unique_ptr<RecordStore> OpenServerStore(const std::string& target,
                                             const std::string& spoolPath, std::string* error,
                                             OpenFailure* failure) {
    auto store = std::make_unique<ServerStore>(target, spoolPath);
    if (!store->Open(error, failure)) return nullptr;
    return store;
}

}  // namespace vbc::station
