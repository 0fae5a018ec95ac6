// The station windows' shared words: a tile's texts and colour for each state a port goes
// through, the totals, the job settings from the main panel, and what Start refuses (in order)
// before any worker runs.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "station/stationview.h"
#include "testing/programstate.h"
#include "tests/testutil.h"

namespace vbc::test {
namespace {

using station::PortStatus;
using station::State;

TEST(StationView, TileOfEachState) {
    auto port = [](State state) {
        PortStatus p;
        p.port = 3;
        p.state = state;
        p.flash = "ST M36DR864CB";
        p.percent = 40;
        p.rate = 11.5 * 1024;
        p.elapsedSeconds = 75;
        return p;
    };
    PortStatus logged = port(State::kWaiting);
    logged.outcome = "failed";
    logged.lastFlash = "AMD 29DL322";
    logged.lastPercent = 100;
    logged.lastSeconds = 3.9;
    logged.lastMessage = "Problem : Bad checksum";
    logged.passed = 2;
    logged.failed = 1;
    logged.stopped = 1;
    logged.phoneUnit = "SN-1";
    logged.unit = "SN-2";
    PortStatus noPort = port(State::kNoPort);
    noPort.note = "cannot open COM3";
    PortStatus noPortLogged = noPort;
    noPortLogged.outcome = "passed";
    PortStatus stopped = port(State::kStopped);
    stopped.outcome = "stopped";
    stopped.unit = "SN-9";
    struct Row {
        PortStatus port;
        const char *state, *detail, *colour, *flash;
        int percent;
        const char *rate, *elapsed, *counts, *unit;
    };
    const Row rows[] = {
        {port(State::kWaiting), "waiting for a phone", "", "#546e7a", "", 0, "", "",
         "passed 0 \u00B7 failed 0", ""},
        {port(State::kBooting), "booting", "", "#1565c0", "ST M36DR864CB", 40, "11.5 KiB/s", "1:15",
         "passed 0 \u00B7 failed 0", ""},
        {port(State::kVerifying), "verifying", "", "#6a1b9a", "ST M36DR864CB", 40, "11.5 KiB/s",
         "1:15", "passed 0 \u00B7 failed 0", ""},
        {logged, "failed", "waiting for the next phone", "#c62828", "AMD 29DL322", 100, "", "0:03",
         "passed 2 \u00B7 failed 1 \u00B7 stopped 1", "unit SN-1 \u00B7 next SN-2"},
        {noPort, "no port", "cannot open COM3", "#8d6e00", "", 0, "", "",
         "passed 0 \u00B7 failed 0", ""},
        {noPortLogged, "passed", "port unavailable: cannot open COM3", "#2e7d32", "", 0, "", "",
         "passed 0 \u00B7 failed 0", ""},
        {stopped, "stopped", "", "#e65100", "", 0, "", "", "passed 0 \u00B7 failed 0", "next SN-9"},
    };
    for (const Row& r : rows) {
        const station::TileView v = station::ViewOf(r.port);
        SCOPED_TRACE(r.state);
        EXPECT_EQ(v.port, 3);
        EXPECT_EQ(v.state, r.state);
        EXPECT_EQ(v.detail, r.detail);
        EXPECT_EQ(v.colour, r.colour);
        EXPECT_EQ(v.flash, r.flash);
        EXPECT_EQ(v.percent, r.percent);
        EXPECT_EQ(v.rate, r.rate);
        EXPECT_EQ(v.elapsed, r.elapsed);
        EXPECT_EQ(v.counts, r.counts);
        EXPECT_EQ(v.unit, r.unit);
    }
}

TEST(StationView, GridCloseQuestionAndIdleTexts) {
    const std::pair<std::size_t, int> columns[] = {{1, 1}, {2, 2},  {4, 2}, {5, 3},
                                                   {9, 3}, {10, 4}, {16, 4}};
    for (const auto& [tiles, expected] : columns) EXPECT_EQ(station::TileColumns(tiles), expected);

    std::vector<PortStatus> ports(4);
    for (int i = 0; i < 4; ++i) ports[i].port = i + 1;
    EXPECT_EQ(station::CloseQuestion(ports), "");
    ports[1].state = State::kWriting;
    ports[3].state = State::kBooting;
    ports[2].state = State::kPassed;
    EXPECT_EQ(station::CloseQuestion(ports),
              "Phones are being written on COM2, COM4. Stop them and close the station? Their "
              "flash may then hold part of the software.");
    EXPECT_EQ(station::TotalsText(nullptr), "Passed 0   Failed 0   Stopped 0");
}

// The main panel's context, flash.txt and bootstrap as the desktop program holds them.
class StationStart : public ::testing::Test {
  protected:
    StationStart() { Ready(); }
    ~StationStart() override {
        _sg_DownloadContext.fileBuffer = nullptr;  // not the context's to free
        ResetProgramState();
    }
    // A setup Start takes.
    void Ready() {
        _sg_DownloadContext.fileBuffer = nullptr;
        ResetProgramState();
        // Removed first: MinGW's copy_file refuses to overwrite.
        std::filesystem::remove("mfl104_4.spm");
        std::filesystem::copy_file(std::filesystem::path(VBC_SOURCE_DIR) / "examples/mfl104_4.spm",
                                   "mfl104_4.spm");
        static std::uint8_t bytes[] = "0123456789abcdef";
        DownloadContext& c = _sg_DownloadContext;
        c.productType = 1;
        c.speedIndex = 1;
        c.csWaitStates[1] = 3;
        c.fileBuffer = bytes;
        c.fileSize = 16;
        std::strcpy(c.claFileName, "/media/sw/phone.cla");
        _vg_FlashDescritpion.count = 1;
        form = {};
        form.ports = {1, 2};
        form.logPath = "station.jsonl";
        form.database = "station.db";
        form.workerProgram = "vbcflash-cli";
    }
    std::string Start() {
        station.reset();
        return station::StartStation(form, &image, &station);
    }

