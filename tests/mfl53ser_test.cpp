// The service panel: the known-flash lines, one panel at a time, switch on and switch off on
// the scripted line (bytes on the wire, panels, what is left behind after a failure), and
// both commands end to end against the simulated phone.
#include "ui/mfl53ser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "data/mfl10fla.h"
#include "link/mfl12pclib.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "sim/simulator.h"
#include "testing/scriptedserial.h"
#include "tests/flashtxt.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::Bytes;
using platform::Hex;
using platform::ScriptedLine;
using Lines = std::vector<std::string>;

FlashDescription Flash(const char* manufacturer, const char* device, int manufacturerId,
                       int deviceId, int banks, int sectors) {
    FlashDescription f{};
    std::snprintf(f.manufacturerName, sizeof f.manufacturerName, "%s", manufacturer);
    std::snprintf(f.deviceName, sizeof f.deviceName, "%s", device);
    f.manufacturerId = static_cast<std::uint8_t>(manufacturerId);
    f.deviceId = static_cast<std::uint8_t>(deviceId);
    f.bankCount = static_cast<std::uint8_t>(banks);
    f.sectorCount = static_cast<std::uint16_t>(sectors);
    return f;
}

TEST(KnownFlashLine, FixedColumnsLowerCaseHexAndATrailingBlank) {
    struct Case {
        FlashDescription flash;
        const char* line;
    };
    const Case cases[] = {
        {Flash("ST", "M36DR864CB", 0x20, 0xCA, 2, 135),
         "             ST |    M36DR864CB |            0x20 |      0xca |       2 |     135 "},
        {Flash("INTEL", "28F640", 0x89, 0x17, 1, 64),
         "          INTEL |        28F640 |            0x89 |      0x17 |       1 |      64 "},
        // Codes below 0x10 are padded with a blank after the "0x"; small counts with blanks.
        {Flash("A", "B", 0x1, 0xF, 16, 7),
         "              A |             B |            0x 1 |      0x f |      16 |       7 "},
        // Fourteen characters, the most a name holds: the fields grow, nothing is cut.
        {Flash("MANUFACTURER14", "DEVICENAME__14", 0xFF, 0x00, 99, 200),
         " MANUFACTURER14 | DEVICENAME__14 |            0xff |      0x 0 |      99 |     200 "},
    };
    for (const Case& c : cases) {
        char buffer[100];
        EXPECT_STREQ(FormatKnownFlashLine(c.flash, buffer), c.line);
        EXPECT_EQ(buffer[std::strlen(buffer) - 1], ' ');
    }
}

TEST(KnownFlashLine, ANameThatFillsItsWholeFieldIsNeverReadPastIt) {
    FlashDescription f = Flash("", "", 1, 2, 1, 1);
    std::memset(f.manufacturerName, 'M', FLASH_NAME_SIZE);  // no terminator at all
    std::memset(f.deviceName, 'D', FLASH_NAME_SIZE);
    char buffer[100];
    EXPECT_STREQ(
        FormatKnownFlashLine(f, buffer),
        " MMMMMMMMMMMMMM | DDDDDDDDDDDDDD |            0x 1 |      0x 2 |       1 |       1 ");
}

// Manufacturer 0x20: devices 0xCA (two sectors) and 0x10 (three sectors).
const std::string kFlashTxt = test::FlashTxt({
    {.manufacturerName = "ST",
     .deviceName = "M36DR864CB",
     .manufacturerId = "32",
     .deviceId = "202",
     .banks = "2",
     .sectorCount = "2",
     .sectors = {"0*8192*0", "1*65536*1"}},
    {.manufacturerName = "ST",
     .deviceName = "M58WR064ET",
     .manufacturerId = "32",
     .deviceId = "16",
     .sectorCount = "3",
     .sectors = {"0-2*65536*0"}},
});
const Lines kKnownLines = {
    "             ST |    M36DR864CB |            0x20 |      0xca |       2 |       2 ",
    "             ST |    M58WR064ET |            0x20 |      0x10 |       1 |       3 ",
};

