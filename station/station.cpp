#include "station/station.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "core/context.h"
#include "core/resultcodes.h"
#include "core/version.h"
#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "ui/mfl52display.h"

namespace vbc::station {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

// A worker that died is restarted after this, so a worker that cannot run does not spin.
constexpr auto kFaultRetry = std::chrono::seconds(1);
// A stopped worker ends at its next wait on the line; one that does not is ended.
constexpr auto kStopGrace = std::chrono::seconds(10);

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The device a port stands for: a COMN link shows where it points.
std::string DeviceOf(int port) {
    const std::string name = platform::ResolvePortName("COM" + std::to_string(port));
    std::error_code ec;
    if (!std::filesystem::is_symlink(name, ec)) return name;
    const auto target = std::filesystem::canonical(name, ec);
    return ec ? name : target.string();
}

}  // namespace

struct Station::Log {
    platform::AppendFile file;
};

struct Station::Port {
    int number = 0;
    PortStatus status;
    platform::Process worker;
    std::string pending;  // output not yet a whole line
    bool outputEnded = false;
    // The job under way.
    std::chrono::system_clock::time_point startWall;
    Clock::time_point startedAt;  // the worker's, whose job's seconds the log takes
    Clock::time_point phoneAt;    // the boot loader answered
    Clock::time_point lastOutput;
    Clock::time_point passStart;
    Clock::time_point stopSentAt;
    std::string pass;
    std::string unit;        // the phone's under way
    std::string flashId;     // the worker's flash_id, hexadecimal
    bool phoneSeen = false;  // the boot loader answered: only such a job is a phone
    bool hung = false;
    bool stopSent = false;
    bool stopIgnored = false;  // ended because it did not stop in time
    bool haveResult = false;
    Json result;
    std::string lastLine;   // the last comment line (an open failure's explanation)
    std::string lastOther;  // the last line that was not JSON (the worker's own complaint)
    Clock::time_point restartAt;
};

Station::Station(Settings settings) : settings_(std::move(settings)), started_(Clock::now()) {
    for (int n : settings_.ports) {
        auto port = std::make_unique<Port>();
        port->number = n;
        port->status.port = n;
        port->restartAt = started_;
        ports_.push_back(std::move(port));
    }
    for (const auto& [n, path] : settings_.devices) platform::BindPortDevice(n, path);
}

Station::~Station() = default;

bool Station::OpenLog(std::string* error, std::size_t* tornBytes) {
    log_ = std::make_unique<Log>();
    return log_->file.Open(settings_.logPath, error, tornBytes);
}

bool Station::OpenDatabase(std::string* error, OpenFailure* failure) {
    store_ = OpenRecordStore(settings_.database, SpoolPathFor(settings_.logPath), error, failure);
    return store_ != nullptr;
}

bool Station::SetUnit(int port, const std::string& unit) {
    for (auto& p : ports_) {
        if (p->number != port) continue;
        p->status.unit = unit;
        Say(*p, "unit " + unit + " for the next phone");
        return true;
    }
    return false;
}

std::size_t Station::DatabaseWaiting() const {
    return store_ ? store_->Waiting() : 0;
}

void Station::FlushDatabase(int limitMs) {
    if (store_) store_->Flush(limitMs);
}

std::string Station::SpoolPath() const {
    return IsServerTarget(settings_.database) ? SpoolPathFor(settings_.logPath) : "";
}

void Station::Say(Port& port, const std::string& text) {
    events_.push_back(Event{port.number, text});
}

