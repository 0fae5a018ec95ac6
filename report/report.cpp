#include "report/report.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>

#include "core/context.h"
#include "station/recordstore.h"
#include "station/sqlitedb.h"

namespace vbc::report {

namespace st = vbc::station;

namespace {

// Seconds since the epoch of "2026-12-09T01:25:47.802Z"; nullopt for other text.
std::optional<double> EpochOf(const std::string& iso) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

bool Passes(const Filter& f, const Json& r) {
    const auto text = [&](const char* key) {
        const auto it = r.find(key);
        return it != r.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string start = text("start");
    if (!f.from.empty() && start < f.from) return false;
    if (!f.until.empty() && start >= f.until) return false;
    if (f.software && text("software") != *f.software) return false;
    if (f.station && text("station") != *f.station) return false;
    if (f.unit) {
        const auto it = r.find("unit");
        if (it == r.end() || !it->is_string() || it->get<std::string>() != *f.unit) return false;
    }
    return true;
}

// The WHERE clause of a filter, with its values in order; numbered ($1) for PostgreSQL.
std::string Where(const Filter& f, bool numbered, std::vector<std::string>* values) {
    std::string where;
    const auto add = [&](const char* condition, const std::string& value) {
        values->push_back(value);
        where += where.empty() ? " WHERE " : " AND ";
        where += condition;
        where += numbered ? "$" + std::to_string(values->size()) : "?";
    };
    if (!f.from.empty()) add("\"start\" >= ", f.from);
    if (!f.until.empty()) add("\"start\" < ", f.until);
    if (f.software) add("\"software\" = ", *f.software);
    if (f.station) add("\"station\" = ", *f.station);
    if (f.unit) add("\"unit\" = ", *f.unit);
    return where;
}

class SqliteSource : public Source {
  public:
    bool Open(const std::string& path, std::string* error) {
        st::OpenFailure failure = st::OpenFailure::kNone;
        if (db_.Open(path, error, &failure, true)) return true;
        *error = path + ": " + *error;
        return false;
    }
    bool Records(const Filter& filter, const std::function<void(const Json&)>& take,
                 std::string* error) override {
        return Select("SELECT " + st::ColumnList() + " FROM phones", filter, error,
                      [&](sqlite3_stmt* s) { take(st::RowToRecord(s)); });
    }
    bool Phones(const Filter& filter, const std::function<void(const Phone&)>& take,
                std::string* error) override {
        Phone p;
        const auto text = [](sqlite3_stmt* s, int c, std::string* out) {
            const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
            out->assign(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, c)));
        };
        return Select(
            "SELECT \"software\", \"station\", \"port\", \"ok\", \"category\", \"code\", "
            "CASE WHEN \"ok\" THEN '' ELSE \"message\" END, \"seconds\", \"start\", \"end\" "
            "FROM phones",
            filter, error, [&](sqlite3_stmt* s) {
                text(s, 0, &p.software);
                text(s, 1, &p.station);
                p.port = sqlite3_column_int(s, 2);
                p.ok = sqlite3_column_int(s, 3) != 0;
                p.category = sqlite3_column_int(s, 4);
                p.code = sqlite3_column_int(s, 5);
                text(s, 6, &p.message);
                p.seconds = sqlite3_column_double(s, 7);
                text(s, 8, &p.start);
                text(s, 9, &p.end);
                take(p);
            });
    }

  private:
    bool Select(const std::string& select, const Filter& filter, std::string* error,
                const std::function<void(sqlite3_stmt*)>& row) {
        std::vector<std::string> values;
        const std::string sql = select + Where(filter, false, &values) + " ORDER BY \"start\"";
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_.Handle(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            *error = sqlite3_errmsg(db_.Handle());
            return false;
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            sqlite3_bind_text(s, static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_STATIC);
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) row(s);
        if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db_.Handle());
        sqlite3_finalize(s);
        return rc == SQLITE_DONE;
    }
    st::SqliteDb db_;
};

class LogSource : public Source {
  public:
    explicit LogSource(std::string path) : path_(std::move(path)) {}
    bool Records(const Filter& filter, const std::function<void(const Json&)>& take,
                 std::string* error) override {
        std::ifstream in(path_, std::ios::binary);
        if (!in) {
            *error = path_ + ": cannot be read";
            return false;
        }
        std::vector<Json> records;
        std::size_t number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.empty()) continue;
            Json r = Json::parse(line, nullptr, false);
            if (!r.is_object()) {
                *error = path_ + ":" + std::to_string(number) + ": not a record";
                return false;
            }
            if (!Passes(filter, r)) continue;
            Json row = Json::object();
            for (const st::Field& f : st::PhoneFields()) {
                const auto it = r.find(f.name);
                row[f.name] = it == r.end() ? Json() : *it;
            }
            records.push_back(std::move(row));
        }
        // Oldest first, as the databases give them (a log is in order of the phones' ends).
        std::stable_sort(records.begin(), records.end(), [](const Json& a, const Json& b) {
            return a["start"].get<std::string>() < b["start"].get<std::string>();
        });
        for (const Json& r : records) take(r);
        return true;
    }

  private:
    std::string path_;
};

