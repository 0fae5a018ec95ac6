// Start-up: the run-time, the main panel and its menu bar, flash.txt, then the event loop.
#include "ui/mfl50dev.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "testing/programstate.h"
#include "testing/recordingtoolkit.h"
#include "tests/testutil.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::RecordingToolkit;
using Lines = std::vector<std::string>;

int gStartArgc = -1;
char** gStartArgv = nullptr;
int StartFails(int, char**) {
    return 0;
}
int StartRecords(int argc, char** argv) {
    gStartArgc = argc;
    gStartArgv = argv;
    return 1;
}

class StartUp : public ::testing::Test {
  protected:
    StartUp() : use_(rec_) {
        saved_ = _vg_FlashDescritpion;
        test::ResetProgramState();
    }
    ~StartUp() override {
        SetToolkitRunTime(nullptr, nullptr);
        test::ResetProgramState();
        _vg_FlashDescritpion = saved_;
    }
    int Main() {
        char arg0[] = "vbcflash";
        char* argv[] = {arg0, nullptr};
        return _main(1, argv);
    }
    std::vector<std::string> FlashErrors() const {
        std::vector<std::string> texts;
        for (int h : rec_.DisplayedPanels(kUtilityUir, UTIL_FLASH_FILE_ERR))
            texts.push_back(rec_.CtrlText(h, UTIL_MESSAGE_TEXT));
        return texts;
    }

    test::ScratchDir dir_;
    RecordingToolkit rec_;
    platform::ScopedToolkit use_;
    FlashDescriptionTable saved_;
};

TEST_F(StartUp, ARunTimeThatCannotStartEndsWithMinusOneShowingNothing) {
    SetToolkitRunTime(StartFails, nullptr);
    EXPECT_EQ(Main(), -1);
    EXPECT_TRUE(rec_.Log().empty());
}

TEST_F(StartUp, WithoutFlashTxtThePanelSaysSoAndStaysUsable) {
    bool ran = false;
    rec_.SetRunHook([&] {
        ran = true;
        EXPECT_TRUE(rec_.IsDisplayed(_v_Panel));
        EXPECT_EQ(rec_.FindPanel(_v_Panel)->resourceId, PANEL_MAIN);
        EXPECT_EQ(rec_.LiveMenuBar(_v_Panel), _v_MenuBarHandle);
        EXPECT_EQ(FlashErrors(), Lines{"FLASH DESCRIPTION : The file flash.txt not found"});
        EXPECT_TRUE(rec_.ListLines(_v_Panel, MAIN_COMMENT_LIST).empty());
        // Commands still work, then the menu ends the loop.
        EXPECT_EQ(rec_.FireMenu("_mfl51_121MMIMenuCS1_1WaitState", _v_MenuBarHandle, 121, _v_Panel),
                  0);
        EXPECT_EQ(_sg_DownloadContext.csWaitStates[1], 1);
        EXPECT_EQ(rec_.FireMenu("_mfl51_102MMIMenuQuit", _v_MenuBarHandle, 102, _v_Panel), 0);
    });
    EXPECT_EQ(Main(), 0);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(rec_.QuitRequested());
    EXPECT_TRUE(rec_.Errors().empty());
}

TEST_F(StartUp, WithFlashTxtNothingIsShownAndConfigTxtIsNotRead) {
    std::filesystem::copy_file(std::filesystem::path(VBC_SOURCE_DIR) / "examples" / "flash.txt",
                               "flash.txt");
    test::WriteFile("config.txt", test::Crlf({"CLA File : ", "COM : 4", "PMU : 1",
                                              "Product Type : 1", "Download Type : 0"}));
    SetToolkitRunTime(StartRecords, nullptr);
    gStartArgc = -1;

    EXPECT_EQ(Main(), 0);

    EXPECT_EQ(gStartArgc, 1);
    ASSERT_NE(gStartArgv, nullptr);
    EXPECT_GT(_vg_FlashDescritpion.count, 0);
    EXPECT_TRUE(FlashErrors().empty());
    EXPECT_EQ(rec_.DisplayedPanels(kMmiUir, PANEL_MAIN).size(), 1u);
    // The load-time defaults stand.
    EXPECT_EQ(_sg_DownloadContext.comPort, 1);
    EXPECT_EQ(_sg_DownloadContext.pmuOption, 0);
    EXPECT_EQ(_sg_DownloadContext.productType, 2);
    // Panel (Stop dimmed before it shows), then menu bar, then the loop.
    EXPECT_EQ(rec_.LogLines("LoadPanel"), Lines{"LoadPanel 0 mmi.uir 2"});
    const auto& log = rec_.Log();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0].op, "LoadPanel");
    EXPECT_EQ(log[1].op, "SetCtrlAttribute");
    EXPECT_TRUE(rec_.IsDimmed(_v_Panel, MAIN_STOP));
    EXPECT_EQ(log[2].op, "DisplayPanel");
    EXPECT_EQ(log[3].op, "LoadMenuBar");
    EXPECT_EQ(log.back().op, "RunUserInterface");
}