void Station::Launch(Port& port) {
    port.status.device = DeviceOf(port.number);
    const auto& s = settings_;
    std::vector<std::string> argv = {s.workerProgram, "--json", "--port",
                                     std::to_string(port.number)};
    if (const auto it = s.devices.find(port.number); it != s.devices.end())
        argv.insert(argv.end(), {"--device", it->second});
    std::string ws;
    for (int w : s.waitStates) {
        if (!ws.empty()) ws += ',';
        ws += std::to_string(w);
    }
    argv.insert(argv.end(), {"--product", std::to_string(s.product), "--wait-states", ws, "--speed",
                             std::to_string(s.speedRow)});
    if (s.verify) argv.push_back("--verify");
    if (!s.readId.empty()) argv.insert(argv.end(), {"--read-id", s.readId});
    argv.push_back(s.imagePath);

    port.pending.clear();
    port.outputEnded = false;
    port.phoneSeen = port.hung = port.stopSent = port.stopIgnored = port.haveResult = false;
    port.result = Json();
    port.pass.clear();
    port.unit.clear();
    port.flashId.clear();
    port.lastLine.clear();
    port.lastOther.clear();
    port.status.flash.clear();
    port.status.percent = 0;
    port.status.rate = 0;
    port.startWall = std::chrono::system_clock::now();
    port.startedAt = port.lastOutput = Clock::now();
    std::string error;
    if (!port.worker.Start(argv, &error, s.imageFd)) {
        port.status.state = State::kNoPort;
        port.status.note = "cannot start the worker: " + error;
        port.restartAt = Clock::now() + std::chrono::milliseconds(settings_.noPhoneRetryMs);
        return;
    }
    if (port.status.state != State::kNoPort) port.status.state = State::kWaiting;
}

void Station::HandleLine(Port& port, const std::string& line) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("event")) {
        if (!line.empty()) port.lastOther = line;
        return;
    }
    const auto now = Clock::now();
    const std::string event = j.value("event", "");
    if (event == "line") {
        port.lastLine = j.value("text", "");
    } else if (event == "phone" && !port.phoneSeen) {
        port.phoneSeen = true;
        port.phoneAt = now;
        // The identity given for the next phone is this one's.
        port.unit = std::move(port.status.unit);
        port.status.unit.clear();
        port.status.phoneUnit = port.unit;
        // The worker holds the port now: what it opened is what the name stands for.
        port.status.device = DeviceOf(port.number);
        port.status.state = State::kBooting;
        port.status.note.clear();
        Say(port, "booting");
    } else if (event == "flash") {
        std::string name = j.value("name", "");
        if (name.empty()) {
            char codes[16];
            std::snprintf(codes, sizeof codes, "0x%02X:0x%02X", j.value("manufacturer", 0),
                          j.value("device", 0));
            name = codes;
        }
        port.status.flash = name;
        port.passStart = now;
        Say(port, "flash " + name);
    } else if (event == "progress" && j.value("pass", "") == "read") {
        // The identity range (--read-id): the port is still booting its phone.
    } else if (event == "progress") {
        const std::string pass = j.value("pass", "");
        if (pass != port.pass) {
            // The pass began when the worker last spoke before its first progress.
            if (!port.pass.empty()) port.passStart = port.lastOutput;
            port.pass = pass;
            port.status.state = pass == "write" ? State::kWriting : State::kVerifying;
            Say(port, pass == "write" ? "writing" : "verifying");
        }
        port.status.percent = j.value("percent", 0);
        const double t = Seconds(now - port.passStart);
        port.status.rate = t > 0 ? j.value("bytes", 0.0) / t : 0;
    } else if (event == "flash_id") {
        port.flashId = j.value("hex", "");
    } else if (event == "result") {
        port.haveResult = true;
        port.result = j;
    }
    port.lastOutput = now;
}