class ServerSource : public Source {
  public:
    ~ServerSource() override { PQfinish(conn_); }
    bool Open(const std::string& target, std::string* error) {
        const char* keys[] = {"connect_timeout", "dbname", "application_name", nullptr};
        const char* values[] = {"10", target.c_str(), "vbcflash-report", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) == CONNECTION_OK) return true;
        *error = PQerrorMessage(conn_);
        while (!error->empty() && error->back() == '\n') error->pop_back();
        return false;
    }
    bool Records(const Filter& filter, const std::function<void(const Json&)>& take,
                 std::string* error) override {
        std::vector<std::string> values;
        const std::string sql = "SELECT " + st::ColumnList() + " FROM phones" +
                                Where(filter, true, &values) + " ORDER BY \"start\"";
        std::vector<const char*> params;
        for (const auto& v : values) params.push_back(v.c_str());
        PGresult* r = PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                   params.data(), nullptr, nullptr, 0);
        if (PQresultStatus(r) != PGRES_TUPLES_OK) {
            *error = PQerrorMessage(conn_);
            while (!error->empty() && error->back() == '\n') error->pop_back();
            PQclear(r);
            return false;
        }
        const auto& fields = st::PhoneFields();
        for (int row = 0; row < PQntuples(r); ++row) {
            Json record = Json::object();
            for (int c = 0; c < static_cast<int>(fields.size()); ++c) {
                const st::Field& f = fields[static_cast<std::size_t>(c)];
                if (PQgetisnull(r, row, c)) {
                    record[f.name] = nullptr;
                    continue;
                }
                const std::string text = PQgetvalue(r, row, c);
                switch (f.type) {
                    case st::FieldType::kText:
                        record[f.name] = text;
                        break;
                    case st::FieldType::kInteger:
                        record[f.name] = std::stoll(text);
                        break;
                    case st::FieldType::kReal:
                        record[f.name] = std::stod(text);
                        break;
                    case st::FieldType::kBool:
                        record[f.name] = text == "t";
                        break;
                }
            }
            take(record);
        }
        PQclear(r);
        return true;
    }

  private:
    PGconn* conn_ = nullptr;
};

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Columns aligned (numbers to the right) under a rule for a terminal; tab-separated otherwise.
std::string Table(const std::vector<std::vector<std::string>>& rows, bool terminal,
                  const std::vector<bool>& right) {
    std::string out;
    if (!terminal) {
        for (const auto& row : rows) {
            for (std::size_t c = 0; c < row.size(); ++c) out += (c ? "\t" : "") + row[c];
            out += "\n";
        }
        return out;
    }
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c) widths.push_back(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            const std::string pad(widths[c] - rows[r][c].size(), ' ');
            const bool last = c + 1 == rows[r].size();
            line += right[c] ? pad + rows[r][c] : rows[r][c] + (last ? "" : pad);
            if (!last) line += "  ";
        }
        out += line + "\n";
        if (r == 0) {
            std::string rule;
            for (std::size_t c = 0; c < widths.size(); ++c)
                rule += std::string(widths[c], '-') + (c + 1 < widths.size() ? "  " : "");
            out += rule + "\n";
        }
    }
    return out;
}

std::vector<std::string> GroupRow(const std::string& software, const std::string& station,
                                  const std::string& port, const Group& g) {
    const int decided = g.passed + g.failed;
    const auto first = EpochOf(g.first);
    const auto last = EpochOf(g.last);
    const double hours = first && last ? (*last - *first) / 3600 : 0;
    return {software,
            station,
            port,
            std::to_string(g.phones),
            std::to_string(g.passed),
            std::to_string(g.failed),
            std::to_string(g.stopped),
            decided > 0 ? Fixed(100.0 * g.passed / decided, 1) + " %" : "-",
            g.phones > 0 ? Fixed(g.seconds / g.phones, 1) : "-",
            hours > 0 ? Fixed(g.phones / hours, 1) : "-"};
}

}  // namespace

bool DayBounds(const std::string& date, std::string* first, std::string* next) {
    std::tm tm{};
    int y = 0, m = 0, d = 0;
    char extra = 0;
    if (date.size() != 10 || std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3 ||
        date[4] != '-' || date[7] != '-')
        return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    const std::time_t t = timegm(&tm);
    std::tm check{};
    gmtime_r(&t, &check);
    if (check.tm_year != y - 1900 || check.tm_mon != m - 1 || check.tm_mday != d) return false;
    *first = date + "T00:00:00.000Z";
    const std::time_t after = t + 86400;
    gmtime_r(&after, &check);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT00:00:00.000Z", &check);
    *next = text;
    return true;
}

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

const char* Outcome(bool ok, int category) {
    return ok ? "passed" : category == ResultStopped ? "stopped" : "failed";
}

Phone PhoneOf(const Json& r) {
    Phone p;
    p.software = r.value("software", "");
    p.station = r.value("station", "");
    p.port = r.value("port", 0);
    p.ok = r.value("ok", false);
    p.category = r.value("category", 0);
    p.code = r.value("code", 0);
    if (!p.ok) p.message = r.value("message", "");
    p.seconds = r.value("seconds", 0.0);
    p.start = r.value("start", "");
    p.end = r.value("end", "");
    return p;
}

