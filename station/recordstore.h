// The station's database: one row a phone, in a SQLite file (several stations of one PC may
// share it) or in a PostgreSQL server that several PCs share. A row holds every field of the
// phone's log record plus its id (a random UUID), unit and flash_id. vbcflash-report reads it.
//
// SQLite: one transaction a phone, in WAL mode with full synchronisation: on the disk before
// Add returns. PostgreSQL: the row goes first into a local spool (a SQLite file of the same
// table) and a sender thread moves it to the server, so a server that does not answer never
// holds up a port; an id the server already has is not sent twice.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vbc::station {

// The database's layout version. A database of a later one is refused (its rows may mean
// something this program does not know); an earlier one would be upgraded here.
constexpr int kSchemaVersion = 1;

enum class FieldType { kText, kInteger, kReal, kBool };
struct Field {
    const char* name;
    FieldType type;
    bool nullable;
};
// The columns of the phones table, in order: id, the log record's fields as the log orders
// them, then unit and flash_id.
const std::vector<Field>& PhoneFields();

class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Keeps record (an object with every field of PhoneFields) durably: false, with error, when
    // it could not (the station then stops, as for its log).
    virtual bool Add(const nlohmann::ordered_json& record, std::string* error) = 0;
    // Rows not yet in the server (0 for a SQLite file).
    virtual std::size_t Waiting() const { return 0; }
    // Waits up to limitMs for the waiting rows to reach the server; true when none waits.
    virtual bool Flush(int /*limitMs*/) { return true; }
    // Where the rows go, for messages ("station.db", "postgresql://...").
    virtual std::string Where() const = 0;
};

// Why a database could not be opened.
enum class OpenFailure {
    kNone,
    kFile,         // the file cannot be opened or written, is not SQLite, or not this program's
    kSchema,       // it holds a later schema version
    kUnreachable,  // the server does not answer, or refuses the connection
};

// "" or a file name: SQLite; "postgresql://..." or "postgres://..." or a libpq key=value
// string ("host=... dbname=..."): PostgreSQL, with its spool at spoolPath. nullptr, with
// error and failure, when it cannot be used.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target,
                                             const std::string& spoolPath, std::string* error,
                                             OpenFailure* failure);
bool IsServerTarget(const std::string& target);
// The spool of a log: "station.jsonl" -> "station.spool.db" beside it.
std::string SpoolPathFor(const std::string& logPath);
// A version-4 UUID from the system's random source, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string NewUuid();

}  // namespace vbc::station
