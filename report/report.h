// vbcflash-report's core: the station's records read back, from its SQLite database, a
// PostgreSQL database or its JSONL log, filtered and summed up per software, station and port.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

namespace vbc::report {

using Json = nlohmann::ordered_json;

struct Filter {
    std::string from;   // start >= from (ISO UTC text), "" for no bound
    std::string until;  // start < until, "" for no bound
    std::optional<std::string> unit;
    std::optional<std::string> software;
    std::optional<std::string> station;
};

// "2026-12-09": the first instant of that day and of the next, as records write them; false for
// anything but a valid date.
bool DayBounds(const std::string& date, std::string* first, std::string* next);
// Today's date (UTC), "2026-12-09".
std::string Today();

// What a summary needs of a record.
struct Phone {
    std::string software;
    std::string station;
    int port = 0;
    bool ok = false;
    int category = 0;
    int code = 0;
    std::string message;
    double seconds = 0;
    std::string start;
    std::string end;
};

struct Group {
    int phones = 0;
    int passed = 0;
    int failed = 0;
    int stopped = 0;
    double seconds = 0;  // summed
    std::string first;   // earliest start
    std::string last;    // latest end
};

struct Failure {
    int category = 0;
    int code = 0;
    std::string message;
    int count = 0;
};

class Summary {
  public:
    void Add(const Phone& phone);
    // Per software, station and port, in that order.
    const std::map<std::tuple<std::string, std::string, int>, Group>& Groups() const {
        return groups_;
    }
    Group Total() const;
    // Most frequent first.
    std::vector<Failure> Failures() const;

  private:
    std::map<std::tuple<std::string, std::string, int>, Group> groups_;
    std::map<std::tuple<int, int, std::string>, int> failures_;
};

// A source of records: a SQLite file, a PostgreSQL connection string, or a JSONL log.
class Source {
  public:
    virtual ~Source() = default;
    // Every record that passes filter, oldest first, as an object of the database's fields
    // (a log's records have null id, unit and flash_id). false, with error, when reading failed.
    virtual bool Records(const Filter& filter, const std::function<void(const Json&)>& take,
                         std::string* error) = 0;
    // The summary's fields only (faster where the source can select them).
    virtual bool Phones(const Filter& filter, const std::function<void(const Phone&)>& take,
                        std::string* error);
};

// nullptr, with error, when target cannot be opened: a file whose first byte is '{' (or that is
// empty and named *.jsonl) is a log; "postgresql://..." or key=value text a server; any other
// file a SQLite database.
std::unique_ptr<Source> OpenSource(const std::string& target, std::string* error);

Phone PhoneOf(const Json& record);
// "passed", "failed" or "stopped".
const char* Outcome(bool ok, int category);

// The texts: a table aligned for a terminal, or tab-separated lines.
std::string SummaryText(const Summary& summary, const std::string& period, bool terminal);
std::string HistoryText(const std::vector<Json>& records, const std::string& unit, bool terminal);
// A CSV line of the fields (RFC 4180 quoting), without its line end; the header when record is
// null.
std::string CsvLine(const Json* record);

}  // namespace vbc::report