// The main panel up on a recording toolkit, flash.txt read, no service panel yet.
class ServicePanel : public ::testing::Test {
  protected:
    ServicePanel() {
        test::WriteFile("flash.txt", kFlashTxt);
        EXPECT_EQ(_mfl10_100InitFlashDescription(), 1);
        ForgetServicePanel();
        RegisterServiceCallbacks();
        // A test before this one in the same process may have left the panel locked.
        if (MainPanelLocked()) _mfl52_6UnlockAfterDownload();
        ui.rec.ClearLog();
    }
    ~ServicePanel() override {
        platform::CloseAllPorts();
        ForgetServicePanel();
        _vg_FlashDescritpion.count = 0;
    }

    platform::RecordingToolkit& Rec() { return ui.rec; }
    std::vector<int> ServicePanels() const { return ui.rec.LivePanels(kMmiUir, PANEL_SERVICE); }
    int FireSwitchOn(int event = EVENT_COMMIT) {
        return Rec().FireControl("_mfl53_10SwitchOnMobile", _v_ServicePanel, SERVICE_SWITCH_ON,
                                 event);
    }
    int FireSwitchOff(int event = EVENT_COMMIT) {
        return Rec().FireControl("_mfl53_11SwitchOffMobile", _v_ServicePanel, SERVICE_SWITCH_OFF,
                                 event);
    }
    int FireClose(int event = EVENT_CLOSE) {
        return Rec().FirePanel("_mfl53_16ServicePanelQuit", _v_ServicePanel, event);
    }
    std::string FlashLabel() const { return ui.rec.CtrlText(_v_ServicePanel, SERVICE_FLASH_LABEL); }
    Lines KnownLines() const { return ui.rec.ListLines(_v_ServicePanel, SERVICE_KNOWN_FLASH_LIST); }

    test::ScratchDir dir;
    test::MainPanelUp ui;
};

TEST_F(ServicePanel, OpensOnceWithTheKnownFlashLinesAndClosesBackToNone) {
    EXPECT_EQ(_v_ServicePanel, -1);
    const int handle = OpenServicePanel();
    ASSERT_GT(handle, 0);
    EXPECT_EQ(_v_ServicePanel, handle);
    EXPECT_EQ(ServicePanels(), std::vector<int>{handle});
    EXPECT_TRUE(Rec().IsDisplayed(handle));
    EXPECT_EQ(KnownLines(), kKnownLines);
    EXPECT_EQ(FlashLabel(), "");

    // The Service command again: the same panel comes to the front, nothing is added.
    EXPECT_EQ(OpenServicePanel(), handle);
    EXPECT_EQ(ServicePanels(), std::vector<int>{handle});
    EXPECT_EQ(Rec().Calls("DisplayPanel").back().panel, handle);
    EXPECT_EQ(KnownLines(), kKnownLines);

    // Only the close event closes it; the count of sectors goes back to 0.
    _mv_NbSectorsDisplayService = 5;
    EXPECT_EQ(FireClose(EVENT_COMMIT), 0);
    EXPECT_EQ(_v_ServicePanel, handle);
    EXPECT_EQ(FireClose(), 0);
    EXPECT_EQ(_v_ServicePanel, -1);
    EXPECT_EQ(_mv_NbSectorsDisplayService, 0);
    EXPECT_TRUE(Rec().IsDiscarded(handle));
    EXPECT_TRUE(ServicePanels().empty());

    // A new panel is a fresh copy, its list filled again.
    const int again = OpenServicePanel();
    EXPECT_NE(again, handle);
    EXPECT_EQ(KnownLines(), kKnownLines);
    EXPECT_TRUE(Rec().Errors().empty()) << ::testing::PrintToString(Rec().Errors());
}

TEST_F(ServicePanel, TheServiceMenuItemOpensItOneAtATime) {
    RegisterMmiCallbacks();
    for (int i = 0; i < 2; ++i) {
        Rec().FireMenu("_mfl51_150MMIMenuService", _v_MenuBarHandle, 150, _v_Panel);
        ASSERT_EQ(ServicePanels().size(), 1u);
        EXPECT_EQ(ServicePanels().front(), _v_ServicePanel);
        EXPECT_TRUE(Rec().IsDisplayed(_v_ServicePanel));
    }
    EXPECT_EQ(KnownLines(), kKnownLines);
}

TEST_F(ServicePanel, WithoutFlashTxtTheListIsEmpty) {
    _vg_FlashDescritpion.count = 0;
    OpenServicePanel();
    EXPECT_TRUE(KnownLines().empty());
    _mfl53_0DisplayFlashKnown();
    EXPECT_TRUE(KnownLines().empty());
}

