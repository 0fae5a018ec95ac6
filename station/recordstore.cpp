#include "station/recordstore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/digest.h"
#include "station/sqlitedb.h"

namespace vbc::station {

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

const std::vector<Field>& PhoneFields() {
    using T = FieldType;
    static const std::vector<Field> fields = {
        {"id", T::kText, false},         {"start", T::kText, false},
        {"end", T::kText, false},        {"port", T::kInteger, false},
        {"device", T::kText, false},     {"software", T::kText, false},
        {"sha256", T::kText, false},     {"bytes", T::kInteger, false},
        {"product", T::kInteger, false}, {"speed", T::kInteger, false},
        {"verify", T::kBool, false},     {"flash", T::kText, false},
        {"ok", T::kBool, false},         {"category", T::kInteger, false},
        {"code", T::kInteger, false},    {"message", T::kText, false},
        {"seconds", T::kReal, false},    {"resends", T::kInteger, true},
        {"station", T::kText, false},    {"version", T::kText, false},
        {"unit", T::kText, true},        {"flash_id", T::kText, true},
    };
    return fields;
}

std::string NewUuid() {
    // Version 4 (random), variant 1, from the system's random source.
    std::uint8_t b[16] = {};
    if (!platform::RandomBytes(b, sizeof b)) return "";
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

bool IsServerTarget(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0 ||
           target.find('=') != std::string::npos;
}

std::string SpoolPathFor(const std::string& logPath) {
    std::filesystem::path p(logPath);
    return (p.parent_path() / (p.stem().string() + ".spool.db")).string();
}

namespace {

// A SQLite file of phones: the station's database, or a server's spool.
class SqliteStore : public RecordStore {
  public:
    explicit SqliteStore(std::string path) : path_(std::move(path)) {}
    bool Open(std::string* error, OpenFailure* failure) { return db_.Open(path_, error, failure); }
    bool Add(const Json& record, std::string* error) override {
        if (db_.Insert(record, error)) return true;
        *error = path_ + ": " + *error;
        return false;
    }
    std::string Where() const override { return path_; }

  private:
    std::string path_;
    SqliteDb db_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenServerStore(const std::string& target,
                                             const std::string& spoolPath, std::string* error,
                                             OpenFailure* failure);

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target,
                                             const std::string& spoolPath, std::string* error,
                                             OpenFailure* failure) {
    *failure = OpenFailure::kNone;
    if (IsServerTarget(target)) return OpenServerStore(target, spoolPath, error, failure);
    auto store = std::make_unique<SqliteStore>(target.empty() ? "station.db" : target);
    if (!store->Open(error, failure)) return nullptr;
    return store;
}

}  // namespace vbc::station
