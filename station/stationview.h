// What the desktop programs' station windows (Qt and Win32) share beyond their widgets: the
// words and colour of a port's tile, the totals line, the job settings as the main panel holds
// them, and Start: its checks, each refusal's text, and the station it starts. Plain UTF-8
// strings; the windows only draw them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "station/station.h"

namespace vbc::station {

// What one port's tile shows, in words.
struct TileView {
    int port = 0;
    std::string device;
    std::string state;   // "waiting for a phone", "booting", "writing", ..., "passed", "failed"
    std::string detail;  // "waiting for the next phone", why the port cannot be used
    std::string flash;
    int percent = 0;
    std::string rate;
    std::string elapsed;
    std::string message;  // the last result's
    std::string counts;   // "passed 2 · failed 1"
    std::string unit;     // "unit SN-1", "next SN-2", both, or ""
    std::string colour;   // "#2e7d32": the state's, for its band and the tile's border
};

TileView ViewOf(const PortStatus& port);

// "Passed 2   Failed 1   Stopped 0   12.0 phones/h", and a second line while records wait for
// the database server. Without a station: the zeros.
std::string TotalsText(const Station* station);

// The text of the "Job (from the main panel)" box: the running station's settings, else the
// main panel's now.
std::string JobSettingsText(const Station* running);

// The main panel's job settings, as the station takes them at Start.
Settings SettingsFromMainPanel();

// Columns of the tile grid for n tiles: 1, 2 (up to 4), 3 (up to 9), 4 (up to 16).
int TileColumns(std::size_t n);

// What the tile area says before Start.
extern const char* const kTileHint;

// What the operator gave in the window.
struct StartForm {
    std::vector<int> ports;  // the chosen port boxes
    bool allPorts = false;   // "All serial ports"
    std::string logPath;
    std::string database;
    std::string readId;
    // cli::CheckRange's answer for readId ("" when it is fine); the front end asks it, as the
    // option texts live with the programs.
    std::string readIdProblem;
    std::string workerProgram;  // "" when none was found
};

// The sealed copy of the image the workers read, kept while the station runs.
using ImageHolder = platform::SealedImage;

// Checks the main panel's job and the form, hands the image to the workers and opens the log
// and the database. The refusal to show the operator, or "" with *station ready to Step.
std::string StartStation(const StartForm& form, ImageHolder* image,
                         std::unique_ptr<Station>* station);

// What the close box asks while phones are being written, "" when none is.
std::string CloseQuestion(const std::vector<PortStatus>& ports);
// The message shown once when the log or the database fails during the run.
std::string LogErrorText(const Station& station);

}  // namespace vbc::station