void Station::Record(Port& port, bool ok, int category, int code, const std::string& message,
                     double seconds, const Json& resends) {
    const auto& s = settings_;
    Json r;
    r["start"] = IsoUtc(port.startWall);
    r["end"] = IsoUtc(std::chrono::system_clock::now());
    r["port"] = port.number;
    r["device"] = port.status.device;
    r["software"] = s.software;
    r["sha256"] = s.sha256;
    r["bytes"] = s.bytes;
    r["product"] = s.product;
    r["speed"] = s.speedRate;
    r["verify"] = s.verify;
    r["flash"] = port.status.flash;
    r["ok"] = ok;
    r["category"] = category;
    r["code"] = code;
    r["message"] = message;
    r["seconds"] = std::round(seconds * 1000) / 1000;
    r["resends"] = resends.is_number_integer() ? resends : Json(nullptr);
    r["station"] = s.stationName;
    r["version"] = kVersion;
    std::string error;
    // A phone that cannot be logged must not be followed by another: the station stops.
    // Names come from the file system and may hold any bytes: those that are not UTF-8 become
    // U+FFFD rather than cost the phone its record.
    const std::string line = r.dump(-1, ' ', false, Json::error_handler_t::replace);
    // The database first: a kill between the two leaves every logged phone in the database.
    if (store_) {
        Json row;
        row["id"] = NewUuid();
        for (const auto& [key, value] : r.items()) row[key] = value;
        row["unit"] = port.unit.empty() ? Json(nullptr) : Json(port.unit);
        row["flash_id"] = port.flashId.empty() ? Json(nullptr) : Json(port.flashId);
        // The same text the log holds: bad bytes of a name replaced alike.
        row = Json::parse(row.dump(-1, ' ', false, Json::error_handler_t::replace));
        if (logError_.empty() && !store_->Add(row, &error)) {
            logError_ = "cannot write the database: " + error;
            Stop();
        }
    }
    if (log_ && !log_->file.Append(line, &error)) {
        if (logError_.empty()) logError_ = "cannot write the log: " + s.logPath + ": " + error;
        Stop();
    }
    PortStatus& st = port.status;
    ++st.phones;
    const bool stopped = category == ResultStopped;
    st.state = ok ? State::kPassed : stopped ? State::kStopped : State::kFailed;
    st.outcome = StateName(st.state);
    st.note = message;
    st.lastFlash = st.flash;
    st.lastMessage = message;
    st.lastPercent = ok ? 100 : st.percent;
    st.lastSeconds = seconds;
    ok ? ++totals_.passed : stopped ? ++totals_.stopped : ++totals_.failed;
    ok ? ++st.passed : stopped ? ++st.stopped : ++st.failed;
    char figures[64];
    std::snprintf(figures, sizeof figures, " (category %d, code %d, %.1f s)", category, code,
                  seconds);
    Say(port, port.status.outcome + ": " + message + figures);
}

// Why a worker ended without a result, as its phone's record (or its port's note) says it.
std::string Station::WorkerEnd(const Port& port, bool died, int signal, int status, int* code) {
    char message[200];
    *code = InternalFaultCode::kNoResult;
    if (port.stopIgnored) {
        *code = InternalFaultCode::kStoppedAnswering;
        std::snprintf(message, sizeof message, "The worker did not stop within %d s and was ended.",
                      static_cast<int>(kStopGrace.count()));
    } else if (port.hung) {
        *code = InternalFaultCode::kStoppedAnswering;
        std::snprintf(message, sizeof message,
                      "The worker gave no sign of life for %d s and was ended.",
                      settings_.silenceLimitMs / 1000);
    } else if (died) {
        *code = InternalFaultCode::kWorkerDied;
        std::snprintf(message, sizeof message, "The worker ended on %s.",
                      platform::DescribeAbnormalEnd(signal).c_str());
    } else {
        std::snprintf(message, sizeof message,
                      "The worker exited with status %d without a result%s%s", status,
                      port.lastOther.empty() ? "." : ": ", port.lastOther.c_str());
    }
    return message;
}

void Station::Finish(Port& port, bool died, int signal, int status) {
    const auto now = Clock::now();
    port.restartAt = now;
    const bool wasNoPort = port.status.state == State::kNoPort;
    const int category = port.haveResult ? port.result.value("category", -1) : -1;
    const int code = port.haveResult ? port.result.value("code", 0) : 0;
    if (!port.phoneSeen) {
        // No boot loader answered: there is no phone to log, however the worker ended.
        if ((category == ResultBoot && code == BootCode::kNoAnswer) || category == ResultStopped ||
            stopping_) {
            // No phone on the port yet: try again at once (the boot waited for one).
            port.status.state = State::kWaiting;
            if (wasNoPort) Say(port, "waiting");
        } else {
            // A failure before any phone (the port cannot be opened, a file is missing, the
            // worker cannot run): shown on the port and tried again after a pause, so a fault
            // that stays does not spin the port.
            int ignored = 0;
            std::string why;
            if (category == ResultLibPc && code == kComErrCannotOpen)
                why = "cannot open the port: " + Trimmed(port.lastLine);
            else if (port.haveResult)
                why = "cannot boot: " + port.result.value("message", "");
            else
                why = "cannot boot: " + WorkerEnd(port, died, signal, status, &ignored);
            if (!wasNoPort || port.status.note != why) Say(port, why);
            port.status.state = State::kNoPort;
            port.status.note = why;
            port.restartAt = now + std::chrono::milliseconds(settings_.noPhoneRetryMs);
        }
    } else if (port.haveResult) {
        Record(port, port.result.value("ok", false), category, code,
               port.result.value("message", ""), port.result.value("seconds", 0.0),
               port.result.value("resends", Json()));
        port.status.done = settings_.once;
    } else {
        int fault = 0;
        const std::string message = WorkerEnd(port, died, signal, status, &fault);
        Record(port, false, kInternalFaultCategory, fault, message, Seconds(now - port.startedAt),
               Json());
        port.status.done = settings_.once;
        port.restartAt = now + kFaultRetry;
    }
    if (stopping_) port.status.done = true;
}