bool Source::Phones(const Filter& filter, const std::function<void(const Phone&)>& take,
                    std::string* error) {
    return Records(
        filter, [&](const Json& r) { take(PhoneOf(r)); }, error);
}

void Summary::Add(const Phone& p) {
    Group& g = groups_[{p.software, p.station, p.port}];
    ++g.phones;
    if (p.ok) {
        ++g.passed;
    } else if (p.category == ResultStopped) {
        ++g.stopped;
    } else {
        ++g.failed;
        ++failures_[{p.category, p.code, p.message}];
    }
    g.seconds += p.seconds;
    if (g.first.empty() || p.start < g.first) g.first = p.start;
    if (p.end > g.last) g.last = p.end;
}

Group Summary::Total() const {
    Group t;
    for (const auto& [key, g] : groups_) {
        t.phones += g.phones;
        t.passed += g.passed;
        t.failed += g.failed;
        t.stopped += g.stopped;
        t.seconds += g.seconds;
        if (t.first.empty() || g.first < t.first) t.first = g.first;
        if (g.last > t.last) t.last = g.last;
    }
    return t;
}

std::vector<Failure> Summary::Failures() const {
    std::vector<Failure> out;
    for (const auto& [key, count] : failures_)
        out.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
    std::stable_sort(out.begin(), out.end(),
                     [](const Failure& a, const Failure& b) { return a.count > b.count; });
    return out;
}

std::string SummaryText(const Summary& summary, const std::string& period, bool terminal) {
    std::string out = "Phones " + period + "\n\n";
    if (summary.Groups().empty()) return out + "No phones.\n";
    std::vector<std::vector<std::string>> rows = {{"software", "station", "port", "phones",
                                                   "passed", "failed", "stopped", "yield", "mean s",
                                                   "phones/h"}};
    for (const auto& [key, g] : summary.Groups())
        rows.push_back(GroupRow(std::get<0>(key), std::get<1>(key),
                                "COM" + std::to_string(std::get<2>(key)), g));
    rows.push_back(GroupRow("total", "", "", summary.Total()));
    out += Table(rows, terminal, {false, false, false, true, true, true, true, true, true, true});
    const auto failures = summary.Failures();
    if (failures.empty()) return out;
    std::vector<std::vector<std::string>> failed = {{"category", "code", "phones", "message"}};
    for (const Failure& f : failures)
        failed.push_back({std::to_string(f.category), std::to_string(f.code),
                          std::to_string(f.count), f.message});
    return out + "\nFailures\n\n" + Table(failed, terminal, {true, true, true, false});
}

std::string HistoryText(const std::vector<Json>& records, const std::string& unit, bool terminal) {
    std::string out = "Unit " + unit + "\n\n";
    if (records.empty()) return out + "No phones.\n";
    std::vector<std::vector<std::string>> rows = {{"start", "station", "port", "software", "sha256",
                                                   "flash", "flash_id", "result", "category",
                                                   "code", "message"}};
    for (const Json& r : records) {
        const auto text = [&](const char* key) {
            const auto it = r.find(key);
            return it != r.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        const bool ok = r.value("ok", false);
        const int category = r.value("category", 0);
        rows.push_back({text("start"), text("station"), "COM" + std::to_string(r.value("port", 0)),
                        text("software"), text("sha256").substr(0, 16), text("flash"),
                        text("flash_id"), Outcome(ok, category), std::to_string(category),
                        std::to_string(r.value("code", 0)), text("message")});
    }
    return out + Table(rows, terminal,
                       {false, false, false, false, false, false, false, false, true, true, false});
}

std::string CsvLine(const Json* record) {
    std::string line;
    bool first = true;
    for (const st::Field& f : st::PhoneFields()) {
        if (!first) line += ',';
        first = false;
        std::string text;
        if (!record) {
            text = f.name;
        } else {
            const auto it = record->find(f.name);
            if (it == record->end() || it->is_null())
                text.clear();
            else if (it->is_string())
                text = it->get<std::string>();
            else
                text = it->dump();
        }
        if (text.find_first_of(",\"\r\n") != std::string::npos) {
            std::string quoted = "\"";
            for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            text = quoted + "\"";
        }
        line += text;
    }
    return line;
}

std::unique_ptr<Source> OpenSource(const std::string& target, std::string* error) {
    if (st::IsServerTarget(target)) {
        auto source = std::make_unique<ServerSource>();
        if (!source->Open(target, error)) return nullptr;
        return source;
    }
    std::ifstream in(target, std::ios::binary);
    if (!in) {
        *error = target + ": cannot be read";
        return nullptr;
    }
    const int first = in.peek();
    const bool named = target.size() >= 6 && target.compare(target.size() - 6, 6, ".jsonl") == 0;
    if (first == '{' || (first == std::char_traits<char>::eof() && named))
        return std::make_unique<LogSource>(target);
    auto source = std::make_unique<SqliteSource>();
    if (!source->Open(target, error)) return nullptr;
    return source;
}

}  // namespace vbc::report