TEST_F(ServicePanel, DisplayFlashKnownWithoutAPanelTouchesNothing) {
    _mfl53_0DisplayFlashKnown();
    EXPECT_TRUE(Rec().Log().empty());
}

TEST_F(ServicePanel, CallbacksAreInTheToolkitsTableByName) {
    const platform::CallbackEntry* on = platform::FindCallback("_mfl53_10SwitchOnMobile");
    const platform::CallbackEntry* off = platform::FindCallback("_mfl53_11SwitchOffMobile");
    const platform::CallbackEntry* quit = platform::FindCallback("_mfl53_16ServicePanelQuit");
    ASSERT_TRUE(on && off && quit);
    EXPECT_EQ(on->control, &_mfl53_10SwitchOnMobile);
    EXPECT_EQ(off->control, &_mfl53_11SwitchOffMobile);
    EXPECT_EQ(quit->panel, &_mfl53_16ServicePanelQuit);
}

// A phone on the scripted line that boots (product type 2), reports flash 0x20/0xCA and takes
// the speed change to 115200 bit/s.
class ServiceLine : public ServicePanel {
  protected:
    ServiceLine() {
        test::WriteFile("mfl104_5.spm", std::string(40, '\x11'));
        OpenServicePanel();
        Rec().ClearLog();
    }
    void Boots(const std::string& identification = "44 A0 02 05 C2 20 CA 03") {
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        line.When("60 00", identification);
    }
    void TakesTheSpeedChange() {
        line.When("E0", "C0");
        line.When("00 FF F9 01 F8", "C3 00");
        line.When("E9", "CA");
    }
    std::vector<int> TurnOnPanels(bool live) const {
        return live ? ui.rec.LivePanels(kMmiUir, PANEL_TURN_ON)
                    : ui.rec.DisplayedPanels(kMmiUir, PANEL_TURN_ON);
    }
    std::size_t TurnOnLoads() const {
        std::size_t n = 0;
        for (const auto& c : ui.rec.Calls("LoadPanel"))
            if (c.resourceFile == kMmiUir && c.value == PANEL_TURN_ON) ++n;
        return n;
    }
    bool Sent(const std::string& hex) const {
        const std::string all = Hex(line.Sent());
        return all.find(hex) != std::string::npos;
    }

    ScriptedLine line;
};

TEST_F(ServiceLine, SwitchOnBootsChecksTheFlashSetsTheSpeedAndShowsTheFlash) {
    Boots();
    TakesTheSpeedChange();
    EXPECT_EQ(FireSwitchOn(), 0);

    // Boot, then the speed change at row 1 and nothing more: no PMU, no switch-off.
    const std::string sent = Hex(line.Sent());
    EXPECT_TRUE(sent.starts_with("44 ")) << sent;
    EXPECT_TRUE(sent.ends_with(" 60 00 E0 00 FF F9 01 F8 E9")) << sent;
    EXPECT_EQ(line.Settings().baudRate, 115200);
    // The phone stays connected at the new speed, ready for switch off.
    EXPECT_TRUE(line.IsOpen());
    EXPECT_EQ(line.Closes(), 0);

    // The turn-on panel came and went before the speed change.
    EXPECT_EQ(TurnOnLoads(), 1u);
    EXPECT_TRUE(TurnOnPanels(true).empty());
    EXPECT_EQ(_mv_NbSectorsDisplayService, 0);

    EXPECT_EQ(FlashLabel(), " Flash ST M36DR864CB");
    EXPECT_EQ(KnownLines(), kKnownLines);
    EXPECT_EQ(Rec().ListIndex(_v_ServicePanel, SERVICE_KNOWN_FLASH_LIST), 0);
    EXPECT_EQ(ui.PanelsShown(), 0u);
    // The main panel is neither locked nor lit.
    EXPECT_TRUE(ui.Unlocked());
    EXPECT_TRUE(Rec().Calls("SetCtrlAttribute").empty());
    EXPECT_TRUE(Rec().Errors().empty()) << ::testing::PrintToString(Rec().Errors());
}