bool Station::Step(int timeoutMs, platform::WaitObject wake, platform::WaitObject input,
                   bool* inputReady) {
    auto now = Clock::now();
    // Ports due to start are started before the wait, so the wait is for their workers too.
    for (auto& p : ports_) {
        if (!p->worker.Running() && !p->status.done && !stopping_ && p->restartAt <= now)
            Launch(*p);
    }
    std::vector<platform::WaitObject> waits;
    auto wait = std::chrono::milliseconds(timeoutMs);
    for (auto& p : ports_) {
        waits.push_back(p->worker.Running() ? p->worker.OutputWait() : platform::kNoWaitObject);
        // A worker whose output ended is reaped as soon as it has exited.
        if (p->worker.Running() && p->outputEnded)
            wait = std::min(wait, std::chrono::milliseconds(10));
        if (!p->worker.Running() && !p->status.done && !stopping_)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::max(p->restartAt - now, Clock::duration::zero())));
    }
    waits.push_back(input);
    waits.push_back(wake);
    std::vector<bool> readable;
    platform::WaitReady(waits, static_cast<int>(wait.count()), &readable);
    now = Clock::now();
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        Port& p = *ports_[i];
        if (!p.worker.Running()) continue;
        if (readable[i]) {
            p.outputEnded = !p.worker.ReadAvailable(&p.pending);
            for (auto nl = p.pending.find('\n'); nl != std::string::npos;
                 nl = p.pending.find('\n')) {
                const std::string line = p.pending.substr(0, nl);
                p.pending.erase(0, nl + 1);
                HandleLine(p, line);
            }
            if (p.outputEnded && !p.pending.empty()) {
                HandleLine(p, p.pending);
                p.pending.clear();
            }
        }
        if (!p.hung && now - p.lastOutput > std::chrono::milliseconds(settings_.silenceLimitMs)) {
            p.hung = true;
            p.worker.Kill();
        }
        if (p.stopSent && now - p.stopSentAt > kStopGrace && !p.hung) {
            p.hung = p.stopIgnored = true;
            p.worker.Kill();
        }
        if (p.outputEnded || p.hung) {
            if (const auto end = p.worker.TryReap()) {
                Finish(p, !end->exited, end->signal, end->code);
            }
        }
    }
    if (inputReady) *inputReady = readable[ports_.size()];
    return readable.back();
}

void Station::Stop() {
    stopping_ = true;
    const auto now = Clock::now();
    for (auto& p : ports_) {
        if (p->worker.Running()) {
            if (!p->stopSent) p->worker.RequestStop();
            p->stopSent = true;
            p->stopSentAt = now;
        } else {
            p->status.done = true;
        }
    }
}

bool Station::Finished() const {
    return std::all_of(ports_.begin(), ports_.end(),
                       [](const auto& p) { return p->status.done && !p->worker.Running(); });
}

bool Station::AllPassed() const {
    return totals_.passed > 0 && totals_.failed == 0 && totals_.stopped == 0;
}

std::vector<PortStatus> Station::Ports() const {
    std::vector<PortStatus> out;
    const auto now = Clock::now();
    for (const auto& p : ports_) {
        PortStatus s = p->status;
        const bool busy = s.state == State::kBooting || s.state == State::kWriting ||
                          s.state == State::kVerifying;
        s.elapsedSeconds = busy ? Seconds(now - p->phoneAt) : 0;
        out.push_back(s);
    }
    return out;
}

Totals Station::GetTotals() const {
    Totals t = totals_;
    t.hours = Seconds(Clock::now() - started_) / 3600;
    const int phones = t.passed + t.failed + t.stopped;
    t.phonesPerHour = t.hours > 0 ? phones / t.hours : 0;
    return t;
}

std::vector<Event> Station::TakeEvents() {
    std::vector<Event> out;
    out.swap(events_);
    return out;
}