TEST_F(StartUp, StartMainPanelReportsWhatFlashTxtGave) {
    test::WriteFile("flash.txt", test::Crlf({"NEW_FLASH", "MANUFACTURER_NAME : ST", "oops"}));
    const std::int32_t status = StartMainPanel();
    // The line after MANUFACTURER_NAME is not DEVICE_NAME.
    EXPECT_EQ(status, 5);
    ASSERT_EQ(FlashErrors().size(), 1u);
    EXPECT_EQ(FlashErrors()[0],
              "FLASH DESCRIPTION : Problem with parameter DEVICE_NAME in the file flash.txt");
    // The table of callbacks is in place for the panel just loaded.
    EXPECT_NE(platform::FindCallback("_mfl51_50MMIStart"), nullptr);
    EXPECT_NE(platform::FindCallback("_mfl54_1FlashFileErrButton"), nullptr);
}

// The program's argument: a software file (a .cla opened from the file manager), loaded once
// the main panel is up as Load file loads it, with the same messages when it cannot be.
TEST_F(StartUp, ASoftwareFileArgumentIsLoadedAsLoadFileLoadsIt) {
    const std::string tooLong = (dir_.path() / std::string(300, 'x')).string() + ".cla";
    const std::string kTooLong =
        "The path of the chosen file is too long (259 characters at most): nothing was loaded.";
    struct Case {
        std::string argument;  // relative to the working directory, or absolute
        int size;              // of the image loaded, -1 for none
        std::string libPcError;
        std::string popup;
    };
    test::WriteFile("soft.cla", std::string(1234, '\x5A'));
    for (const Case& c :
         {Case{"soft.cla", 1234, "", ""}, Case{(dir_.path() / "soft.cla").string(), 1234, "", ""},
          Case{"missing.cla", -1, "LIB_PC : File not found", ""},
          Case{tooLong, -1, "", kTooLong}}) {
        SCOPED_TRACE(c.argument);
        test::ResetProgramState();
        platform::RecordingToolkit rec;
        platform::ScopedToolkit use(rec);
        Lines libPc;  // what the panel shows once the loop runs
        rec.SetRunHook([&] {
            for (int h : rec.DisplayedPanels(kUtilityUir, UTIL_LIB_PC_ERR))
                libPc.push_back(rec.CtrlText(h, UTIL_MESSAGE_TEXT));
        });
        std::string arg0 = "vbcflash";
        std::string arg1 = c.argument;
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        EXPECT_EQ(_main(2, argv, c.argument.c_str()), 0);

        const DownloadContext& ctx = _sg_DownloadContext;
        EXPECT_EQ(libPc, c.libPcError.empty() ? Lines{} : Lines{c.libPcError});
        Lines popups;
        for (const auto& p : rec.Popups()) popups.push_back(p.title + ": " + p.text);
        EXPECT_EQ(popups, c.popup.empty() ? Lines{} : Lines{"LOAD FILE: " + c.popup});
        if (c.size >= 0) {
            // Named absolute, as the dialog names it, so that a Save keeps the same file.
            EXPECT_EQ(std::string(ctx.claFileName), (dir_.path() / "soft.cla").string());
            EXPECT_EQ(rec.TextBoxLines(_v_Panel, MAIN_FILE_NAME), Lines{ctx.claFileName});
            EXPECT_EQ(ctx.fileSize, c.size);
            EXPECT_EQ(rec.CtrlValue(_v_Panel, MAIN_FILE_SIZE), c.size);
        } else {
            EXPECT_EQ(ctx.fileBuffer, nullptr);
            EXPECT_EQ(ctx.fileSize, 0);
        }
    }
}

TEST(ProgramArguments, AtMostOneSoftwareFileAndNoUnknownOption) {
    struct Case {
        std::vector<const char*> args;
        std::string file;
        std::string error;
    };
    for (const Case& c : {
             Case{{}, "", ""},
             Case{{"C:\\Work\\soft.cla"}, "C:\\Work\\soft.cla", ""},
             Case{{"--", "-odd.cla"}, "-odd.cla", ""},
             Case{{"-"}, "-", ""},
             Case{{"a.cla", "b.cla"}, "", "one software file at most ('a.cla', 'b.cla')"},
             Case{{"--load", "a.cla"}, "", "unknown option '--load'"},
             Case{{"a.cla", "-x"}, "", "unknown option '-x'"},
         }) {
        std::vector<const char*> argv{"vbcflash"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(none)");
        const ProgramArguments parsed =
            ParseProgramArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(parsed.error, c.error);
        if (c.error.empty()) {
            EXPECT_EQ(parsed.softwareFile, c.file);
        }
    }
}

}  // namespace
}  // namespace vbc