// A fast row sets the phone's GPIO first, as the download does, then changes to that row.
TEST_F(ServiceLine, SwitchOnAtAFastRowSendsTheGpioCommandFirst) {
    _sg_DownloadContext.speedIndex = 8;
    Boots();
    line.When("EB", "C0 C9");
    line.When("E0", "C0");
    line.When("B0 FF FE 02 AD", "C3 00");
    line.When("E9", "CA");
    EXPECT_EQ(FireSwitchOn(), 0);
    _sg_DownloadContext.speedIndex = 1;
    const std::string sent = Hex(line.Sent());
    EXPECT_TRUE(sent.ends_with(" 60 00 EB E0 B0 FF FE 02 AD E9")) << sent;
    EXPECT_EQ(line.Settings().baudRate, 302325);
    EXPECT_EQ(FlashLabel(), " Flash ST M36DR864CB");
}

TEST_F(ServiceLine, TheFlashFoundIsTheLineSelected) {
    Boots("44 A0 02 05 C2 20 10 03");
    TakesTheSpeedChange();
    FireSwitchOn();
    EXPECT_EQ(FlashLabel(), " Flash ST M58WR064ET");
    EXPECT_EQ(Rec().ListIndex(_v_ServicePanel, SERVICE_KNOWN_FLASH_LIST), 1);
}

TEST_F(ServiceLine, ProductType0DoesNothingAtAll) {
    _sg_DownloadContext.productType = 0;
    Boots();
    TakesTheSpeedChange();
    EXPECT_EQ(FireSwitchOn(), 0);
    EXPECT_TRUE(line.Opens().empty());
    EXPECT_TRUE(line.Sent().empty());
    EXPECT_EQ(TurnOnLoads(), 0u);
    EXPECT_EQ(Rec().Log().size(), 1u);  // the callback's own firing
}

TEST_F(ServiceLine, OnlyTheCommitEventActs) {
    Boots();
    TakesTheSpeedChange();
    for (int event : {EVENT_VAL_CHANGED, EVENT_CLOSE, 0}) {
        EXPECT_EQ(FireSwitchOn(event), 0);
        EXPECT_EQ(FireSwitchOff(event), 0);
    }
    EXPECT_TRUE(line.Opens().empty());
    EXPECT_TRUE(line.Sent().empty());
}