    ScratchDir dir;
    station::StartForm form;
    station::ImageHolder image;
    std::unique_ptr<station::Station> station;
};

TEST_F(StationStart, JobSettingsTextFollowsTheMainPanel) {
    EXPECT_EQ(station::JobSettingsText(nullptr),
              "Software: phone.cla (16 bytes)\nProduct type: 1\nWait states: 0,3,0,0\nLine "
              "speed: 115200 bit/s (row 1)\nVerify after writing: no");
    _sg_DownloadContext.fileBuffer = nullptr;
    EXPECT_EQ(station::JobSettingsText(nullptr).substr(0, 46),
              "Software: \u2014 (load a file in the main panel)\n");
}

// Each row spoils one thing of a setup Start takes: Start refuses with its text (in this order
// of checks) and starts nothing. Then the setup starts, with the running settings shown.
TEST_F(StationStart, RefusesEachFaultThenStarts) {
    std::filesystem::create_directory("adir");
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[] { _sg_DownloadContext.fileBuffer = nullptr; },
         "Load a software file in the main panel first."},
        {[] { _sg_DownloadContext.productType = 3; },
         "Choose product type 1 or 2 in the main panel first."},
        {[] { _sg_DownloadContext.speedIndex = -1; },
         "Choose a line speed in the main panel first."},
        {[] { _vg_FlashDescritpion.count = 0; },
         "flash.txt describes no flash: the phones cannot be written. Mend flash.txt and "
         "restart the program."},
        {[] { std::filesystem::remove("mfl104_4.spm"); }, "The phones cannot be booted: "},
        {[this] { form.ports.clear(); }, "Choose at least one port."},
        {[this] { form.ports.clear(), form.allPorts = true; }, "No serial port is present."},
        {[this] { form.workerProgram.clear(); },
         "Cannot find the worker program vbcflash-cli beside this program or on PATH."},
        {[this] { form.logPath.clear(); }, "Give the log file a name."},
        {[this] { form.database.clear(); }, "Give the database a name."},
        {[this] { form.readId = "7:", form.readIdProblem = "no length"; },
         "Read identity: no length"},
        {[this] { form.logPath = "adir"; }, "Cannot open the log "},
    };
    for (const auto& [spoil, refusal] : rows) {
        Ready();
        spoil();
        const std::string got = Start();
        EXPECT_EQ(got.substr(0, refusal.size()), refusal);
        EXPECT_FALSE(station);
    }
    EXPECT_FALSE(std::filesystem::exists("station.jsonl"));
    Ready();
    ASSERT_EQ(Start(), "");
    ASSERT_TRUE(station);
    EXPECT_EQ(station->GetSettings().ports, (std::vector<int>{1, 2}));
    const std::string job = station::JobSettingsText(station.get());
    EXPECT_EQ(job.substr(0, 46), "Software: phone.cla (16 bytes)\nSHA-256: 9f9f51");
    EXPECT_EQ(station::TotalsText(station.get()), "Passed 0   Failed 0   Stopped 0   0.0 phones/h");
}

}  // namespace
}  // namespace vbc::test
