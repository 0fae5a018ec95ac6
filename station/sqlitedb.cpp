#include "station/sqlitedb.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>

namespace vbc::station {

namespace {

using Json = nlohmann::ordered_json;

const char* SqlType(FieldType type, bool postgres) {
    switch (type) {
        case FieldType::kText:
            return "TEXT";
        case FieldType::kInteger:
            return postgres ? "BIGINT" : "INTEGER";
        case FieldType::kReal:
            return postgres ? "DOUBLE PRECISION" : "REAL";
        case FieldType::kBool:
            return postgres ? "BOOLEAN" : "INTEGER";
    }
    return "TEXT";
}

}  // namespace

std::string ColumnList() {
    std::string list;
    for (const Field& f : PhoneFields()) {
        if (!list.empty()) list += ", ";
        list += std::string("\"") + f.name + "\"";
    }
    return list;
}

std::string CreateTableSql(bool postgres) {
    std::string sql = "CREATE TABLE phones (";
    bool first = true;
    for (const Field& f : PhoneFields()) {
        if (!first) sql += ", ";
        first = false;
        sql += std::string("\"") + f.name + "\" " + SqlType(f.type, postgres);
        if (std::strcmp(f.name, "id") == 0) sql += " PRIMARY KEY";
        if (!f.nullable) sql += " NOT NULL";
    }
    return sql + ")";
}

Json RowToRecord(sqlite3_stmt* statement, int first) {
    Json r = Json::object();
    int column = first;
    for (const Field& f : PhoneFields()) {
        const int c = column++;
        if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
            r[f.name] = nullptr;
            continue;
        }
        switch (f.type) {
            case FieldType::kText:
                r[f.name] =
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                                static_cast<std::size_t>(sqlite3_column_bytes(statement, c)));
                break;
            case FieldType::kInteger:
                r[f.name] = sqlite3_column_int64(statement, c);
                break;
            case FieldType::kReal:
                r[f.name] = sqlite3_column_double(statement, c);
                break;
            case FieldType::kBool:
                r[f.name] = sqlite3_column_int(statement, c) != 0;
                break;
        }
    }
    return r;
}

SqliteDb::~SqliteDb() {
    sqlite3_finalize(insert_);
    if (db_) sqlite3_close_v2(db_);
}

std::string SqliteDb::Error() const {
    return db_ ? sqlite3_errmsg(db_) : "out of memory";
}

bool SqliteDb::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = message ? message : Error();
    sqlite3_free(message);
    return false;
}

bool SqliteDb::Open(const std::string& path, std::string* error, OpenFailure* failure,
                    bool readOnly) {
    *failure = OpenFailure::kFile;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = "not a regular file: the database must be a file on a disk";
        return false;
    }
    if (readOnly && ::stat(path.c_str(), &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        *error = Error();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    // Stations of one PC may share the file: a writer waits for another's transaction.
    sqlite3_busy_timeout(db_, 10'000);
    // The first read of the file finds out whether it is a database at all.
    sqlite3_stmt* schema = nullptr;
    int rc =
        sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
                           -1, &schema, nullptr);
    bool ours = false;
    bool others = false;
    if (rc == SQLITE_OK) rc = SQLITE_ROW;
    while (rc == SQLITE_ROW && (rc = sqlite3_step(schema)) == SQLITE_ROW) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(schema, 0));
        if (name == "vbcflash_schema")
            ours = true;
        else if (name != "phones")
            others = true;
    }
    sqlite3_finalize(schema);
    if (rc != SQLITE_DONE) {
        *error = (rc & 0xff) == SQLITE_NOTADB ? "not a SQLite database" : Error();
        return false;
    }
    if (!ours && (others || readOnly)) {
        *error = readOnly ? "not a station database (it holds no phones table of vbcflash)"
                          : "not a station database: it holds other tables, and no vbcflash schema";
        return false;
    }
    // A later schema is refused before anything of the file changes (its journal mode too).
    const auto later = [&] {
        sqlite3_stmt* version = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT max(version) FROM vbcflash_schema", -1, &version,
                               nullptr) != SQLITE_OK ||
            sqlite3_step(version) != SQLITE_ROW) {
            *error = Error();
            sqlite3_finalize(version);
            return true;
        }
        const int found = sqlite3_column_int(version, 0);
        sqlite3_finalize(version);
        if (found > kSchemaVersion) {
            *failure = OpenFailure::kSchema;
            *error = "written by a later version of vbcflash (database schema " +
                     std::to_string(found) + "; this one knows schema " +
                     std::to_string(kSchemaVersion) + " and earlier): left untouched";
            return true;
        }
        return false;
    };
    if (ours && later()) return false;
    if (!readOnly) {
        // WAL: a reader (a report) never blocks the station; FULL: a commit is on the disk.
        if (!Exec("PRAGMA journal_mode = WAL", error) || !Exec("PRAGMA synchronous = FULL", error))
            return false;
    }
    if (!ours) {
        const std::string create = "BEGIN IMMEDIATE; " + CreateTableSql(false) +
                                   "; CREATE INDEX phones_start ON phones (\"start\");"
                                   " CREATE INDEX phones_unit ON phones (\"unit\");"
                                   " CREATE TABLE vbcflash_schema (version INTEGER NOT NULL);"
                                   " INSERT INTO vbcflash_schema VALUES (" +
                                   std::to_string(kSchemaVersion) + "); COMMIT";
        if (!Exec(create.c_str(), error)) {
            std::string ignored;
            Exec("ROLLBACK", &ignored);
            // Another station made it at the same time: take it as it is.
            if (!Exec("SELECT version FROM vbcflash_schema", &ignored) || later()) return false;
        }
    }
    if (!readOnly) {
        std::string sql = "INSERT INTO phones (" + ColumnList() + ") VALUES (";
        for (std::size_t i = 0; i < PhoneFields().size(); ++i) sql += i ? ", ?" : "?";
        sql += ") ON CONFLICT (\"id\") DO NOTHING";
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &insert_, nullptr) != SQLITE_OK) {
            *error = Error();
            return false;
        }
    }
    *failure = OpenFailure::kNone;
    return true;
}