TEST_F(ServiceLine, FailuresShowTheirResultAndNothingAfterThem) {
    struct Case {
        const char* name;
        bool boots;
        const char* identification;
        bool speed;
        int utilityPanel;  // 0: the time-out panel of "mmi.uir"
        const char* text;
        bool speedChangeSent;
    };
    const Case cases[] = {
        {"silent phone", false, "", false, 0, "", false},
        {"flash not in flash.txt", true, "44 A0 02 05 C2 20 C0", false, UTIL_FLASH_FILE_ERR,
         "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)",
         false},
        {"speed change refused", true, "44 A0 02 05 C2 20 CA 03", false, UTIL_COMMAND_ERR,
         "COMMAND : Bad command acknowledge ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine scripted;
        if (c.boots) {
            scripted.OnDtr([](ScriptedLine& l, bool on) {
                if (on) l.Send("BE");
            });
            scripted.When("60 00", c.identification);
        }
        scripted.When("E0", "C1");
        for (int kind = 0; kind <= static_cast<int>(MessagePanel::BlocksNotCleared); ++kind)
            CloseMessagePanel(static_cast<MessagePanel>(kind));
        Rec().ClearLog();
        // A label from an earlier switch on must not stay on the panel.
        SetCtrlVal(_v_ServicePanel, SERVICE_FLASH_LABEL, " Flash ST M36DR864CB");

        FireSwitchOn();

        if (c.utilityPanel == 0) {
            EXPECT_EQ(Rec().DisplayedPanels(kMmiUir, PANEL_TIMEOUT).size(), 1u);
            EXPECT_TRUE(ui.Shown(UTIL_BOOT_ERR).empty());
        } else {
            EXPECT_EQ(ui.Shown(c.utilityPanel), Lines{c.text});
        }
        EXPECT_EQ(ui.PanelsShown(), 1u);
        EXPECT_EQ(FlashLabel(), "");
        EXPECT_EQ(Hex(scripted.Sent()).find("E0") != std::string::npos, c.speedChangeSent);
        EXPECT_EQ(scripted.Settings().baudRate, 38400);
        EXPECT_TRUE(TurnOnPanels(true).empty());
        platform::CloseAllPorts();
    }
}

TEST_F(ServiceLine, SwitchOffSendsTheCommandOnComPortAndShowsNothingEitherWay) {
    for (const char* answer : {"C0", "C1", ""}) {
        SCOPED_TRACE(answer);
        ScriptedLine scripted;
        ASSERT_EQ(_mfl12_0UartInit(3, 115200, kParityNone, 1), 1);
        _sg_DownloadContext.comPort = 3;
        scripted.When("E8", answer);
        Rec().ClearLog();
        EXPECT_EQ(FireSwitchOff(), 0);
        EXPECT_EQ(Hex(scripted.Sent()), "E8");
        EXPECT_EQ(ui.PanelsShown(), 0u);
        EXPECT_TRUE(scripted.IsOpen());
        EXPECT_EQ(Rec().Log().size(), 1u);  // the callback's own firing
        platform::CloseAllPorts();
    }
}

TEST_F(ServiceLine, NeitherCommandTouchesTheLineWhileAJobHoldsTheMainPanel) {
    Boots();
    TakesTheSpeedChange();
    _mfl52_5LockDuringDownload();
    FireSwitchOn();
    FireSwitchOff();
    EXPECT_TRUE(line.Opens().empty());
    EXPECT_TRUE(line.Sent().empty());
    EXPECT_EQ(TurnOnLoads(), 0u);

    _mfl52_6UnlockAfterDownload();
    FireSwitchOn();
    EXPECT_EQ(FlashLabel(), " Flash ST M36DR864CB");
}

// Both commands over a pseudo-terminal against the simulated phone.
class ServiceOnSimulator : public ServicePanel {
  protected:
    ServiceOnSimulator() {
        const std::string examples = std::string(VBC_SOURCE_DIR) + "/examples/";
        std::filesystem::copy_file(examples + "mfl104_5.spm", "mfl104_5.spm");
        sim::SimulatorOptions options;
        options.flashTxt = "flash.txt";
        simulator = std::make_unique<sim::Simulator>(options);
        std::string why;
        started = simulator->Start(&why);
        EXPECT_TRUE(started) << why;
        OpenServicePanel();
    }
    ~ServiceOnSimulator() override {
        platform::CloseAllPorts();
        if (simulator) simulator->Stop();
    }
    std::unique_ptr<sim::Simulator> simulator;
    bool started = false;
};

// The service panel cannot take a port another process's job holds: it says who holds it, and
// that job goes on undisturbed.
TEST_F(ServicePanel, SwitchOnOnAPortAJobHoldsSaysSoAndLeavesTheJobAlone) {
    const std::string examples = std::string(VBC_SOURCE_DIR) + "/examples/";
    std::filesystem::copy_file(examples + "mfl104_5.spm", "mfl104_5.spm");
    const std::string software(20000, '\x5A');
    test::WriteFile("small.cla", software);
    sim::SimulatorOptions options;
    options.flashTxt = "flash.txt";
    options.pace = true;
    sim::Simulator simulator(options);
    std::string why;
    ASSERT_TRUE(simulator.Start(&why)) << why;
    test::Child job({VBC_CLI_PATH, "small.cla"}, "", "job.err");
    for (auto line = job.Line(); line && *line != " Check the compatibility "; line = job.Line()) {
    }
    // The job holds the port from its boot on: it is held there (stopped) meanwhile.
    job.Signal(SIGSTOP);
    OpenServicePanel();
    FireSwitchOn();
    job.Signal(SIGCONT);
    EXPECT_THAT(
        ui.Comments(),
        ::testing::Contains(::testing::MatchesRegex(
            " COM1 \\(.*/pts/[0-9]+\\): busy; another program holds the port \\(PID " +
            std::to_string(job.Pid()) + ", vbcflash-cli\\): wait until it ends or stop it ")));
    EXPECT_EQ(FlashLabel(), "");

    EXPECT_EQ(job.Wait(), 0) << test::ReadFile("job.err");
    ASSERT_TRUE(simulator.WaitJobDone(std::chrono::seconds(30)));
    EXPECT_EQ(simulator.LastJob().end, sim::JobEnd::kSwitchedOff);
    const std::vector<std::uint8_t> flash = simulator.FlashImage();
    EXPECT_TRUE(std::equal(software.begin(), software.end(), flash.begin()));
    simulator.Stop();
}

TEST_F(ServiceOnSimulator, SwitchOnThenSwitchOff) {
    ASSERT_TRUE(started);
    FireSwitchOn();
    EXPECT_EQ(ui.PanelsShown(), 0u);
    EXPECT_EQ(FlashLabel(), " Flash ST M36DR864CB");

    FireSwitchOff();
    ASSERT_TRUE(simulator->WaitJobDone(std::chrono::seconds(20)));
    const sim::JobReport job = simulator->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff) << ::testing::PrintToString(job.notes);
    EXPECT_EQ(job.speedChanges, 1);
    // Row 1: 115200 bit/s, within the phone's clock divider error.
    EXPECT_NEAR(job.phoneRate, 115200, 115200 / 50);
    EXPECT_EQ(job.sectorWrites, 0);
    EXPECT_EQ(ui.PanelsShown(), 0u);
}

