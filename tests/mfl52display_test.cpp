#include "ui/mfl52display.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "data/mfl10fla.h"
#include "testing/recordingtoolkit.h"
#include "tests/testutil.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl54util.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::RecordingToolkit;
using platform::ScopedToolkit;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A fresh toolkit with the main panel and its menu bar up, as after start-up, and the
// display's state forgotten; the log starts empty.
struct MainPanel {
    MainPanel() : use(rec) {
        ForgetMessagePanels();
        RegisterUtilCallbacks();
        RegisterMmiCallbacks();
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        DisplayPanel(_v_Panel);
        _v_MenuBarHandle = LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
        _mv_NbCommentLine = 0;
        ForgetCommentLines();
        main = _v_Panel;
        rec.ClearLog();
    }
    ~MainPanel() { ForgetMessagePanels(); }

    // The panels loaded since the log was cleared.
    std::vector<RecordingToolkit::Call> Loads() const { return rec.Calls("LoadPanel"); }
    std::string P(int handle) const { return std::to_string(handle); }

    RecordingToolkit rec;
    ScopedToolkit use;
    int main = 0;
};

std::string LibPc(const char* hex8) {
    return std::string("LIB_PC : Default error number _ 0x") + hex8;
}

struct Row {
    std::int32_t category;
    std::int32_t code;
    const char* file;  // resource of the panel shown
    int panel;
    int* handle;       // the kind's handle global
    std::string text;  // "" for the "mmi.uir" panels
};

