// The production station: a phone on each of several ports, flashed at the same time. Each
// port's job runs in a worker process (vbcflash-cli --json), so a crash or a hang stays on its
// port; the station reads the workers' JSON lines, keeps each port's state, retries a boot that
// found no phone without a trace, and appends one record per finished phone to its log, on
// disk before the port takes the next phone. A front end (the vbcflash-station table, a window)
// calls Step in its loop and shows Ports() and GetTotals().
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/process.h"
#include "station/recordstore.h"

namespace vbc::platform {
class SealedImage;
}

namespace vbc::station {

// A phone whose worker failed it (died, gave no result, stopped answering) is logged with this
// category, the exit status of an internal fault, and one of these codes.
constexpr int kInternalFaultCategory = 70;
struct InternalFaultCode {
    enum : int {
        kWorkerDied = 1,        // ended on a signal
        kNoResult = 2,          // exited without a result
        kStoppedAnswering = 3,  // nothing for longer than any wait of the job; the station ended it
    };
};

struct Settings {
    std::vector<int> ports;              // COM numbers, in the order shown
    std::map<int, std::string> devices;  // --device N=PATH
    int product = 2;
    std::array<int, 4> waitStates{};
    int speedRow = 1;
    std::uint32_t speedRate = 115200;  // bit/s of that row, for the log
    bool verify = false;
    bool once = false;
    std::string workerProgram;  // vbcflash-cli
    std::string imagePath;      // what the workers load (a sealed copy of the file)
    int imageFd = -1;           // the copy's descriptor, which the workers inherit (POSIX)
    std::string software;       // the file's name, for the log
    std::string sha256;
    std::uint64_t bytes = 0;
    std::string logPath;
    // The database every phone goes into as well: a SQLite file ("" for station.db) or a
    // PostgreSQL connection string (station/recordstore.h).
    std::string database;
    // --read-id OFFSET:LENGTH for every worker: that range of the phone's flash is recorded as
    // its flash_id. "" for none.
    std::string readId;
    std::string stationName;  // host name
    // A worker silent for longer is taken as hung (ended and logged as an internal fault).
    int silenceLimitMs = 180'000;
    // A port that failed before any phone answered (it cannot be opened, a file is missing) is
    // tried again after this, without a record.
    int noPhoneRetryMs = 2'000;
};

enum class State { kWaiting, kNoPort, kBooting, kWriting, kVerifying, kPassed, kFailed, kStopped };

struct PortStatus {
    int port = 0;
    std::string device;
    State state = State::kWaiting;
    int percent = 0;
    std::string flash;
    double rate = 0;  // bytes per second of the pass under way
    double elapsedSeconds = 0;
    std::string note;     // why the port cannot be used (kNoPort), or the last result's message
    std::string outcome;  // the last logged phone's: "passed", "failed", "stopped", ""
    // The last logged phone's, kept while the port waits for the next one.
    std::string lastFlash;
    std::string lastMessage;
    int lastPercent = 0;  // of the pass it ended in
    double lastSeconds = 0;
    std::string unit;       // given for the port's next phone (a scanner's line), "" for none
    std::string phoneUnit;  // the phone's under way, or the last logged one's
    int phones = 0;         // logged on this port
    int passed = 0;
    int failed = 0;  // internal faults included
    int stopped = 0;
    bool done = false;  // takes no further phone
};

struct Totals {
    int passed = 0;
    int failed = 0;  // internal faults included
    int stopped = 0;
    double hours = 0;
    double phonesPerHour = 0;
};

// One line of the plain output: a port changed state.
struct Event {
    int port = 0;
    std::string text;
};

class Station {
  public:
    explicit Station(Settings settings);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Only a regular file is taken; a torn last line left by an earlier program is cut off
    // (tornBytes, when given, says how many bytes).
    bool OpenLog(std::string* error, std::size_t* tornBytes = nullptr);
    // The database of Settings::database (its spool beside the log for a server). False, with
    // error and why, when it cannot be used; the station then takes no phone.
    bool OpenDatabase(std::string* error, OpenFailure* failure);
    // The next phone that answers on port takes unit as its identity (a later call replaces
    // it). False for a port the station does not serve.
    bool SetUnit(int port, const std::string& unit);
    // Records not yet in the database's server ("database: N records waiting").
    std::size_t DatabaseWaiting() const;
    // At the end: waits up to limitMs for the waiting records to reach the server.
    void FlushDatabase(int limitMs);
    // Where the waiting records are kept ("" without a server).
    std::string SpoolPath() const;
    // Waits up to timeoutMs for the workers, handles what they said and how they ended, and
    // starts the ports' next jobs. True when wake (skipped when kNoWaitObject) became ready;
    // *inputReady (when given) whether input did.
    bool Step(int timeoutMs, platform::WaitObject wake = platform::kNoWaitObject,
              platform::WaitObject input = platform::kNoWaitObject, bool* inputReady = nullptr);
    // Stops every job (each phone on a port is logged as stopped) and takes no further phone.
    void Stop();
    bool Stopping() const { return stopping_; }
    // Every port is done and no worker runs.
    bool Finished() const;
    // Every logged phone passed (and at least one was logged).
    bool AllPassed() const;
    // The log or the database could not be written: the station stopped. "" while it is fine;
    // "cannot write the log: ..." or "cannot write the database: ...".
    const std::string& LogError() const { return logError_; }

