// The download sequence end to end: the real boot and the sequence over a pseudo-terminal,
// against the simulated phone, from the loaded software file to the flash content.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/mfl3spm10.h"
#include "data/mfl10fla.h"
#include "data/mfl51loadfile.h"
#include "link/mfl12pclib.h"
#include "link/mfl1boot.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "sim/simulator.h"
#include "tests/flashtxt.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// Manufacturer 0x20, device 0xCA: two 8 KiB sectors, then two of 16 KiB.
const std::string kFlashTxt = test::FlashTxt({
    {.manufacturerName = "TEST",
     .deviceName = "SMALL",
     .manufacturerId = "32",
     .deviceId = "202",
     .sectorCount = "4",
     .sectors = {"0-1*8192*0", "2-3*16384*0"}},
});
constexpr std::size_t kFlashSize = 0xC000;

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + (i >> 9));
    return s;
}

class SequenceOnSimulator : public ::testing::Test {
  protected:
    SequenceOnSimulator() {
        test::WriteFile("flash.txt", kFlashTxt);
        test::WriteFile("mfl104_5.spm", Pattern(700));
        EXPECT_EQ(_mfl10_100InitFlashDescription(), 1);
    }
    ~SequenceOnSimulator() override {
        platform::CloseAllPorts();
        if (sim) sim->Stop();
    }

    void StartSimulator() {
        options.flashTxt = "flash.txt";
        sim = std::make_unique<sim::Simulator>(options);
        std::string why;
        ASSERT_TRUE(sim->Start(&why)) << why;
    }

    // Start as the operator presses it: the time stamps, the boot on the global context, the
    // sequence on a copy, the port released.
    DownloadResult Job(const std::string& software) {
        test::WriteFile("phone.cla", software);
        std::strcpy(_sg_DownloadContext.claFileName, "phone.cla");
        _mfl51_0InitLoadFile();
        EXPECT_EQ(_sg_DownloadContext.fileSize, static_cast<std::int32_t>(software.size()));
        _sg_DownloadContext.startTime = static_cast<std::int32_t>(Time());
        _sg_DownloadContext.stepTime = _sg_DownloadContext.startTime;
        DownloadResult r{-1, -1};
        _mfl1_0boot(&r, &_sg_DownloadContext);
        booted = r.category == 0;
        EXPECT_TRUE(booted) << "boot result (" << r.category << ", " << r.code << ")";
        if (booted) _mfl3_0Generic4410(&r, _sg_DownloadContext);
        _mfl12_1UartStop(static_cast<std::uint8_t>(_sg_DownloadContext.comPort));
        if (booted) {
            EXPECT_TRUE(sim->WaitJobDone(20s));
        }
        return r;
    }

    test::ScratchDir dir;
    test::MainPanelUp ui;
    sim::SimulatorOptions options;
    std::unique_ptr<sim::Simulator> sim;
    bool booted = false;
};

TEST_F(SequenceOnSimulator, WholeJobWritesTheFileAndSwitchesThePhoneOff) {
    StartSimulator();
    const std::string software = Pattern(8192 + 16384 + 333);
    const DownloadResult r = Job(software);
    ASSERT_TRUE(booted);
    EXPECT_EQ(r.category, ResultSuccess);
    EXPECT_EQ(r.code, 0);

    const sim::JobReport job = sim->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff);
    EXPECT_EQ(job.sectorsWritten, 3);
    EXPECT_EQ(job.resends, 0);
    EXPECT_THAT(job.notes, ::testing::IsEmpty());
    Bytes expected(kFlashSize, 0xFF);
    std::memcpy(expected.data(), software.data(), software.size());
    EXPECT_EQ(sim->FlashImage(), expected);

    const auto comments = ui.Comments();
    ASSERT_GE(comments.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(comments.end() - 3, comments.end()),
                ElementsAre(" Check the compatibility ", " Download sector by sector ",
                            " You do not need to remove the battery to start the mobile "));
    const std::string status = ui.rec.TextAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT);
    EXPECT_THAT(status, ::testing::MatchesRegex("[0-9]+ min [0-9]+ sec"));
    EXPECT_EQ(ui.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
}

TEST_F(SequenceOnSimulator, SectorThatKeepsFailingLeavesThePhoneOn) {
    options.phone.faults.sectorFail.Add(1, sim::kAny, 0x33);
    StartSimulator();
    const DownloadResult r = Job(Pattern(8192 * 3));
    ASSERT_TRUE(booted);
    EXPECT_EQ(r.category, ResultSectorDownload);
    EXPECT_EQ(r.code, 0x33);
    const sim::JobReport job = sim->LastJob();
    EXPECT_NE(job.end, sim::JobEnd::kSwitchedOff);
    EXPECT_EQ(job.sectorsWritten, 1);
    EXPECT_EQ(ui.Comments().back(), " Remove the battery of the mobile  ");
}

TEST_F(SequenceOnSimulator, PmuOptionAndAnotherDownloadType) {
    StartSimulator();
    _sg_DownloadContext.pmuOption = 1;
    _sg_DownloadContext.downloadType = 3;
    const DownloadResult r = Job(Pattern(100));
    ASSERT_TRUE(booted);
    EXPECT_EQ(r.category, ResultDownloadError);
    EXPECT_EQ(r.code, 0);
    const sim::JobReport job = sim->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kPcClosed);
    EXPECT_EQ(job.speedChanges, 1);
    EXPECT_EQ(job.sectorWrites, 0);
    EXPECT_THAT(job.notes, ::testing::IsEmpty());
    EXPECT_EQ(sim->FlashImage(), Bytes(kFlashSize, 0xFF));
    EXPECT_EQ(ui.Comments().back(), " Remove the battery of the mobile  ");
}

// ---- read back after writing (the CLI's end-to-end tests cover a stuck cell and the dump) ----

TEST_F(SequenceOnSimulator, VerifyRetriesANoisyReadAndPasses) {
    options.phone.faults.readNoise = 0x2100;
    StartSimulator();
    _sg_DownloadContext.verifyOption = 1;
    const DownloadResult r = Job(Pattern(8192 + 16384 + 333));
    ASSERT_TRUE(booted);
    EXPECT_EQ(r.category, ResultSuccess) << r.code;
    const sim::JobReport job = sim->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff);
    EXPECT_THAT(job.notes, ElementsAre("fault: read noise at 0x2100"));
    const auto comments = ui.Comments();
    ASSERT_GE(comments.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(comments.end() - 4, comments.end()),
                ElementsAre(" Download sector by sector ", " Verify ",
                            " Read error 19 at 0x00800000 -> read again ",
                            " You do not need to remove the battery to start the mobile "));
    EXPECT_EQ(ui.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
}

}  // namespace
}  // namespace vbc
