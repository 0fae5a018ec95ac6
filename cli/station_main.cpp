// vbcflash-station: flashes FILE into a phone on each of several ports at the same time, one
// vbcflash-cli worker a port, and logs every phone. On a terminal a live table, one row a port;
// otherwise one plain line a change.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "core/context.h"
#include "core/version.h"
#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/jobstop.h"
#include "platform/process.h"
#include "station/station.h"
#include "ui/mfl52display.h"

namespace {

namespace st = vbc::station;

constexpr int kExitFailed = 1;
constexpr int kExitBadOptions = 64;   // EX_USAGE
constexpr int kExitFlashTxt = 65;     // EX_DATAERR
constexpr int kExitBootstrap = 66;    // EX_NOINPUT
constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE
constexpr int kExitInternal = 70;     // EX_SOFTWARE
constexpr int kExitLog = 74;          // EX_IOERR
constexpr const char* kProgram = "vbcflash-station";
// At the end, records waiting for the database server are given this long to reach it.
constexpr int kFlushMs = 5'000;

constexpr const char* kFooter =
    R"(Each port waits for a phone: a boot that finds none is tried again without a trace, so
phones can be plugged in at any time; after a phone's job ends the port waits for the
next. Each job runs in its own vbcflash-cli worker (found beside this program): a worker
that dies or hangs is logged for its phone as an internal fault (category 70) and the
other ports carry on. Every finished phone is appended to the log (one JSON object a
line, on disk before the port takes the next phone; docs/STATION.md), and into the
database (--db: station.db, or a PostgreSQL server through a spool beside the log).

A line "N ID" on standard input (what a barcode scanner types) gives ID to port N's next
phone: its record's unit.

It works in the current directory (or the DIR of -C): flash.txt and the bootstrap are
read there, and checked before any port starts. FILE is read once; every worker writes that same copy.

Ctrl-C (SIGINT) or SIGTERM stops every job (each phone under way is logged as stopped),
prints the totals and exits 130 (143). On Windows Ctrl-C exits 130, and Ctrl-Break or
closing the console window stop it as SIGTERM does (143).

Exit status:
  0      with --once: every port's phone passed
  1      with --once: a phone failed (or was stopped)
  64     bad options, or FILE cannot be read
  65     flash.txt cannot be read or is malformed
  66     the bootstrap of the product type (mfl104_4.spm, mfl104_5.spm) cannot be read
  69     the database server cannot be reached, or refuses the connection
  70     an internal fault (the worker program is missing)
  74     the log, the database or its spool cannot be opened (or is not a regular file,
         not SQLite, of a later schema) or written (the station stops)
  130    stopped by SIGINT, 143 by SIGTERM
)";

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void OnStopSignal(int signal) {
    gStopSignal = signal;
    vbc::RequestJobStop();
}

int Usage(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\nRun with --help for more information.\n";
    return kExitBadOptions;
}