const char* StateName(State state) {
    switch (state) {
        case State::kWaiting:
            return "waiting";
        case State::kNoPort:
            return "no port";
        case State::kBooting:
            return "booting";
        case State::kWriting:
            return "writing";
        case State::kVerifying:
            return "verifying";
        case State::kPassed:
            return "passed";
        case State::kFailed:
            return "failed";
        case State::kStopped:
            return "stopped";
    }
    return "";
}

bool SetImage(const std::vector<std::uint8_t>& bytes, const std::string& software,
              Settings* settings, platform::SealedImage* holder, std::string* error) {
    // The copy holds exactly these bytes (checked as it was made): their hash is the workers'.
    if (!holder->Make(bytes, error)) return false;
    settings->imagePath = holder->Path();
    settings->imageFd = holder->InheritedFd();
    settings->software = std::filesystem::path(software).filename().string();
    settings->sha256 = Sha256Hex(bytes);
    settings->bytes = bytes.size();
    return true;
}

bool CheckBootstrap(int product, std::string* error) {
    std::vector<std::uint8_t> buffer(SPM_BUFFER_SIZE);
    std::int32_t length = 0;
    const std::int32_t status = _mfl12_4LoadSpmFile(&length, buffer.data(), product);
    if (status == kStatusOk) return true;
    char text[100];
    const char* name = BootstrapFileName(product);
    if (error)
        *error = std::string(name ? name : "?") + ", the bootstrap of product type " +
                 std::to_string(product) + ": " + ResultMessage(ResultLibPc, status, text);
    return false;
}

int SilenceLimitMs(std::uint32_t rate) {
    // The longest any wait of a job lasts while the line stays quiet (the boot loader's,
    // streaming noise); a sector's or a 64 KiB read's bytes come on top of it.
    constexpr int kLongestWaitSeconds = 60;
    std::uint32_t largest = 64 * 1024;
    for (int f = 0; f < _vg_FlashDescritpion.count; ++f) {
        const auto& d = _vg_FlashDescritpion.descriptions[f];
        for (int s = 0; s < d.sectorCount; ++s) largest = std::max(largest, d.sectors[s].size);
    }
    const double sectorSeconds = largest * 10.0 / std::max<std::uint32_t>(rate, 1);
    return static_cast<int>(2000 * (kLongestWaitSeconds + sectorSeconds));
}

std::string WorkerBesideProgram() {
    const std::string self = platform::OwnProgramPath();
    if (self.empty()) return "";
    const auto worker =
        std::filesystem::path(self).parent_path() / platform::ProgramFileName("vbcflash-cli");
    return platform::CanRun(worker.string()) ? worker.string() : "";
}

std::string IsoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
    platform::Sha256Digest digest{};
    if (!platform::Sha256(bytes, &digest)) return "";
    std::string hex;
    for (std::uint8_t b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

bool ParseUnitLine(const std::string& line, int* port, std::string* unit) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t digits = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    int n = 0;
    const auto [ptr, ec] = std::from_chars(line.data() + digits, line.data() + i, n);
    if (i == digits || ec != std::errc() || n < 1 || n > 255) return false;
    if (i == line.size() || (line[i] != ' ' && line[i] != '\t')) return false;
    const auto first = line.find_first_not_of(" \t", i);
    if (first == std::string::npos) return false;
    const auto last = line.find_last_not_of(" \t\r");
    *port = n;
    *unit = line.substr(first, last - first + 1);
    return true;
}

bool ParsePortList(const std::string& text, std::vector<int>* ports) {
    std::set<int> seen;
    std::vector<int> out;
    const char* p = text.data();
    const char* end = p + text.size();
    auto number = [&](int* n) {
        const auto [ptr, ec] = std::from_chars(p, end, *n);
        if (ec != std::errc() || ptr == p || *n < 1 || *n > 255) return false;
        p = ptr;
        return true;
    };
    while (p < end) {
        int first = 0;
        int last = 0;
        if (!number(&first)) return false;
        last = first;
        if (p < end && *p == '-') {
            ++p;
            if (!number(&last) || last < first) return false;
        }
        for (int n = first; n <= last; ++n) {
            if (seen.insert(n).second) out.push_back(n);
        }
        if (p < end && *p++ != ',') return false;
        if (p == end && text.back() == ',') return false;
    }
    if (out.empty()) return false;
    *ports = out;
    return true;
}

}  // namespace vbc::station
