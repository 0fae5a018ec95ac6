// A build without a PostgreSQL client: a server's connection string is refused in words, before
// any port starts, and the station records into a SQLite file or nowhere.
#include "station/recordstore.h"

namespace vbc::station {

std::unique_ptr<RecordStore> OpenServerStore(const std::string& /*target*/,
                                             const std::string& /*spoolPath*/, std::string* error,
                                             OpenFailure* failure) {
    *error = "this build has no PostgreSQL client: record into a SQLite file (--db FILE) instead";
    *failure = OpenFailure::kUnreachable;
    return nullptr;
}

}  // namespace vbc::station
