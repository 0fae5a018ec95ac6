#include "station/stationview.h"

#include <cstdio>
#include <filesystem>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "platform/jobstop.h"
#include "platform/process.h"
#include "platform/serial.h"

namespace vbc::station {
namespace {

constexpr const char* kDot = "\u00B7";

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Duration(double seconds) {
    const int s = static_cast<int>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

bool Busy(State state) {
    return state == State::kBooting || state == State::kWriting || state == State::kVerifying;
}

// The state a tile shows: the job under way, else the last phone's outcome until the next phone
// boots (an operator reads the result off the tile when unplugging), else what the port waits on.
void ShowState(const PortStatus& p, TileView* v) {
    const bool logged = !p.outcome.empty();
    const char* outcomeColour = p.outcome == "passed"   ? "#2e7d32"
                                : p.outcome == "failed" ? "#c62828"
                                                        : "#e65100";
    auto set = [v](std::string state, std::string detail, const char* colour) {
        v->state = std::move(state);
        v->detail = std::move(detail);
        v->colour = colour;
    };
    switch (p.state) {
        case State::kBooting:
            return set("booting", "", "#1565c0");
        case State::kWriting:
            return set("writing", "", "#1565c0");
        case State::kVerifying:
            return set("verifying", "", "#6a1b9a");
        case State::kPassed:
        case State::kFailed:
        case State::kStopped:
            return set(p.outcome, "", outcomeColour);
        case State::kNoPort:
            if (logged) return set(p.outcome, "port unavailable: " + p.note, outcomeColour);
            return set("no port", p.note, "#8d6e00");
        case State::kWaiting:
            break;
    }
    if (logged) return set(p.outcome, "waiting for the next phone", outcomeColour);
    set("waiting for a phone", "", "#546e7a");
}

}  // namespace

const char* const kTileHint =
    "Choose the ports and press Start.\nEach port then waits for a phone; plug phones in at any "
    "time.";

TileView ViewOf(const PortStatus& p) {
    TileView v;
    v.port = p.port;
    v.device = p.device;
    ShowState(p, &v);
    const bool busy = Busy(p.state);
    v.flash = busy ? p.flash : p.lastFlash;
    v.percent = busy ? p.percent : p.lastPercent;
    if (busy && p.rate > 0) v.rate = Format("%.1f KiB/s", p.rate / 1024);
    const double seconds = busy ? p.elapsedSeconds : p.lastSeconds;
    if (seconds > 0) v.elapsed = Duration(seconds);
    v.message = p.lastMessage;
    v.counts =
        "passed " + std::to_string(p.passed) + " " + kDot + " failed " + std::to_string(p.failed);
    if (p.stopped > 0)
        v.counts += std::string(" ") + kDot + " stopped " + std::to_string(p.stopped);
    if (!p.phoneUnit.empty()) v.unit = "unit " + p.phoneUnit;
    if (!p.unit.empty())
        v.unit +=
            (v.unit.empty() ? std::string() : std::string(" ") + kDot + " ") + "next " + p.unit;
    return v;
}

std::string TotalsText(const Station* station) {
    if (!station) return "Passed 0   Failed 0   Stopped 0";
    const Totals t = station->GetTotals();
    std::string text = "Passed " + std::to_string(t.passed) + "   Failed " +
                       std::to_string(t.failed) + "   Stopped " + std::to_string(t.stopped) +
                       "   " + Format("%.1f", t.phonesPerHour) + " phones/h";
    if (const std::size_t waiting = station->DatabaseWaiting(); waiting > 0)
        text += "\ndatabase: " + std::to_string(waiting) + " records waiting";
    return text;
}

Settings SettingsFromMainPanel() {
    const DownloadContext& c = _sg_DownloadContext;
    Settings s;
    s.product = c.productType;
    for (int i = 0; i < 4; ++i) s.waitStates[i] = c.csWaitStates[i];
    s.speedRow = c.speedIndex;
    s.speedRate =
        c.speedIndex >= 0 && c.speedIndex < NB_PC_SPEED_VALUES ? _a_PCSpeedValue[c.speedIndex] : 0;
    s.verify = c.verifyOption == 1;
    s.software = c.claFileName;
    s.bytes = c.fileBuffer ? static_cast<std::uint64_t>(c.fileSize) : 0;
    return s;
}

std::string JobSettingsText(const Station* running) {
    const Settings s = running ? running->GetSettings() : SettingsFromMainPanel();
    std::string text;
    if (s.software.empty() || (!running && s.bytes == 0)) {
        text = "Software: \u2014 (load a file in the main panel)";
    } else {
        text = "Software: " + std::filesystem::path(s.software).filename().string() + " (" +
               std::to_string(s.bytes) + " bytes)";
        if (running) text += "\nSHA-256: " + s.sha256.substr(0, 16) + "...";
    }
    const auto& w = s.waitStates;
    text += "\nProduct type: " + std::to_string(s.product);
    text += "\nWait states: " + std::to_string(w[0]) + "," + std::to_string(w[1]) + "," +
            std::to_string(w[2]) + "," + std::to_string(w[3]);
    text += "\nLine speed: " + std::to_string(s.speedRate) + " bit/s (row " +
            std::to_string(s.speedRow) + ")";
    text += std::string("\nVerify after writing: ") + (s.verify ? "yes" : "no");
    return text;
}

int TileColumns(std::size_t n) {
    int c = 1;
    while (static_cast<std::size_t>(c * c) < n) ++c;
    return c;
}

std::string StartStation(const StartForm& form, ImageHolder* image,
                         std::unique_ptr<Station>* station) {
    Settings s = SettingsFromMainPanel();
    const DownloadContext& c = _sg_DownloadContext;
    if (!c.fileBuffer || c.claFileName[0] == '\0')
        return "Load a software file in the main panel first.";
    if (s.product != 1 && s.product != 2)
        return "Choose product type 1 or 2 in the main panel first.";
    if (s.speedRate == 0) return "Choose a line speed in the main panel first.";
    if (_vg_FlashDescritpion.count <= 0)
        return "flash.txt describes no flash: the phones cannot be written. Mend flash.txt and "
               "restart the program.";
    std::string error;
    if (!CheckBootstrap(s.product, &error)) return "The phones cannot be booted: " + error;
    s.ports = form.ports;
    if (s.ports.empty())
        return form.allPorts ? "No serial port is present." : "Choose at least one port.";
    // A port this program holds (the service panel's Switch on) would only ever be busy to a
    // worker: the operator frees it first.
    for (int n : s.ports) {
        if (platform::PortIsOpen(n))
            return "COM" + std::to_string(n) +
                   " is open in this program (the service panel switched a phone on there). "
                   "Switch it off, or choose other ports.";
    }
    if (JobRunning())
        return "A job of the main panel is running. Start the station when it has ended.";
    s.workerProgram = form.workerProgram;
    if (s.workerProgram.empty())
        return "Cannot find the worker program vbcflash-cli beside this program or on PATH.";
    s.logPath = form.logPath;
    if (s.logPath.empty()) return "Give the log file a name.";
    s.database = form.database;
    if (s.database.empty()) return "Give the database a name.";
    s.readId = form.readId;
    if (!s.readId.empty() && !form.readIdProblem.empty())
        return "Read identity: " + form.readIdProblem;

    // The image the main panel holds, as it holds it now.
    const std::vector<std::uint8_t> bytes(c.fileBuffer, c.fileBuffer + c.fileSize);
    *image = ImageHolder();
    if (!SetImage(bytes, c.claFileName, &s, image, &error))
        return "Cannot hand the software to the workers: " + error;
    s.silenceLimitMs = SilenceLimitMs(s.speedRate);
    s.stationName = platform::HostName();

    auto started = std::make_unique<Station>(s);
    if (!started->OpenLog(&error)) {
        *image = ImageHolder();
        return "Cannot open the log " + error;
    }
    OpenFailure failure = OpenFailure::kNone;
    if (!started->OpenDatabase(&error, &failure)) {
        *image = ImageHolder();
        return "Cannot use the database " +
               (IsServerTarget(s.database) ? std::string("server") : s.database) + ": " + error;
    }
    *station = std::move(started);
    return "";
}

std::string CloseQuestion(const std::vector<PortStatus>& ports) {
    std::string busy;
    for (const PortStatus& p : ports) {
        if (Busy(p.state)) busy += (busy.empty() ? "COM" : ", COM") + std::to_string(p.port);
    }
    if (busy.empty()) return "";
    return "Phones are being written on " + busy +
           ". Stop them and close the station? Their flash may then hold part of the software.";
}

std::string LogErrorText(const Station& station) {
    return "The station stopped: " + station.LogError();
}

}  // namespace vbc::station
