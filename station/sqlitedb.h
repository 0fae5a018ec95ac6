// A SQLite file of phones (the station's database, a server's spool): opened in WAL mode with
// full synchronisation, its schema made or checked, one transaction a row.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "station/recordstore.h"

namespace vbc::station {

class SqliteDb {
  public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Makes the file and its table when there is none; refuses a file that is not SQLite, one
    // that holds other tables than this program's, and a later schema. readOnly: for reports
    // (nothing is made).
    bool Open(const std::string& path, std::string* error, OpenFailure* failure,
              bool readOnly = false);
    // One row, in a transaction of its own, on the disk when true. A row whose id is there
    // already is left as it is (true).
    bool Insert(const nlohmann::ordered_json& record, std::string* error);
    // The oldest rows, up to limit, as records.
    bool Oldest(int limit, std::vector<nlohmann::ordered_json>* records, std::string* error);
    bool Remove(const std::vector<std::string>& ids, std::string* error);
    std::size_t Count();
    sqlite3* Handle() const { return db_; }

  private:
    bool Exec(const char* sql, std::string* error);
    std::string Error() const;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

// A row of PhoneFields read from statement columns first.. as a record.
nlohmann::ordered_json RowToRecord(sqlite3_stmt* statement, int first = 0);
// "CREATE TABLE phones (...)" for SQLite ("INTEGER", "REAL", "TEXT") or PostgreSQL.
std::string CreateTableSql(bool postgres);
// "\"id\", \"start\", ..." quoted column names.
std::string ColumnList();

}  // namespace vbc::station