bool SqliteDb::Insert(const Json& record, std::string* error) {
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    int i = 1;
    for (const Field& f : PhoneFields()) {
        const int at = i++;
        const auto it = record.find(f.name);
        if (it == record.end() || it->is_null()) {
            sqlite3_bind_null(insert_, at);
        } else if (f.type == FieldType::kText) {
            const std::string text = it->is_string()
                                         ? it->get<std::string>()
                                         : it->dump(-1, ' ', false, Json::error_handler_t::replace);
            sqlite3_bind_text(insert_, at, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        } else if (f.type == FieldType::kReal) {
            sqlite3_bind_double(insert_, at, it->get<double>());
        } else if (f.type == FieldType::kBool) {
            sqlite3_bind_int(insert_, at, it->get<bool>() ? 1 : 0);
        } else {
            sqlite3_bind_int64(insert_, at, it->get<std::int64_t>());
        }
    }
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    if (sqlite3_step(insert_) != SQLITE_DONE) {
        *error = Error();
        sqlite3_reset(insert_);
        std::string ignored;
        Exec("ROLLBACK", &ignored);
        return false;
    }
    sqlite3_reset(insert_);
    if (!Exec("COMMIT", error)) {
        std::string ignored;
        Exec("ROLLBACK", &ignored);
        return false;
    }
    return true;
}

bool SqliteDb::Oldest(int limit, std::vector<Json>* records, std::string* error) {
    records->clear();
    const std::string sql =
        "SELECT " + ColumnList() + " FROM phones ORDER BY rowid LIMIT " + std::to_string(limit);
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &select, nullptr) != SQLITE_OK) {
        *error = Error();
        return false;
    }
    int rc = 0;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) records->push_back(RowToRecord(select));
    sqlite3_finalize(select);
    if (rc != SQLITE_DONE) *error = Error();
    return rc == SQLITE_DONE;
}

bool SqliteDb::Remove(const std::vector<std::string>& ids, std::string* error) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    sqlite3_stmt* remove = nullptr;
    bool ok = sqlite3_prepare_v2(db_, "DELETE FROM phones WHERE \"id\" = ?", -1, &remove,
                                 nullptr) == SQLITE_OK;
    for (std::size_t i = 0; ok && i < ids.size(); ++i) {
        sqlite3_bind_text(remove, 1, ids[i].c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(remove) == SQLITE_DONE;
        sqlite3_reset(remove);
    }
    sqlite3_finalize(remove);
    if (!ok) *error = Error();
    if (ok && Exec("COMMIT", error)) return true;
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    return false;
}

std::size_t SqliteDb::Count() {
    sqlite3_stmt* count = nullptr;
    std::size_t n = 0;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM phones", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
        n = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    return n;
}

}  // namespace vbc::station