// The phone's answer to a read of count bytes of memory from `from`: C7, the bytes, their sum
// (least significant byte first), plus sumError.
std::vector<std::uint8_t> ReadReply(const std::vector<std::uint8_t>& memory, std::size_t from,
                                    std::size_t count, std::uint32_t sumError = 0) {
    std::vector<std::uint8_t> reply = {0xC7};
    std::uint32_t sum = sumError;
    for (std::size_t i = from; i < from + count; ++i) {
        reply.push_back(memory[i]);
        sum += memory[i];
    }
    for (int i = 0; i < 4; ++i) reply.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
    return reply;
}

// Read flash: only once Switch on set the phone up; the save dialog names the file; the whole
// flash (0x12000 bytes: two reads) lands in it; a read that keeps failing leaves no file.
TEST_F(ServiceLine, ReadFlashWritesTheWholeFlashOnlyWhenEveryByteWasRead) {
    Boots();
    TakesTheSpeedChange();
    auto fireRead = [&] {
        return Rec().FireControl("_mfl53_12ReadFlash", _v_ServicePanel, SERVICE_READ_FLASH,
                                 EVENT_COMMIT);
    };
    EXPECT_EQ(fireRead(), 0);
    ASSERT_EQ(Rec().Popups().size(), 1u);
    EXPECT_EQ(Rec().Popups()[0].kind, "Message");
    EXPECT_TRUE(line.Sent().empty());

    FireSwitchOn();
    line.TakeSent();
    Rec().QueueFileSelectCancel();
    fireRead();
    EXPECT_TRUE(line.Sent().empty());

    std::vector<std::uint8_t> memory(0x12000);
    for (std::size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
    const auto first = Bytes("00 01 00 00 00 80 00 00");
    const auto second = Bytes("00 00 20 00 00 81 00 00");
    line.Expect("E6", "C0");
    line.Expect(first, ReadReply(memory, 0, 0x10000));
    line.Expect("E6", "C0");
    line.Expect(second, ReadReply(memory, 0x10000, 0x2000));
    const std::string good = (dir.path() / "flash.bin").string();
    Rec().QueueFileSelect(good);
    fireRead();
    EXPECT_TRUE(line.ScriptDone()) << ::testing::PrintToString(line.ScriptErrors());
    EXPECT_EQ(test::ReadFile(good), std::string(memory.begin(), memory.end()));
    EXPECT_EQ(Rec().Popups().back().buttonLabel, FILE_SELECT_SAVE);
    EXPECT_EQ(ui.Comments().back(), " Flash read into " + good + " ");
    EXPECT_EQ(ui.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
    EXPECT_EQ(ui.PanelsShown(), 0u);
    EXPECT_TRUE(ui.Unlocked());

    // The second chunk fails its checksum on every try: 1 read and 3 again.
    line.Expect("E6", "C0");
    line.Expect(first, ReadReply(memory, 0, 0x10000));
    for (int i = 0; i < 4; ++i) {
        line.Expect("E6", "C0");
        line.Expect(second, ReadReply(memory, 0x10000, 0x2000, 1));
    }
    const std::string bad = (dir.path() / "bad.bin").string();
    Rec().QueueFileSelect(bad);
    fireRead();
    EXPECT_TRUE(line.ScriptDone()) << ::testing::PrintToString(line.ScriptErrors());
    EXPECT_FALSE(std::filesystem::exists(bad));
    EXPECT_THAT(ui.Shown(UTIL_COMMAND_ERR),
                ::testing::ElementsAre("COMMAND : Checksum error during the read command "));
    EXPECT_TRUE(ui.Unlocked());
    EXPECT_FALSE(JobRunning());
}

}  // namespace
}  // namespace vbc