    std::vector<PortStatus> Ports() const;
    Totals GetTotals() const;
    std::vector<Event> TakeEvents();
    const Settings& GetSettings() const { return settings_; }

  private:
    struct Port;
    void Launch(Port& port);
    void HandleLine(Port& port, const std::string& line);
    void Finish(Port& port, bool died, int signal, int status);
    void Record(Port& port, bool ok, int category, int code, const std::string& message,
                double seconds, const nlohmann::ordered_json& resends);
    std::string WorkerEnd(const Port& port, bool died, int signal, int status, int* code);
    void Say(Port& port, const std::string& text);

    Settings settings_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<Event> events_;
    std::chrono::steady_clock::time_point started_;
    Totals totals_;
    bool stopping_ = false;
    std::string logError_;
    struct Log;
    std::unique_ptr<Log> log_;
    std::unique_ptr<RecordStore> store_;
};

const char* StateName(State state);

// The image every worker writes: a sealed copy of bytes (settings->imagePath), with its name for
// the log, its SHA-256 and its size. holder keeps the copy while the station runs. False, with
// error, when the copy cannot be made.
bool SetImage(const std::vector<std::uint8_t>& bytes, const std::string& software,
              Settings* settings, platform::SealedImage* holder, std::string* error);
// Every worker reads the product type's bootstrap before it boots a phone: a missing or
// unreadable one is found once, before any port starts. False, with error, when it cannot be read.
bool CheckBootstrap(int product, std::string* error);
// The silence limit for a line rate: twice the longest quiet wait of a job (60 s) plus the
// largest sector of the flash table loaded (or a 64 KiB read) at that rate.
int SilenceLimitMs(std::uint32_t rate);
// vbcflash-cli (vbcflash-cli.exe) beside the running program, "" when it is not there.
std::string WorkerBesideProgram();

// "2026-12-09T01:23:45.678Z"
std::string IsoUtc(std::chrono::system_clock::time_point when);
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);
// A line a barcode scanner types at the station's terminal: "N ID" gives ID to port N's next
// phone. False (port and unit untouched) for any other line; the ID is what follows the
// blanks after N, up to the line's end without its trailing blanks.
bool ParseUnitLine(const std::string& line, int* port, std::string* unit);
// "1-4,7" into the port numbers (1 to 255), each once; false on anything else.
bool ParsePortList(const std::string& text, std::vector<int>* ports);

}  // namespace vbc::station