std::vector<Row> AllRows() {
    const char* U = kUtilityUir;
    const char* M = kMmiUir;
    std::vector<Row> rows = {
        {0, 0, M, PANEL_SUCCESS, &_v_PanelSuccessful, ""},
        {0, 55, M, PANEL_SUCCESS, &_v_PanelSuccessful, ""},
        {0, -1, M, PANEL_SUCCESS, &_v_PanelSuccessful, ""},
        {1, 0, U, 7, &_v_PanelGenericErr, "Error during the download"},
        {1, 9, U, 7, &_v_PanelGenericErr, "Error during the download"},
        // Flash description (codes 2 to 20, everything else the last row).
        {2, 2, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : The file flash.txt not found"},
        {2, 3, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter NEW_FLASH in the file flash.txt"},
        {2, 4, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_NAME in the file flash.txt"},
        {2, 5, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter DEVICE_NAME in the file flash.txt"},
        {2, 6, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter NORVANE_PRODUCT in the file flash.txt"},
        {2, 7, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_ID in the file flash.txt"},
        {2, 8, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter DEVICE_ID in the file flash.txt"},
        {2, 9, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter NB_BANKS in the file flash.txt"},
        {2, 10, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter NB_SECTORS in the file flash.txt"},
        {2, 11, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter START_SECTOR_DESCRITPION in the file "
         "flash.txt"},
        {2, 12, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter END_FLASH in the file flash.txt"},
        {2, 13, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_START in the file flash.txt"},
        {2, 14, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_END in the file flash.txt"},
        {2, 15, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)"},
        {2, 16, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : There are too many flash description in the file flash.txt "},
        {2, 17, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : A flash description has to many number of sector "},
        {2, 18, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Impossible to find the sector starting at this address"},
        {2, 19, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : A sector number is not rigth "},
        {2, 20, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : Not enough sector to download this software"},
        {2, 0, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
        {2, 1, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
        {2, 21, U, 6, &_v_PanelFlashFileErr,
         "FLASH DESCRIPTION : The range to read is outside the flash"},
        {2, 22, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
        {2, -2, U, 6, &_v_PanelFlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
        // Configuration file.
        {3, 2, U, 5, &_v_PanelConfFileErr, "There is no configuration file "},
        {3, 3, U, 5, &_v_PanelConfFileErr, "Impossible to find the sofware file "},
        {3, 4, U, 5, &_v_PanelConfFileErr, "Impossible to find the package file "},
        {3, 5, U, 5, &_v_PanelConfFileErr, "The com number in configuration file is not rigth "},
        {3, 6, U, 5, &_v_PanelConfFileErr, "Bad com description in configuration file "},
        {3, 9, U, 5, &_v_PanelConfFileErr, "The PMU state in configuration file is not rigth "},
        {3, 10, U, 5, &_v_PanelConfFileErr, "Bad PMU description in configuration file "},
        {3, 11, U, 5, &_v_PanelConfFileErr,
         "The product type state in configuration file is not rigth "},
        {3, 12, U, 5, &_v_PanelConfFileErr, "Bad product type description in configuration file "},
        {3, 13, U, 5, &_v_PanelConfFileErr,
         "The download type state in configuration file is not rigth "},
        {3, 14, U, 5, &_v_PanelConfFileErr, "Bad download type description in configuration file "},
        {3, 7, U, 5, &_v_PanelConfFileErr, "There is a problem in configuration file "},
        {3, 8, U, 5, &_v_PanelConfFileErr, "There is a problem in configuration file "},
        {3, 0, U, 5, &_v_PanelConfFileErr, "There is a problem in configuration file "},
        {3, 1, U, 5, &_v_PanelConfFileErr, "There is a problem in configuration file "},
        {3, 15, U, 5, &_v_PanelConfFileErr, "There is a problem in configuration file "},
        // PC library: four texts, then the code in blank-padded lower-case hexadecimal.
        {5, 2, U, 8, &_v_PanelLibPCErr,
         "LIB_PC : The calculation of the file size create an error"},
        {5, 3, U, 8, &_v_PanelLibPCErr, "LIB_PC : File not found"},
        {5, 4, U, 8, &_v_PanelLibPCErr, "LIB_PC : The size of the SPM is too long"},
        {5, 5, U, 8, &_v_PanelLibPCErr,
         "LIB_PC : Bad length when you want to convert Little - big indien"},
        {5, 6, U, 8, &_v_PanelLibPCErr, "LIB_PC : The file of the flash read cannot be written"},
        {5, 7, U, 8, &_v_PanelLibPCErr, LibPc("       7")},
        {5, 0, U, 8, &_v_PanelLibPCErr, LibPc("       0")},
        {5, 1, U, 8, &_v_PanelLibPCErr, LibPc("       1")},
        {5, 0xAB, U, 8, &_v_PanelLibPCErr, LibPc("      ab")},
        {5, 0x12345678, U, 8, &_v_PanelLibPCErr, LibPc("12345678")},
        {5, -99, U, 8, &_v_PanelLibPCErr, LibPc("ffffff9d")},
        {5, INT_MIN, U, 8, &_v_PanelLibPCErr, LibPc("80000000")},
        // Boot (code 4 has the time-out panel).
        {6, 2, U, 1, &_v_PanelBootErr, "BOOT : The bootstrap (SPM) is not present on the disk"},
        {6, 3, U, 1, &_v_PanelBootErr, "BOOT : The bootstrap (SPM) is too long"},
        {6, 4, M, PANEL_TIMEOUT, &_v_PanelTimeout, ""},
        {6, 7, U, 1, &_v_PanelBootErr,
         "BOOT : BOOT FROM A VBC4410. Please select a project specific to a VBC4410"},
        {6, 8, U, 1, &_v_PanelBootErr, "BOOT : The processor does not known, Acknowledge unknown"},
        {6, 9, U, 1, &_v_PanelBootErr, "BOOT : Chip select requested is impossible"},
        {6, 10, U, 1, &_v_PanelBootErr,
         "BOOT : Bad acknowledge receive from the mobile (Transmission problem)"},
        {6, 11, U, 1, &_v_PanelBootErr,
         "BOOT : Problem with program in external RAM : StackPointer not set"},
        {6, 12, U, 1, &_v_PanelBootErr,
         "BOOT : Bad acknowledgement during the identification of the flash"},
        {6, 13, U, 1, &_v_PanelBootErr, "BOOT : Timeout during the flash identification"},
        {6, 14, U, 1, &_v_PanelBootErr, "BOOT : The terminal GSM flash id is unknown"},
        {6, 15, U, 1, &_v_PanelBootErr, "BOOT : The manufacturer of terminal GSM flash is unknown"},
        {6, 5, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        {6, 6, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        {6, 0, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        {6, 1, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        {6, 16, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        {6, -99, U, 1, &_v_PanelBootErr, "BOOT : Problem during the boot sequence"},
        // Commands.
        {8, 2, U, 3, &_v_PanelCommandErr, "COMMAND : Bad command acknowledge "},
        {8, 7, U, 3, &_v_PanelCommandErr, "COMMAND : Bad change speed acknowledge "},
        {8, 8, U, 3, &_v_PanelCommandErr, "COMMAND : Bad change speed checksum "},
        {8, 9, U, 3, &_v_PanelCommandErr, "COMMAND : Speed control err "},
        {8, 10, U, 3, &_v_PanelCommandErr, "COMMAND : bad set PMU acknowledge "},
        {8, 11, U, 3, &_v_PanelCommandErr, "COMMAND : bad erase command acknowledge "},
        {8, 12, U, 3, &_v_PanelCommandErr, "COMMAND : Erase processing aborted "},
        {8, 13, U, 3, &_v_PanelCommandErr, "COMMAND : Erase processing failed "},
        {8, 14, U, 3, &_v_PanelCommandErr, "COMMAND : Erase processing failed DQ6 "},
        {8, 15, U, 3, &_v_PanelCommandErr, "COMMAND : Erase processing failed DQ6 bis"},
        {8, 16, U, 3, &_v_PanelCommandErr, "COMMAND : Erase processing default aborted"},
        {8, 17, U, 3, &_v_PanelCommandErr, "COMMAND : bad read command acknowledge "},
        {8, 18, U, 3, &_v_PanelCommandErr, "COMMAND : bad read command parameter"},
        {8, 19, U, 3, &_v_PanelCommandErr, "COMMAND : Checksum error during the read command "},
        {8, 20, U, 3, &_v_PanelCommandErr, "COMMAND : Switch off error "},
        {8, 3, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 4, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 5, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 6, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 0, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 1, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 21, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        {8, 22, U, 3, &_v_PanelCommandErr, "COMMAND : Verify error at 0x00000000"},
        {8, 23, U, 3, &_v_PanelCommandErr, "COMMAND : Command error "},
        // Sector download: fixed texts, code ignored.
        {9, 0, U, 7, &_v_PanelGenericErr,
         "Problem : Bad acknowledge when the sector download start"},
        {10, 0xCD, U, 7, &_v_PanelGenericErr, "Problem : Error during the sector donwload"},
        {11, 0x42, U, 7, &_v_PanelGenericErr,
         "Problem : Error acknowledge during the sector donwload"},
        {12, 0xCC, U, 7, &_v_PanelGenericErr, "Problem : Bad checksum"},
        {13, 0, U, 7, &_v_PanelGenericErr, "Timeout during the download"},
        {14, 1, U, 7, &_v_PanelGenericErr,
         "Download stopped: the phone's flash may hold part of the software. Run it again before "
         "use."},
        {14, 2, U, 7, &_v_PanelGenericErr, "Flash read stopped: no file was written."},
    };
    return rows;
}

TEST(ResultDisplay, ShowsEachResultOnItsPanelWithItsExactText) {
    for (const Row& row : AllRows()) {
        SCOPED_TRACE("result (" + std::to_string(row.category) + ", " + std::to_string(row.code) +
                     ")");
        MainPanel ui;
        _mfl52_10DisplayResult(row.category, row.code);

        const auto loads = ui.Loads();
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0].resourceFile, row.file);
        EXPECT_EQ(loads[0].value, row.panel);
        EXPECT_EQ(loads[0].panel, 0);
        const int handle = loads[0].result;
        EXPECT_EQ(*row.handle, handle);
        EXPECT_THAT(ui.rec.DisplayedPanels(row.file, row.panel), ElementsAre(handle));
        if (row.file == std::string(kUtilityUir)) {
            // Loaded, text set, then displayed.
            EXPECT_THAT(ui.rec.LogLines(),
                        ElementsAre("LoadPanel 0 Utility.uir " + std::to_string(row.panel),
                                    "SetCtrlVal " + ui.P(handle) + " 3 \"" + row.text + "\"",
                                    "DisplayPanel " + ui.P(handle)));
        } else {
            EXPECT_THAT(ui.rec.LogLines(),
                        ElementsAre("LoadPanel 0 mmi.uir " + std::to_string(row.panel),
                                    "DisplayPanel " + ui.P(handle)));
        }
        char buffer[100];
        EXPECT_EQ(std::string(ResultMessage(row.category, row.code, buffer)), row.text);
        EXPECT_THAT(ui.rec.Errors(), IsEmpty());
    }
}

TEST(ResultDisplay, LibPcDefaultTextPadsTheCodeWithSevenBlanks) {
    char buffer[100];
    EXPECT_STREQ(ResultMessage(5, 7, buffer), "LIB_PC : Default error number _ 0x       7");
}

TEST(ResultDisplay, TheVerifyMessageNamesTheFirstDifferingAddress) {
    char buffer[100];
    _mv_VerifyErrorAddress = 0x811170;
    EXPECT_STREQ(ResultMessage(ResultCommand, CommandCode::kVerify, buffer),
                 "COMMAND : Verify error at 0x00811170");
    _mv_VerifyErrorAddress = 0;
}

TEST(ResultDisplay, CategoriesWithoutAPanelShowNothingAndLeaveNoTrace) {
    for (std::int32_t category : {4, 7, -1, 15, 100, INT_MIN, INT_MAX}) {
        for (std::int32_t code : {0, 1, 4}) {
            SCOPED_TRACE("result (" + std::to_string(category) + ", " + std::to_string(code) + ")");
            MainPanel ui;
            _mfl52_10DisplayResult(category, code);
            EXPECT_THAT(ui.rec.Log(), IsEmpty());
            EXPECT_THAT(ui.rec.Popups(), IsEmpty());
            char buffer[100];
            EXPECT_STREQ(ResultMessage(category, code, buffer), "");
            EXPECT_FALSE(ResultPanel(category, code, nullptr));
        }
    }
}

TEST(ResultDisplay, BootTimeOutShowsTheTimeOutPanelAndNoBootErrorPanel) {
    MainPanel ui;
    _mfl52_10DisplayResult(ResultBoot, 4);
    EXPECT_THAT(ui.rec.DisplayedPanels(kMmiUir, PANEL_TIMEOUT), ElementsAre(_v_PanelTimeout));
    EXPECT_THAT(ui.rec.LivePanels(kUtilityUir, UTIL_BOOT_ERR), IsEmpty());
    EXPECT_THAT(ui.rec.Calls("SetCtrlVal"), IsEmpty());
}

// Callers hand a 100-byte buffer: every message is written whole within it, and not a byte
// past it (the guard after the 100 bytes keeps its filling).
TEST(ResultDisplay, EveryMessageFitsTheBuffer) {
    for (const Row& row : AllRows()) {
        SCOPED_TRACE(row.text);
        char buffer[100 + 16];
        std::memset(buffer, 0x7E, sizeof buffer);
        EXPECT_EQ(ResultMessage(row.category, row.code, buffer), buffer);
        EXPECT_EQ(std::string(buffer), row.text);
        EXPECT_EQ(std::string(buffer + 100, 16), std::string(16, '\x7E'));
    }
}

TEST(FlashFileErrPanel, StartUpFailureShowsTheCodeText) {
    MainPanel ui;
    _mfl52_11DisplayFlashFileErr(2);
    EXPECT_EQ(ui.rec.CtrlText(_v_PanelFlashFileErr, UTIL_MESSAGE_TEXT),
              "FLASH DESCRIPTION : The file flash.txt not found");
    EXPECT_THAT(ui.rec.DisplayedPanels(kUtilityUir, UTIL_FLASH_FILE_ERR),
                ElementsAre(_v_PanelFlashFileErr));
    // The main panel stays as it was.
    EXPECT_TRUE(ui.rec.IsDisplayed(ui.main));
    EXPECT_EQ(ui.rec.LiveMenuBar(ui.main), _v_MenuBarHandle);
}

TEST(ConfigFileErrPanel, ShowsTheConfigurationText) {
    MainPanel ui;
    _mfl52_12DisplayConfigFileErr(3);
    EXPECT_EQ(ui.rec.CtrlText(_v_PanelConfFileErr, UTIL_MESSAGE_TEXT),
              "Impossible to find the sofware file ");
}

// ---- OK buttons ----

struct OkButton {
    const char* callback;
    std::int32_t category;
    std::int32_t code;
    int* handle;
};

const OkButton kOkButtons[] = {
    {"_mfl51_80MMIDownloadSuccessOk", 0, 0, &_v_PanelSuccessful},
    {"_mfl51_81MMIButtonTimeOut", 6, 4, &_v_PanelTimeout},
    {"_mfl54_0GenericErrWindowsButton", 12, 0xCC, &_v_PanelGenericErr},
    {"_mfl54_1FlashFileErrButton", 2, 15, &_v_PanelFlashFileErr},
    {"_mfl54_2ConfFileErrButton", 3, 2, &_v_PanelConfFileErr},
    {"_mfl54_3PcLibrairiesErrButton", 5, 3, &_v_PanelLibPCErr},
    {"_mfl54_4BootErrorWindowsButton", 6, 10, &_v_PanelBootErr},
    {"_mfl54_6CommandErrWindowButton", 8, 13, &_v_PanelCommandErr},
};

void LightIndicators(int main) {
    SetCtrlVal(main, MAIN_CPU_LED, 1);
    SetCtrlVal(main, MAIN_FLASH_LED, 1);
    SetCtrlVal(main, MAIN_PROGRESS_A, 100);
    SetCtrlVal(main, MAIN_PROGRESS_B, 100);
}

TEST(OkButtons, DiscardTheirPanelThenResetTheIndicators) {
    for (const OkButton& ok : kOkButtons) {
        SCOPED_TRACE(ok.callback);
        MainPanel ui;
        SetCtrlAttribute(ui.main, MAIN_CPU_LED, ATTR_LABEL_TEXT, "BOOT FROM A VBC4410");
        LightIndicators(ui.main);
        _mfl52_10DisplayResult(ok.category, ok.code);
        const int handle = *ok.handle;
        ui.rec.ClearLog();

        EXPECT_EQ(ui.rec.FireControl(ok.callback, handle, 2, EVENT_COMMIT), 0);
        const std::string m = ui.P(ui.main);
        EXPECT_THAT(
            ui.rec.LogLines(),
            ElementsAre("FireControl " + std::string(ok.callback) + " " + ui.P(handle) + " 2 1",
                        "DiscardPanel " + ui.P(handle), "SetCtrlVal " + m + " 15 0",
                        "SetCtrlVal " + m + " 14 0", "SetCtrlVal " + m + " 12 0",
                        "SetCtrlVal " + m + " 11 0", "SetCtrlVal " + m + " 17 \"\""));
        EXPECT_TRUE(ui.rec.IsDiscarded(handle));
        EXPECT_EQ(*ok.handle, handle);  // the handle global keeps its value
        // The LEDs are off and keep their labels.
        EXPECT_EQ(ui.rec.CtrlValue(ui.main, MAIN_CPU_LED), 0);
        EXPECT_EQ(ui.rec.Label(ui.main, MAIN_CPU_LED), "BOOT FROM A VBC4410");
        EXPECT_EQ(ui.rec.CtrlValue(ui.main, MAIN_PROGRESS_B), 0);
        EXPECT_THAT(ui.rec.Errors(), IsEmpty());
    }
}

TEST(OkButtons, ActOnCommitOnly) {
    for (const OkButton& ok : kOkButtons) {
        for (int event : {EVENT_VAL_CHANGED, EVENT_CLOSE, 0}) {
            SCOPED_TRACE(std::string(ok.callback) + " event " + std::to_string(event));
            MainPanel ui;
            LightIndicators(ui.main);
            _mfl52_10DisplayResult(ok.category, ok.code);
            ui.rec.ClearLog();
            EXPECT_EQ(ui.rec.FireControl(ok.callback, *ok.handle, 2, event), 0);
            EXPECT_EQ(ui.rec.Log().size(), 1u);  // the press itself, nothing else
            EXPECT_TRUE(ui.rec.IsDisplayed(*ok.handle));
            EXPECT_EQ(ui.rec.CtrlValue(ui.main, MAIN_CPU_LED), 1);
        }
    }
}

TEST(OkButtons, PanelsNoOperationShowsOnlyResetTheIndicators) {
    for (const char* callback : {"_mfl54_5CompatibErrWindowButton",
                                 "_mfl54_7Spm08ErrorWindowsButton", "_mfl54_8ClearBlocksNotOk"}) {
        SCOPED_TRACE(callback);
        MainPanel ui;
        LightIndicators(ui.main);
        ui.rec.ClearLog();
        EXPECT_EQ(ui.rec.FireControl(callback, ui.main, 2, EVENT_COMMIT), 0);
        EXPECT_THAT(ui.rec.Calls("DiscardPanel"), IsEmpty());
        EXPECT_EQ(ui.rec.Calls("SetCtrlVal").size(), 5u);
        EXPECT_EQ(ui.rec.CtrlValue(ui.main, MAIN_FLASH_LED), 0);
        EXPECT_TRUE(ui.rec.IsDisplayed(ui.main));
        EXPECT_THAT(ui.rec.Errors(), IsEmpty());
    }
}

// ---- One copy of a kind on screen ----

TEST(MessagePanels, ASecondResultOfAKindReplacesTheCopyStillDisplayed) {
    for (const OkButton& ok : kOkButtons) {
        SCOPED_TRACE(ok.callback);
        MainPanel ui;
        _mfl52_10DisplayResult(ok.category, ok.code);
        const int older = *ok.handle;
        _mfl52_10DisplayResult(ok.category, ok.code);
        const int newer = *ok.handle;
        ASSERT_NE(older, newer);
        EXPECT_TRUE(ui.rec.IsDiscarded(older));
        EXPECT_TRUE(ui.rec.IsDisplayed(newer));

        // The older copy went before the newer one was loaded.
        const auto log = ui.rec.LogLines();
        const auto discard = std::find(log.begin(), log.end(), "DiscardPanel " + ui.P(older));
        ASSERT_NE(discard, log.end());
        EXPECT_TRUE(std::next(discard)->starts_with("LoadPanel 0 "));

        ui.rec.FireControl(ok.callback, newer, 2, EVENT_COMMIT);
        EXPECT_TRUE(ui.rec.IsDiscarded(newer));
        // A press that was queued before the panel went: nothing stale is discarded.
        const CtrlCallbackPtr callback = platform::FindCallback(ok.callback)->control;
        EXPECT_EQ(callback(newer, 2, EVENT_COMMIT, nullptr, 0, 0), 0);
        EXPECT_EQ(ui.rec.Calls("DiscardPanel").size(), 2u);
        EXPECT_EQ(*ok.handle, newer);
        EXPECT_THAT(ui.rec.Errors(), IsEmpty());
    }
}

TEST(MessagePanels, StartUpFlashPanelIsReplacedByALaterFlashResult) {
    MainPanel ui;
    _mfl52_11DisplayFlashFileErr(3);
    const int startUp = _v_PanelFlashFileErr;
    _mfl52_10DisplayResult(ResultFlashFile, 18);
    EXPECT_TRUE(ui.rec.IsDiscarded(startUp));
    EXPECT_THAT(ui.rec.DisplayedPanels(kUtilityUir, UTIL_FLASH_FILE_ERR),
                ElementsAre(_v_PanelFlashFileErr));
    EXPECT_EQ(ui.rec.CtrlText(_v_PanelFlashFileErr, UTIL_MESSAGE_TEXT),
              "FLASH DESCRIPTION : Impossible to find the sector starting at this address");
}

TEST(MessagePanels, KindsAreIndependent) {
    MainPanel ui;
    _mfl52_10DisplayResult(ResultBoot, 8);
    _mfl52_10DisplayResult(ResultCommand, 2);
    _mfl52_10DisplayResult(ResultSuccess, 0);
    EXPECT_TRUE(ui.rec.IsDisplayed(_v_PanelBootErr));
    EXPECT_TRUE(ui.rec.IsDisplayed(_v_PanelCommandErr));
    ui.rec.FireControl("_mfl54_6CommandErrWindowButton", _v_PanelCommandErr, 2, EVENT_COMMIT);
    EXPECT_TRUE(ui.rec.IsDisplayed(_v_PanelBootErr));
    EXPECT_TRUE(ui.rec.IsDisplayed(_v_PanelSuccessful));
    EXPECT_FALSE(IsMessagePanelDisplayed(MessagePanel::CommandErr));
    EXPECT_TRUE(IsMessagePanelDisplayed(MessagePanel::BootErr));
    EXPECT_THAT(ui.rec.Errors(), IsEmpty());
}

// A toolkit whose message panels cannot be loaded.
class NoMessagePanels : public RecordingToolkit {
  public:
    int LoadPanel(int parent, const std::string& file, int id) override {
        if (file == kUtilityUir) return kUiErrBadHandle;
        return RecordingToolkit::LoadPanel(parent, file, id);
    }
};

TEST(MessagePanels, AMessageWhosePanelCannotBeLoadedIsStillShown) {
    NoMessagePanels rec;
    ScopedToolkit use(rec);
    ForgetMessagePanels();
    RegisterUtilCallbacks();
    _v_Panel = rec.LoadPanel(0, kMmiUir, PANEL_MAIN);
    _mfl52_10DisplayResult(ResultCommand, 20);
    ASSERT_EQ(rec.Popups().size(), 1u);
    EXPECT_EQ(rec.Popups()[0].text, "COMMAND : Switch off error ");
    EXPECT_FALSE(IsMessagePanelDisplayed(MessagePanel::CommandErr));
    _mfl54_6CommandErrWindowButton(0, 2, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_THAT(rec.Calls("DiscardPanel"), IsEmpty());
    EXPECT_THAT(rec.Errors(), IsEmpty());
}

// ---- Comment list ----

TEST(CommentList, FramesEachTextWithBlanksAppendsAndSelectsIt) {
    MainPanel ui;
    AddCommentLine("Check the compatibility");
    AddCommentLine("Download sector by sector");
    AddCommentLine("Software file loading, please wait... ");
    EXPECT_THAT(ui.rec.ListLines(ui.main, MAIN_COMMENT_LIST),
                ElementsAre(" Check the compatibility ", " Download sector by sector ",
                            " Software file loading, please wait...  "));
    EXPECT_EQ(ui.rec.ListIndex(ui.main, MAIN_COMMENT_LIST), 2);
    EXPECT_EQ(_mv_NbCommentLine, 3);
    EXPECT_STREQ(_ma_Comment, " Software file loading, please wait...  ");
    const std::string m = ui.P(ui.main);
    EXPECT_THAT(
        ui.rec.LogLines(),
        ElementsAre("InsertListItem " + m + " 10 0 \" Check the compatibility \" 0",
                    "SetCtrlIndex " + m + " 10 0",
                    "InsertListItem " + m + " 10 1 \" Download sector by sector \" 0",
                    "SetCtrlIndex " + m + " 10 1",
                    "InsertListItem " + m + " 10 2 \" Software file loading, please wait...  \" 0",
                    "SetCtrlIndex " + m + " 10 2"));
}

TEST(CommentList, CutsAnOverLongTextButKeepsTheFrame) {
    MainPanel ui;
    const std::string longText(150, 'x');
    AddCommentLine(longText.c_str());
    const std::string expected = " " + std::string(97, 'x') + " ";
    EXPECT_EQ(std::string(_ma_Comment), expected);
    AddCommentLine(std::string(97, 'y').c_str());
    AddCommentLine("");
    AddCommentLine(nullptr);
    EXPECT_THAT(ui.rec.ListLines(ui.main, MAIN_COMMENT_LIST),
                ElementsAre(expected, " " + std::string(97, 'y') + " ", "  ", "  "));
    EXPECT_EQ(ui.rec.ListIndex(ui.main, MAIN_COMMENT_LIST), 3);
}

// ---- Indicators, lock and unlock ----

// ---- Save log ----

struct SaveLog : ::testing::Test {
    SaveLog() { RegisterDisplayCallbacks(); }
    // Save log chosen from the menu, the dialog answered with path (cancelled without one).
    int Choose(const char* path) {
        if (path) {
            ui.rec.QueueFileSelect(path);
        } else {
            ui.rec.QueueFileSelectCancel();
        }
        return ui.rec.FireMenu("_mfl52_20MMIMenuSaveLog", _v_MenuBarHandle, 103, _v_Panel);
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& p : ui.rec.Popups())
            if (p.kind == "Message") out.push_back(p.title + "|" + p.text);
        return out;
    }
    test::ScratchDir dir;
    MainPanel ui;
};

TEST_F(SaveLog, WritesTheLinesAsTheListShowsThemAndSaysWhere) {
    const std::string longText(150, 'L');
    AddCommentLine("Loading");
    AddFullCommentLine(longText);
    AddCommentLine("");
    ASSERT_EQ(Choose("job.log"), 0);
    EXPECT_EQ(test::ReadFile("job.log"), " Loading \n " + longText + " \n  \n");
    ASSERT_EQ(ui.rec.Popups().size(), 1u);
    EXPECT_EQ(ui.rec.Popups()[0].kind, "FileSelect");
    EXPECT_EQ(ui.rec.Popups()[0].buttonLabel, FILE_SELECT_SAVE);
    EXPECT_EQ(ui.rec.Popups()[0].pattern, "*.txt");
    const auto lines = ui.rec.ListLines(ui.main, MAIN_COMMENT_LIST);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back(), " Log written to job.log ");
    // A second save has the first one's line too, and replaces the file.
    ASSERT_EQ(Choose("job.log"), 0);
    EXPECT_EQ(test::ReadFile("job.log"),
              " Loading \n " + longText + " \n  \n Log written to job.log \n");
}

// Nothing written and nothing claimed: the operator is told where and why, or nothing
// happens at all on cancel.
TEST_F(SaveLog, FailuresAreReportedWithThePathAndTheReason) {
    std::filesystem::create_directory("taken");
    test::WriteFile("target.log", "kept");
    std::filesystem::create_symlink("target.log", "link.log");
    const std::string tooLong(300, 'p');
    const struct {
        const char* path;
        std::string message;  // "" for none
    } rows[] = {
        {"no/such/dir/job.log",
         "SAVE LOG|The log could not be written to no/such/dir/job.log: No such file or directory"},
        {"taken", "SAVE LOG|The log could not be written to taken: Is a directory"},
        {"link.log",
         "SAVE LOG|The log could not be written to link.log: it is a symbolic link, which is "
         "neither replaced nor written through: name the file itself"},
        {tooLong.c_str(),
         "SAVE LOG|The path of the chosen file is too long (259 characters at most): the log "
         "was not written."},
        {nullptr, ""},
    };
    AddCommentLine("Loading");
    for (const auto& row : rows) {
        ui.rec.ClearLog();
        ASSERT_EQ(Choose(row.path), 0);
        const std::vector<std::string> expected = row.message.empty()
                                                      ? std::vector<std::string>{}
                                                      : std::vector<std::string>{row.message};
        EXPECT_EQ(Messages(), expected) << (row.path ? row.path : "cancel");
        EXPECT_EQ(ui.rec.ListLines(ui.main, MAIN_COMMENT_LIST),
                  std::vector<std::string>{" Loading "});
    }
    // Only what was there before: no stray temporary file either.
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator("."))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"link.log", "taken", "target.log"}));
    EXPECT_TRUE(std::filesystem::is_empty("taken"));
    EXPECT_EQ(test::ReadFile("target.log"), "kept");
}

TEST(MainPanelControls, IndicatorResetOrder) {
    MainPanel ui;
    _mfl52_4InitControls();
    const std::string m = ui.P(ui.main);
    EXPECT_THAT(ui.rec.LogLines(),
                ElementsAre("SetCtrlVal " + m + " 15 0", "SetCtrlVal " + m + " 14 0",
                            "SetCtrlVal " + m + " 12 0", "SetCtrlVal " + m + " 11 0",
                            "SetCtrlVal " + m + " 17 \"\""));
}

TEST(MainPanelControls, LockDimsInOrderAndDimsTheMenuBarInPlace) {
    MainPanel ui;
    const int menu = _v_MenuBarHandle;
    _mfl52_5LockDuringDownload();
    const std::string m = ui.P(ui.main);
    EXPECT_THAT(
        ui.rec.LogLines(),
        ElementsAre("SetCtrlAttribute " + m + " 5 500 1", "SetCtrlAttribute " + m + " 16 500 1",
                    "SetCtrlAttribute " + m + " 4 500 1", "SetCtrlAttribute " + m + " 2 500 1",
                    "SetCtrlAttribute " + m + " 3 500 1",
                    "SetMenuBarAttribute " + ui.P(menu) + " 0 500 1", "ProcessSystemEvents"));
    for (int control : {2, 3, 4, 5, 16}) EXPECT_TRUE(ui.rec.IsDimmed(ui.main, control));
    EXPECT_FALSE(ui.rec.IsDimmed(ui.main, MAIN_PRODUCT_TYPE));
    EXPECT_EQ(ui.rec.LiveMenuBar(ui.main), menu);
    EXPECT_EQ(ui.rec.MenuAttribute(menu, 0, ATTR_DIMMED), 1);

    ui.rec.ClearLog();
    _mfl52_6UnlockAfterDownload();
    EXPECT_EQ(_v_MenuBarHandle, menu);
    EXPECT_EQ(ui.rec.LiveMenuBar(ui.main), menu);
    EXPECT_EQ(ui.rec.MenuAttribute(menu, 0, ATTR_DIMMED), 0);
    EXPECT_THAT(
        ui.rec.LogLines(),
        ElementsAre("SetMenuBarAttribute " + ui.P(menu) + " 0 500 0",
                    "SetCtrlAttribute " + m + " 16 500 0", "SetCtrlAttribute " + m + " 4 500 0",
                    "SetCtrlAttribute " + m + " 2 500 0", "SetCtrlAttribute " + m + " 3 500 0",
                    "SetCtrlAttribute " + m + " 5 500 0", "ProcessSystemEvents"));
    for (int control : {2, 3, 4, 5, 16}) EXPECT_FALSE(ui.rec.IsDimmed(ui.main, control));
    EXPECT_THAT(ui.rec.Errors(), IsEmpty());
}

TEST(MainPanelControls, AMessagePanelCanBeAcknowledgedWhileLocked) {
    MainPanel ui;
    _mfl52_10DisplayResult(ResultBoot, 9);
    _mfl52_5LockDuringDownload();
    const int boot = _v_PanelBootErr;
    ui.rec.SetEventHook(
        [&] { ui.rec.FireControl("_mfl54_4BootErrorWindowsButton", boot, 2, EVENT_COMMIT); });
    ProcessSystemEvents();
    EXPECT_TRUE(ui.rec.IsDiscarded(boot));
    EXPECT_TRUE(ui.rec.IsDimmed(ui.main, MAIN_START));
}

// ---- What the boot found ----

TEST(Indicators, CpuLabelByAnswerByte) {
    const struct {
        std::uint8_t answer;
        const char* label;
    } cases[] = {{0xBE, "BOOT FROM A VBC4410"},
                 {0x9D, "Unknown boot"},
                 {0x00, "Unknown boot"},
                 {0xBF, "Unknown boot"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        MainPanel ui;
        _mfl52_2DisplayTypeCPU(c.answer);
        const std::string m = ui.P(ui.main);
        EXPECT_THAT(ui.rec.LogLines(),
                    ElementsAre("SetCtrlAttribute " + m + " 15 940 \"" + c.label + "\"",
                                "SetCtrlVal " + m + " 15 1"));
    }
}

class FlashIndicator : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = _vg_FlashDescritpion;
        _vg_FlashDescritpion.count = 2;
        Describe(0, "AMD", "AM29LV800BB", 0x01, 0x5B);
        Describe(1, "ABCDEFGHIJKLMN", "OPQRSTUVWXYZ12", 0x20, 0xC4);
    }
    void TearDown() override { _vg_FlashDescritpion = saved_; }
    static void Describe(int i, const char* manufacturer, const char* device, std::uint8_t m,
                         std::uint8_t d) {
        FlashDescription& f = _vg_FlashDescritpion.descriptions[i];
        std::memset(&f, 0, sizeof f);
        std::snprintf(f.manufacturerName, sizeof f.manufacturerName, "%s", manufacturer);
        std::snprintf(f.deviceName, sizeof f.deviceName, "%s", device);
        f.manufacturerId = m;
        f.deviceId = d;
    }
    FlashDescriptionTable saved_{};
};

// A known flash lights the lamp beside its names; one flash.txt does not list is named by
// its codes and left dark.
TEST_F(FlashIndicator, LabelNamesTheFlashOrItsCodes) {
    const struct {
        std::uint8_t m, d;
        const char* label;
        int lit;
    } cases[] = {
        {0x01, 0x5B, " Flash AMD AM29LV800BB", 1},
        {0x20, 0xC4, " Flash ABCDEFGHIJKLMN OPQRSTUVWXYZ12", 1},
        {0x01, 0xC4, " Flash unknown (manufacturer 0x01, device 0xC4)", 0},
        {0xFF, 0x0A, " Flash unknown (manufacturer 0xFF, device 0x0A)", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        MainPanel ui;
        _mfl52_1DisplayTypeFlash(c.m, c.d);
        const std::string m = ui.P(ui.main);
        EXPECT_THAT(ui.rec.LogLines(),
                    ElementsAre("SetCtrlAttribute " + m + " 14 940 \"" + c.label + "\"",
                                "SetCtrlVal " + m + " 14 " + std::to_string(c.lit)));
    }
}

TEST(SectorDisplay, HasNoEffect) {
    MainPanel ui;
    std::int32_t displayed = 3;
    DownloadContext copy;
    _mfl52_0DisplaySector(4, 65536, 65536, "Downloaded", &copy, &displayed);
    _mfl52_0DisplaySector(5, 65536, 100, "Error", nullptr, nullptr);
    EXPECT_THAT(ui.rec.Log(), IsEmpty());
    EXPECT_EQ(displayed, 3);
}

}  // namespace
}  // namespace vbc