std::string Duration(double seconds) {
    const int s = static_cast<int>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

std::string StateText(const st::PortStatus& p) {
    switch (p.state) {
        case st::State::kWriting:
        case st::State::kVerifying:
            return std::string(st::StateName(p.state)) + " " + std::to_string(p.percent) + " %";
        case st::State::kWaiting:
            return p.outcome.empty() ? "waiting" : "waiting (" + p.outcome + ")";
        default:
            return st::StateName(p.state);
    }
}

std::string TotalsText(const st::Station& station) {
    const st::Totals t = station.GetTotals();
    char text[160];
    std::snprintf(text, sizeof text, "passed %d, failed %d, stopped %d, %.1f phones/h", t.passed,
                  t.failed, t.stopped, t.phonesPerHour);
    std::string line = text;
    if (const std::size_t waiting = station.DatabaseWaiting(); waiting > 0)
        line += ", database: " + std::to_string(waiting) + " records waiting";
    return line;
}

// Standard input's lines, "N ID" each (a barcode scanner at the terminal): the unit of port N's
// next phone. Anything else is said to be ignored.
class UnitInput {
  public:
    vbc::platform::WaitObject Wait() const { return input_.Wait(); }
    void Read(st::Station& station, bool live) {
        input_.ReadAvailable(&pending_);
        for (auto nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n')) {
            const std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            int port = 0;
            std::string unit;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            std::string refusal;
            if (!st::ParseUnitLine(line, &port, &unit))
                refusal = "expected \"N ID\" (a port and the unit of its next phone), not \"" +
                          line + "\"";
            else if (!station.SetUnit(port, unit))
                refusal = "COM" + std::to_string(port) + " is not one of the station's ports";
            if (!refusal.empty()) {
                if (live) std::printf("\033[K");
                std::fprintf(stderr, "%s: %s\n", kProgram, refusal.c_str());
            }
        }
        if (pending_.size() > 4096) pending_.clear();  // no scanner types that
    }

  private:
    vbc::platform::StandardInput input_;
    std::string pending_;
};

// The live table: redrawn in place (the cursor goes back over the rows drawn last time).
class Table {
  public:
    void Draw(const st::Station& station) {
        std::string out;
        if (rows_ > 0) out += "\033[" + std::to_string(rows_) + "F";
        char line[256];
        std::snprintf(line, sizeof line, "%-6s %-28s %-16s %-16s %-11s %-7s", "COM", "device",
                      "state", "flash", "rate", "elapsed");
        out += std::string(line) + "\033[K\n";
        int rows = 1;
        for (const auto& p : station.Ports()) {
            const bool busy = p.elapsedSeconds > 0;
            const std::string rate =
                busy && p.rate > 0
                    ? std::to_string(static_cast<int>(p.rate / 1024 * 10) / 10) + "." +
                          std::to_string(static_cast<int>(p.rate / 1024 * 10) % 10) + " KiB/s"
                    : "";
            std::snprintf(line, sizeof line, "%-6s %-28.28s %-16s %-16.16s %-11s %-7s",
                          ("COM" + std::to_string(p.port)).c_str(), p.device.c_str(),
                          StateText(p).c_str(), p.flash.c_str(), rate.c_str(),
                          p.elapsedSeconds > 0 ? Duration(p.elapsedSeconds).c_str() : "");
            out += std::string(line) + "\033[K\n";
            ++rows;
            // Why a port is unusable, or what its last phone ended with.
            if (!p.note.empty() && p.state != st::State::kPassed &&
                p.state != st::State::kBooting && p.state != st::State::kWriting &&
                p.state != st::State::kVerifying) {
                out += "       " + p.note.substr(0, 90) + "\033[K\n";
                ++rows;
            }
        }
        // The units given for the ports' next phones.
        std::string units;
        for (const auto& p : station.Ports())
            if (!p.unit.empty()) units += "  COM" + std::to_string(p.port) + ": " + p.unit;
        if (!units.empty()) {
            out += "next units:" + units.substr(0, 160) + "\033[K\n";
            ++rows;
        }
        out += TotalsText(station) + "\033[K\n\033[J";
        ++rows;
        rows_ = rows;
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }

  private:
    int rows_ = 0;
};

void PrintEvents(st::Station& station) {
    const auto ports = station.Ports();
    for (const auto& e : station.TakeEvents()) {
        std::string device;
        for (const auto& p : ports)
            if (p.port == e.port) device = p.device;
        std::printf("%s COM%d %s %s\n", st::IsoUtc(std::chrono::system_clock::now()).c_str(),
                    e.port, device.c_str(), e.text.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard descriptor would hand its number to the
    // image copy, which each worker's standard input would then replace.
    vbc::platform::KeepStandardDescriptors();
    // Standard output going away (a pipe whose reader died) must not cost a phone its record.
    vbc::platform::IgnoreWriteSignals();
    CLI::App app{
        "Flashes FILE into a phone on each of several ports at the same time, port after "
        "port waiting for the next phone, and logs every phone.",
        kProgram};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(kProgram) + " " + vbc::kVersion);

    std::string file;
    std::string portList;
    std::vector<std::string> deviceBindings;
    st::Settings settings;
    std::string waitStates;
    std::string directory;
    std::string logPath = "station.jsonl";
    std::string database = "station.db";
    std::string readId;
    app.add_option("FILE", file, "Software file (*.cla) to write into every phone")
        ->required()
        ->type_name("");
    app.add_option("--ports", portList, "COM numbers of the ports, e.g. 1-4,7 (required)")
        ->required()
        ->type_name("LIST")
        ->check(
            [](const std::string& text) {
                std::vector<int> ports;
                return st::ParsePortList(text, &ports)
                           ? std::string()
                           : "expected COM numbers from 1 to 255 and ranges, e.g. 1-4,7, not \"" +
                                 text + "\"";
            },
            "");
    app.add_option("--device", deviceBindings,
                   "Use device PATH for port N instead of resolving COMN (e.g. a "
                   "/dev/serial/by-id/... name); may be repeated")
        ->type_name("N=PATH");
    // The numbers are read by the checks vbcflash-cli uses too (decimal, whatever the zeros).
    std::string product;
    std::string speed;
    auto* productOpt =
        app.add_option("--product", product, "Product type 1 or 2 (default 2)")
            ->type_name("N")
            ->check([](const std::string& text) { return vbc::cli::CheckProduct(text, nullptr); },
                    "");
    app.add_option("--wait-states", waitStates,
                   "Wait states of chip selects 0 to 3, each 0 to 4 (default 0,0,0,0)")
        ->type_name("W0,W1,W2,W3")
        ->check([](const std::string& text) { return vbc::cli::CheckWaitStates(text, nullptr); },
                "");
    auto* speedOpt =
        app.add_option("--speed", speed,
                       "Row of the speed table for the download, 0 to 8 (default 1: 115200 bit/s)")
            ->type_name("ROW")
            ->check([](const std::string& text) { return vbc::cli::CheckSpeedRow(text, nullptr); },
                    "");
    app.add_flag("--verify", settings.verify, "Read every phone's flash back after writing");
    app.add_flag("--once", settings.once, "Each port stops after one logged phone; then exit");
    app.add_option("--log", logPath, "Append a record of every phone here (default station.jsonl)")
        ->type_name("FILE");
    app.add_option("--db", database,
                   "Record every phone in this SQLite file (default station.db), or in the "
                   "PostgreSQL database of a connection string (postgresql://USER@HOST/DB)")
        ->type_name("FILE|URL");
    app.add_option("--read-id", readId,
                   "Read LENGTH bytes from OFFSET of each phone's flash before writing and record "
                   "them as its flash_id (each decimal or 0x hexadecimal)")
        ->type_name("OFFSET:LENGTH")
        ->check(
            [](const std::string& text) { return vbc::cli::CheckRange(text, nullptr, nullptr); },
            "");
    app.add_option("-C", directory, "Change to DIR before anything else")->type_name("DIR");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return Usage(e.what());
    }
    st::ParsePortList(portList, &settings.ports);
    if (productOpt->count() > 0) vbc::cli::CheckProduct(product, &settings.product);
    if (speedOpt->count() > 0) vbc::cli::CheckSpeedRow(speed, &settings.speedRow);
    if (!waitStates.empty()) vbc::cli::ParseWaitStates(waitStates, &settings.waitStates);
    for (const std::string& binding : deviceBindings) {
        const auto eq = binding.find('=');
        int n = 0;
        if (eq == std::string::npos || !vbc::cli::ParseDecimal(binding.substr(0, eq), 1, 255, &n) ||
            eq + 1 == binding.size())
            return Usage("--device: expected N=PATH, e.g. 3=/dev/serial/by-id/usb-...");
        if (std::find(settings.ports.begin(), settings.ports.end(), n) == settings.ports.end())
            return Usage("--device " + binding + ": port " + std::to_string(n) +
                         " is not in --ports");
        if (!settings.devices.emplace(n, binding.substr(eq + 1)).second)
            return Usage("--device: port " + std::to_string(n) + " is bound twice");
    }
    if (file.empty()) return Usage("the software FILE is an empty name");
    if (database.empty()) return Usage("--db: the database is an empty name");
    std::string error;
    if (!directory.empty() && !vbc::platform::ChangeDirectory(directory, &error))
        return Usage("cannot change to directory '" + directory + "': " + error);

    // flash.txt once, before any port starts, as every worker will read it.
    const std::int32_t flashTxt = vbc::_mfl10_100InitFlashDescription();
    if (flashTxt != vbc::kStatusOk) {
        char text[100];
        std::cerr << kProgram
                  << ": flash.txt: " << vbc::ResultMessage(vbc::ResultFlashFile, flashTxt, text)
                  << "\n";
        return kExitFlashTxt;
    }
    // The bootstrap, as flash.txt: a worker without it fails before any phone answers.
    if (!st::CheckBootstrap(settings.product, &error)) {
        std::cerr << kProgram << ": " << error << "\n";
        return kExitBootstrap;
    }
    // The image, read once: its hash names what every worker writes, from a sealed copy.
    std::vector<std::uint8_t> image;
    if (!vbc::platform::ReadWholeFile(file.c_str(), image))
        return Usage("cannot read the software file '" + file + "': " + std::strerror(errno));
    if (image.empty()) return Usage("the software file '" + file + "' is empty");
    vbc::platform::SealedImage imageHolder;
    if (!st::SetImage(image, file, &settings, &imageHolder, &error)) {
        std::cerr << kProgram << ": " << error << "\n";
        return kExitInternal;
    }
    std::vector<std::uint8_t>().swap(image);

    settings.speedRate = vbc::_a_PCSpeedValue[settings.speedRow];
    settings.silenceLimitMs = st::SilenceLimitMs(settings.speedRate);
    settings.stationName = vbc::platform::HostName();
    settings.logPath = logPath;
    settings.database = database;
    settings.readId = readId;
    settings.workerProgram = st::WorkerBesideProgram();
    if (settings.workerProgram.empty()) {
        std::cerr << kProgram << ": cannot find the worker program "
                  << vbc::platform::ProgramFileName("vbcflash-cli") << " beside "
                  << vbc::platform::OwnProgramPath() << "\n";
        return kExitInternal;
    }

    st::Station station(settings);
    std::size_t torn = 0;
    if (!station.OpenLog(&error, &torn)) {
        std::cerr << kProgram << ": cannot open the log " << error << "\n";
        return kExitLog;
    }
    if (torn > 0)
        std::cerr << kProgram << ": the log " << logPath << " ended in a torn line: its " << torn
                  << " bytes were cut off, every whole record is kept\n";

    st::OpenFailure failure = st::OpenFailure::kNone;
    if (!station.OpenDatabase(&error, &failure)) {
        std::cerr << kProgram << ": cannot use the database "
                  << (st::IsServerTarget(database) ? "server" : database) << ": " << error << "\n";
        return failure == st::OpenFailure::kUnreachable ? kExitUnavailable : kExitLog;
    }

    vbc::platform::CatchStopSignals(OnStopSignal);  // a second Ctrl-C ends the station at once

    const bool live =
        vbc::platform::IsTerminal(stdout) && vbc::platform::EnableTerminalEscapes(stdout);
    if (!live) {
        std::printf("%s %s %s: %s (%llu bytes, sha256 %s), ports",
                    st::IsoUtc(std::chrono::system_clock::now()).c_str(), kProgram, vbc::kVersion,
                    settings.software.c_str(), static_cast<unsigned long long>(settings.bytes),
                    settings.sha256.c_str());
        for (int n : settings.ports) std::printf(" COM%d", n);
        std::printf(", log %s, database %s\n", logPath.c_str(),
                    st::IsServerTarget(database) ? "server" : database.c_str());
        std::fflush(stdout);
    } else {
        std::printf("%s %s: %s (%llu bytes, sha256 %.16s...), log %s\n", kProgram, vbc::kVersion,
                    settings.software.c_str(), static_cast<unsigned long long>(settings.bytes),
                    settings.sha256.c_str(), logPath.c_str());
    }
    Table table;
    UnitInput units;
    std::size_t lastWaiting = 0;
    auto lastDraw = std::chrono::steady_clock::time_point{};
    while (!station.Finished()) {
        bool input = false;
        station.Step(
            250,
            station.Stopping() ? vbc::platform::kNoWaitObject : vbc::platform::JobStopWaitObject(),
            units.Wait(), &input);
        if (input) units.Read(station, live);
        if (vbc::JobStopRequested() && !station.Stopping()) station.Stop();
        if (live) {
            station.TakeEvents();
            const auto now = std::chrono::steady_clock::now();
            if (now - lastDraw >= std::chrono::milliseconds(250)) {
                table.Draw(station);
                lastDraw = now;
            }
        } else {
            PrintEvents(station);
            // The server's record count, each time it changes.
            if (const std::size_t waiting = station.DatabaseWaiting(); waiting != lastWaiting) {
                std::printf("%s database: %s\n",
                            st::IsoUtc(std::chrono::system_clock::now()).c_str(),
                            waiting ? (std::to_string(waiting) + " records waiting").c_str()
                                    : "every record sent");
                std::fflush(stdout);
                lastWaiting = waiting;
            }
        }
    }
    // Records still waiting for the server get a last chance to reach it.
    station.FlushDatabase(kFlushMs);
    if (live) {
        table.Draw(station);
    } else {
        std::printf("%s\n", TotalsText(station).c_str());
    }
    std::fflush(stdout);
    if (const std::size_t waiting = station.DatabaseWaiting(); waiting > 0)
        std::cerr << kProgram << ": database: " << waiting << " records waiting in "
                  << station.SpoolPath() << ": they are sent when the station next runs\n";
    if (!station.LogError().empty()) {
        std::cerr << kProgram << ": " << station.LogError() << "\n";
        return kExitLog;
    }
    if (gStopSignal != 0) return 128 + gStopSignal;
    return station.AllPassed() ? 0 : kExitFailed;
}
