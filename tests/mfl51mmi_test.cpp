// The operator's commands on the main panel and its menu bar, with the recording toolkit and
// the scripted serial line playing the phone.
#include "ui/mfl51mmi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/context.h"
#include "data/mfl51loadfile.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "testing/recordingtoolkit.h"
#include "testing/scriptedserial.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"
#include "tests/waitstateitems.h"
#include "toolkit/uiresources.h"
#include "ui/mfl50dev.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::RecordingToolkit;
using platform::ScriptedLine;
using Lines = std::vector<std::string>;

constexpr int kLockedControls[] = {MAIN_LOAD_FILE, MAIN_QUIT, MAIN_DOWNLOAD_CONFIG, MAIN_START,
                                   MAIN_PORT};

// What the operator sees of the lock at one moment.
struct LockView {
    bool menuBar = false;        // there and usable
    std::map<int, bool> dimmed;  // the five locked controls and the product-type selector
    bool turnOnShown = false;
};

class Commands : public ::testing::Test {
  protected:
    Commands() { RegisterProgramCallbacks(); }
    ~Commands() override { platform::CloseAllPorts(); }

    RecordingToolkit& Rec() { return ui_.rec; }
    DownloadContext& Ctx() { return _sg_DownloadContext; }
    int Fire(const char* callback, int control, int event) {
        return Rec().FireControl(callback, _v_Panel, control, event);
    }
    void Menu(const char* callback, int item = 0) {
        ASSERT_EQ(Rec().FireMenu(callback, _v_MenuBarHandle, item, _v_Panel), 0) << callback;
    }
    LockView Lock() {
        LockView v;
        v.menuBar = Rec().LiveMenuBar(_v_Panel) == _v_MenuBarHandle &&
                    Rec().MenuAttribute(_v_MenuBarHandle, 0, ATTR_DIMMED) == 0;
        for (int c : kLockedControls) v.dimmed[c] = Rec().IsDimmed(_v_Panel, c);
        v.dimmed[MAIN_PRODUCT_TYPE] = Rec().IsDimmed(_v_Panel, MAIN_PRODUCT_TYPE);
        v.turnOnShown = !Rec().DisplayedPanels(kMmiUir, PANEL_TURN_ON).empty();
        return v;
    }
    static bool FullyLocked(const LockView& v) {
        for (int c : kLockedControls) {
            if (!v.dimmed.at(c)) return false;
        }
        return !v.menuBar && !v.dimmed.at(MAIN_PRODUCT_TYPE);
    }
    // A software file loaded as Load file does, and the log forgotten.
    void LoadSoftware(std::size_t size = 1000) {
        test::WriteFile("soft.cla", std::string(size, '\x5A'));
        const std::string path = (dir_.path() / "soft.cla").string();
        std::strcpy(Ctx().claFileName, path.c_str());
        _mfl51_0InitLoadFile();
        ASSERT_EQ(Ctx().fileSize, static_cast<std::int32_t>(size));
        Rec().ClearLog();
    }
    void Bootstrap() { test::WriteFile("mfl104_5.spm", std::string(500, '\x11')); }
    // A phone that boots (product type 2) and then stays silent.
    static void BootingPhone(ScriptedLine& line) {
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        line.When("60 00", "44 A0 02 05 C2 20 CA 03");
    }
    // The toolkit operations since the log was last cleared, in order.
    Lines Ops() const {
        Lines ops;
        for (const auto& call : ui_.rec.Log()) ops.push_back(call.op);
        return ops;
    }
    Lines Popups() const {
        Lines out;
        for (const auto& p : ui_.rec.Popups()) out.push_back(p.kind + "|" + p.title + "|" + p.text);
        return out;
    }

    test::ScratchDir dir_;
    test::MainPanelUp ui_;
};

// ---- Start ----

// No name, or a name whose load failed and left no image: Start asks for a file and does
// nothing else.
TEST_F(Commands, StartWithoutAnImageOnlyAsksForOne) {
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "a name that did not load" : "no name");
        if (named) {
            LoadSoftware();
            std::filesystem::remove("soft.cla");
            _mfl51_0InitLoadFile();
            ASSERT_EQ(Ctx().fileBuffer, nullptr);
            ASSERT_NE(Ctx().claFileName[0], '\0');
            CloseMessagePanel(MessagePanel::LibPcErr);
            Rec().ClearLog();
        }
        ScriptedLine line;
        const int menuBar = _v_MenuBarHandle;
        const DownloadContext before = Ctx();

        EXPECT_EQ(Fire("_mfl51_50MMIStart", MAIN_START, EVENT_COMMIT), 0);

        EXPECT_EQ(Popups(), Lines{"Message|DOWNLOAD|PLEASE LOAD A FILE BEFORE START"});
        // The popup and nothing else: no indicator reset, no lock, no port.
        EXPECT_EQ(Ops(), (Lines{"FireControl", "MessagePopup"}));
        EXPECT_TRUE(ui_.Unlocked());
        EXPECT_EQ(_v_MenuBarHandle, menuBar);
        EXPECT_EQ(std::memcmp(&before, &Ctx(), sizeof before), 0);
        EXPECT_TRUE(line.Opens().empty());
        EXPECT_TRUE(line.Events().empty());
    }
}

TEST_F(Commands, StartActsOnCommitOnly) {
    ScriptedLine line;
    LoadSoftware();
    for (int event : {EVENT_VAL_CHANGED, EVENT_CLOSE, 0}) {
        EXPECT_EQ(Fire("_mfl51_50MMIStart", MAIN_START, event), 0);
    }
    EXPECT_TRUE(Rec().Popups().empty());
    EXPECT_TRUE(line.Events().empty());
    EXPECT_EQ(Rec().LogLines("LoadPanel").size(), 0u);
}

// A phone that never answers: locked for the whole boot, the time-out panel, then unlocked
// with the same menu bar and the port released, in that order.
TEST_F(Commands, BootTimeoutLocksThenShowsTimeoutUnlocksAndReleasesThePort) {
    ScriptedLine line;
    Bootstrap();
    LoadSoftware();
    Ctx().comPort = 3;
    const int oldMenuBar = _v_MenuBarHandle;
    std::vector<LockView> duringBoot;
    line.OnDtr([&](ScriptedLine&, bool on) {
        if (on) duringBoot.push_back(Lock());
    });
    const std::int64_t startedAt = line.Clock().Now();

    EXPECT_EQ(Fire("_mfl51_50MMIStart", MAIN_START, EVENT_COMMIT), 0);

    ASSERT_EQ(duringBoot.size(), 1u);
    EXPECT_TRUE(FullyLocked(duringBoot[0]));
    EXPECT_TRUE(duringBoot[0].turnOnShown);

    // Result (6, 4): the time-out panel, nothing else.
    DownloadResult shown;
    ASSERT_TRUE(LastDisplayedResult(&shown));
    EXPECT_EQ(shown.category, ResultBoot);
    EXPECT_EQ(shown.code, 4);
    EXPECT_EQ(Rec().DisplayedPanels(kMmiUir, PANEL_TIMEOUT).size(), 1u);
    EXPECT_EQ(ui_.PanelsShown(), 1u);
    EXPECT_TRUE(Rec().DisplayedPanels(kMmiUir, PANEL_TURN_ON).empty());
    EXPECT_EQ(Rec().LivePanels(kMmiUir, PANEL_TURN_ON).size(), 0u);
    // No indicator lit.
    EXPECT_EQ(Rec().CtrlValue(_v_Panel, MAIN_CPU_LED), 0);
    EXPECT_EQ(Rec().CtrlValue(_v_Panel, MAIN_FLASH_LED), 0);

    EXPECT_TRUE(ui_.Unlocked());
    EXPECT_EQ(_v_MenuBarHandle, oldMenuBar);
    EXPECT_EQ(Rec().LiveMenuBar(_v_Panel), _v_MenuBarHandle);

    // The port of the job is released last: DTR down, then closed.
    ASSERT_EQ(line.Opens().size(), 1u);
    EXPECT_EQ(line.Opens()[0].deviceName, "COM3");
    EXPECT_FALSE(line.IsOpen());
    ASSERT_GE(line.Events().size(), 2u);
    EXPECT_EQ(line.Events().back(), "close");
    EXPECT_EQ(line.Events()[line.Events().size() - 2], "dtr off");

    // Start stamps both times before the boot; the time-out passes after.
    EXPECT_EQ(Ctx().startTime, startedAt);
    EXPECT_EQ(Ctx().stepTime, startedAt);
    EXPECT_GE(line.Clock().Now(), startedAt + 5);

    // Order of the end of the job: result panel, unlock (new menu bar), then the port.
    const Lines log = Rec().LogLines();
    const auto at = [&](const std::string& prefix) {
        return std::find_if(log.begin(), log.end(),
                            [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }) -
               log.begin();
    };
    EXPECT_LT(at("LoadPanel 0 mmi.uir 1"), at("LoadPanel 0 mmi.uir 3"));
    EXPECT_LT(at("LoadPanel 0 mmi.uir 3"), at("LoadMenuBar"));
}

// However the operator stops a job, it ends at its next wait with the stopped result, sends the
// phone nothing more, releases the port and leaves no request behind for the next job.
int gTicks = 0;
TEST_F(Commands, AStoppedJobEndsAtItsNextWaitAndReleasesThePort) {
    enum class Way { kStopButton, kCancel, kCloseBox, kStopWhileTheLineWaits };
    struct Case {
        const char* name;
        Way way;
        bool phoneBoots;
    };
    const Case cases[] = {
        {"Stop while the phone is woken", Way::kStopButton, false},
        {"Cancel on the turn-on panel", Way::kCancel, false},
        {"close box, answered yes: stop, then quit", Way::kCloseBox, false},
        {"Stop pressed while the sequence waits for an answer", Way::kStopWhileTheLineWaits, true},
    };
    Bootstrap();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        LoadSoftware();
        bool stopWasLive = false;
        std::size_t sentBeforeStop = 0;
        if (c.phoneBoots) {
            BootingPhone(line);
            // The window runs its events while the line waits: Stop is pressed at the first.
            gTicks = 0;
            platform::SetJobWaitHook([] {
                if (++gTicks == 1) {
                    RecordingToolkit& rec =
                        static_cast<RecordingToolkit&>(platform::CurrentToolkit());
                    rec.FireControl("_mfl51_53MMIStop", _v_Panel, MAIN_STOP, EVENT_COMMIT);
                }
            });
        } else {
            line.OnDtr([&](ScriptedLine& l, bool on) {
                if (!on) return;
                stopWasLive = !Rec().IsDimmed(_v_Panel, MAIN_STOP);
                sentBeforeStop = l.Sent().size();
                if (c.way == Way::kStopButton) {
                    Fire("_mfl51_53MMIStop", MAIN_STOP, EVENT_COMMIT);
                } else if (c.way == Way::kCancel) {
                    const auto turnOn = Rec().DisplayedPanels(kMmiUir, PANEL_TURN_ON);
                    ASSERT_EQ(turnOn.size(), 1u);
                    Rec().FireControl("_mfl51_54MMITurnOnCancel", turnOn[0], TURN_ON_CANCEL,
                                      EVENT_COMMIT);
                } else {
                    Rec().QueueConfirm(1);
                    Rec().FirePanel("_mfl51_61MMIInterfacePanelFunction", _v_Panel, EVENT_CLOSE);
                }
            });
        }

        EXPECT_EQ(Fire("_mfl51_50MMIStart", MAIN_START, EVENT_COMMIT), 0);
        platform::SetJobWaitHook(nullptr);

        DownloadResult shown;
        ASSERT_TRUE(LastDisplayedResult(&shown));
        EXPECT_EQ(shown.category, ResultStopped);
        EXPECT_EQ(shown.code, StopCode::kByOperator);
        char text[100];
        EXPECT_STREQ(ResultMessage(shown.category, shown.code, text),
                     "Download stopped: the phone's flash may hold part of the software. Run it "
                     "again before use.");
        EXPECT_EQ(Rec().DisplayedPanels(kUtilityUir, UTIL_GENERIC_ERR).size(), 1u);
        if (!c.phoneBoots) {
            EXPECT_TRUE(stopWasLive);
            // Not even the boot loader's answer went out after the stop.
            EXPECT_EQ(line.Sent().size(), sentBeforeStop);
        } else {
            EXPECT_GE(gTicks, 1);
        }
        // A stop is seen at once: no time-out ran out on the way, but for the one slice of a
        // wait after which Stop was pressed.
        EXPECT_EQ(line.TimeoutsFired(), c.phoneBoots ? 1 : 0);
        EXPECT_FALSE(line.IsOpen());
        EXPECT_TRUE(ui_.Unlocked());
        EXPECT_TRUE(Rec().IsDimmed(_v_Panel, MAIN_STOP));
        EXPECT_FALSE(JobStopRequested());
        EXPECT_FALSE(JobRunning());
        EXPECT_EQ(Rec().Calls("QuitUserInterface").size(), c.way == Way::kCloseBox ? 1u : 0u);
        if (c.way == Way::kCloseBox) {
            EXPECT_EQ(Popups().front(),
                      "Confirm|Confirm to quit|A download is running. Stop it and quit? The "
                      "phone's flash may then hold part of the new software.");
        }
        // Stop outside a job asks for nothing.
        Fire("_mfl51_53MMIStop", MAIN_STOP, EVENT_COMMIT);
        EXPECT_FALSE(JobStopRequested());
        AcknowledgeMessagePanel(MessagePanel::GenericErr, EVENT_COMMIT);
    }
}

TEST_F(Commands, PortIsReleasedAfterEveryJobThatPassedTheFileCheck) {
    struct Case {
        const char* name;
        int openError;          // the port cannot be opened
        bool phoneBoots;        // the phone boots, then stays silent
        std::int32_t category;  // the job's result
        bool portWasOpened;
    };
    const Case cases[] = {
        {"open fails", kComErrCannotOpen, false, ResultLibPc, false},
        {"phone silent", 0, false, ResultBoot, true},
        {"sequence fails", 0, true, ResultCommand, true},
    };
    Bootstrap();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        line.SetOpenError(c.openError);
        if (c.phoneBoots) BootingPhone(line);
        LoadSoftware();
        ClearLastDisplayedResult();

        Fire("_mfl51_50MMIStart", MAIN_START, EVENT_COMMIT);

        DownloadResult shown;
        ASSERT_TRUE(LastDisplayedResult(&shown));
        EXPECT_EQ(shown.category, c.category);
        EXPECT_TRUE(ui_.Unlocked());
        EXPECT_FALSE(line.IsOpen());
        EXPECT_EQ(line.Closes(), c.portWasOpened ? 1 : 0);
        if (c.portWasOpened) {
            EXPECT_EQ(line.Events().back(), "close");
        }
        platform::CloseAllPorts();
    }
}

// The product-type selector stays live during a job: changed while the indicators are lit,
// it decides whether the download sequence runs.
TEST_F(Commands, ProductTypeSelectorDecidesTheSequenceDuringTheJob) {
    struct Case {
        const char* name;
        int changeTo;  // 0: no change
        bool sequenceRuns;
        std::int32_t category;
    };
    const Case cases[] = {
        {"kept at 2", 0, true, ResultCommand},
        {"changed to 3", 3, false, ResultSuccess},
    };
    Bootstrap();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        BootingPhone(line);
        LoadSoftware();
        Ctx().productType = 2;
        ClearLastDisplayedResult();
        std::vector<LockView> atIndicators;
        Rec().SetEventHook([&] {
            // Once the CPU indicator is lit (step 8), as an operator would.
            if (Rec().CtrlValue(_v_Panel, MAIN_CPU_LED) != 1 || !atIndicators.empty()) return;
            atIndicators.push_back(Lock());
            if (c.changeTo != 0) {
                Rec().SetCtrlVal(_v_Panel, MAIN_PRODUCT_TYPE, c.changeTo);
                EXPECT_EQ(Rec().FireControl("_mfl51_59MMISelectProjectType", _v_Panel,
                                            MAIN_PRODUCT_TYPE, EVENT_VAL_CHANGED),
                          0);
            }
        });

        Fire("_mfl51_50MMIStart", MAIN_START, EVENT_COMMIT);
        Rec().SetEventHook(nullptr);

        ASSERT_EQ(atIndicators.size(), 1u);
        EXPECT_TRUE(FullyLocked(atIndicators[0]));
        EXPECT_EQ(Rec().Label(_v_Panel, MAIN_CPU_LED), "BOOT FROM A VBC4410");
        // After the jump frame, the sequence's first command is the speed change (0xE0).
        const auto& sent = line.Sent();
        const std::vector<std::uint8_t> jump = {0x60, 0x00};
        const auto afterJump = std::search(sent.begin(), sent.end(), jump.begin(), jump.end());
        ASSERT_NE(afterJump, sent.end());
        const bool commandSent = std::find(afterJump + 2, sent.end(), 0xE0) != sent.end();
        EXPECT_EQ(commandSent, c.sequenceRuns);
        DownloadResult shown;
        ASSERT_TRUE(LastDisplayedResult(&shown));
        EXPECT_EQ(shown.category, c.category);
        EXPECT_EQ(Ctx().productType, c.changeTo != 0 ? c.changeTo : 2);
        EXPECT_TRUE(ui_.Unlocked());
        EXPECT_FALSE(line.IsOpen());
        platform::CloseAllPorts();
        ForgetMessagePanels();
    }
}

// ---- Quit ----

// Quit, by its button or by the window's close box.
void QuitBy(bool closeBox, RecordingToolkit& rec) {
    if (closeBox) {
        EXPECT_EQ(rec.FirePanel("_mfl51_61MMIInterfacePanelFunction", _v_Panel, EVENT_CLOSE), 0);
    } else {
        EXPECT_EQ(rec.FireControl("_mfl51_51MMIQuit", _v_Panel, MAIN_QUIT, EVENT_COMMIT), 0);
    }
}

TEST_F(Commands, QuitAnsweredNoChangesNothing) {
    for (bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "Quit");
        LoadSoftware();
        std::uint8_t* image = Ctx().fileBuffer;
        Rec().QueueConfirm(0);

        QuitBy(closeBox, Rec());

        EXPECT_EQ(Popups(), Lines{"Confirm|Confirm to quit|Do you really want to quit?"});
        EXPECT_FALSE(Rec().QuitRequested());
        EXPECT_EQ(Ctx().fileBuffer, image);
        EXPECT_EQ(Ctx().fileSize, 1000);
        EXPECT_TRUE(Rec().Calls("QuitUserInterface").empty());
    }
}

int gReleases = 0;
void CountRelease() {
    ++gReleases;
}

TEST_F(Commands, QuitAnsweredYesReleasesTheImageAndEndsTheLoop) {
    for (bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "Quit");
        LoadSoftware();
        gReleases = 0;
        SetToolkitRunTime(nullptr, CountRelease);
        Rec().QueueConfirm(1);

        QuitBy(closeBox, Rec());
        SetToolkitRunTime(nullptr, nullptr);

        EXPECT_EQ(Rec().Calls("QuitUserInterface").size(), 1u);
        EXPECT_EQ(Rec().QuitCode(), 0);
        EXPECT_EQ(Ctx().fileBuffer, nullptr);
        EXPECT_EQ(Ctx().fileSize, 0);
        // Start could not run on the released image.
        EXPECT_STREQ(Ctx().claFileName, "");
        EXPECT_EQ(gReleases, 1);
    }
}

TEST_F(Commands, QuitActsOnCommitOnlyAndMenuQuitDoesNotAsk) {
    LoadSoftware();
    Rec().QueueConfirm(1);
    EXPECT_EQ(Fire("_mfl51_51MMIQuit", MAIN_QUIT, EVENT_VAL_CHANGED), 0);
    EXPECT_TRUE(Rec().Popups().empty());
    EXPECT_FALSE(Rec().QuitRequested());

    Menu("_mfl51_102MMIMenuQuit", 102);
    EXPECT_TRUE(Rec().Popups().empty());
    EXPECT_TRUE(Rec().QuitRequested());
    // Nothing released.
    EXPECT_NE(Ctx().fileBuffer, nullptr);
    EXPECT_EQ(Ctx().fileSize, 1000);
}

// ---- Load file ----

TEST_F(Commands, LoadFileCancelledLoadsNothing) {
    LoadSoftware(10);
    const DownloadContext before = Ctx();
    Rec().QueueFileSelectCancel();

    EXPECT_EQ(Fire("_mfl51_52MMILoadFile", MAIN_LOAD_FILE, EVENT_COMMIT), 0);

    EXPECT_EQ(std::memcmp(&before, &Ctx(), sizeof before), 0);
    EXPECT_EQ(Ops(), (Lines{"FireControl", "FileSelectPopup"}));
}

TEST_F(Commands, LoadFileOpensTheDialogWhereTheLastFileWasAndLoadsTheChoice) {
    LoadSoftware(10);
    test::WriteFile("other.cla", std::string(77, 'x'));
    const std::string other = (dir_.path() / "other.cla").string();
    Rec().QueueFileSelect(other);

    EXPECT_EQ(Fire("_mfl51_52MMILoadFile", MAIN_LOAD_FILE, EVENT_COMMIT), 0);

    ASSERT_EQ(Rec().Popups().size(), 1u);
    EXPECT_EQ(Rec().Popups()[0].kind, "FileSelect");
    EXPECT_EQ(Rec().Popups()[0].directory, dir_.path().string());
    EXPECT_EQ(Rec().Popups()[0].pattern, "*.cla");
    EXPECT_STREQ(Ctx().claFileName, other.c_str());
    EXPECT_EQ(Ctx().fileSize, 77);
    EXPECT_EQ(Rec().CtrlValue(_v_Panel, MAIN_FILE_SIZE), 77);
    EXPECT_TRUE(ui_.Unlocked());
}

TEST_F(Commands, LoadFileRefusesAPathTooLongAndSaysSo) {
    LoadSoftware(10);
    const DownloadContext before = Ctx();
    Rec().QueueFileSelect("/" + std::string(300, 'a') + ".cla");

    EXPECT_EQ(Fire("_mfl51_52MMILoadFile", MAIN_LOAD_FILE, EVENT_COMMIT), 0);

    EXPECT_EQ(std::memcmp(&before, &Ctx(), sizeof before), 0);
    ASSERT_EQ(Rec().Popups().size(), 2u);
    EXPECT_EQ(Rec().Popups()[1].kind, "Message");
    EXPECT_NE(Rec().Popups()[1].text.find("too long"), std::string::npos);
}

// ---- Selectors ----

TEST_F(Commands, SelectorsStoreTheirValueOnValueChangedOnly) {
    struct Case {
        const char* callback;
        int control;
        int value;
        std::int32_t DownloadContext::*field;
        std::int32_t expected;
        int undims;  // control undimmed by the change, 0 for none
    };
    const Case cases[] = {
        {"_mfl51_56MMISelectPort", MAIN_PORT, 7, &DownloadContext::comPort, 7, 0},
        {"_mfl51_59MMISelectProjectType", MAIN_PRODUCT_TYPE, 1, &DownloadContext::productType, 1,
         MAIN_DOWNLOAD_CONFIG},
        // Whatever entry is chosen, the download type is 0.
        {"_mfl51_60MMIDownloadConfiguration", MAIN_DOWNLOAD_CONFIG, 3,
         &DownloadContext::downloadType, 0, MAIN_START},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.callback);
        Ctx().downloadType = 4;
        Rec().SetCtrlVal(_v_Panel, c.control, c.value);
        const std::int32_t before = Ctx().*c.field;
        if (c.undims) Rec().SetCtrlAttribute(_v_Panel, c.undims, ATTR_DIMMED, 1);

        // A commit is not a change.
        EXPECT_EQ(Fire(c.callback, c.control, EVENT_COMMIT), 0);
        EXPECT_EQ(Ctx().*c.field, before);
        if (c.undims) {
            EXPECT_TRUE(Rec().IsDimmed(_v_Panel, c.undims));
        }

        EXPECT_EQ(Fire(c.callback, c.control, EVENT_VAL_CHANGED), 0);
        EXPECT_EQ(Ctx().*c.field, c.expected);
        if (c.undims) {
            EXPECT_FALSE(Rec().IsDimmed(_v_Panel, c.undims));
        }
    }
}

TEST_F(Commands, SimLockAndPanelCallbackDoNothing) {
    const DownloadContext before = Ctx();
    Rec().ClearLog();
    for (int event : {EVENT_COMMIT, EVENT_VAL_CHANGED, EVENT_CLOSE}) {
        EXPECT_EQ(Fire("_mfl51_57MMISelectSimLock", 9, event), 0);
        // Only the close box means something to the panel (Quit, tested with Quit).
        if (event != EVENT_CLOSE) {
            EXPECT_EQ(Rec().FirePanel("_mfl51_61MMIInterfacePanelFunction", _v_Panel, event), 0);
        }
    }
    EXPECT_EQ(std::memcmp(&before, &Ctx(), sizeof before), 0);
    for (const auto& line : Rec().LogLines()) EXPECT_EQ(line.rfind("Fire", 0), 0u) << line;
    EXPECT_FALSE(Rec().QuitRequested());
}

// ---- Verify after writing ----

TEST_F(Commands, VerifyAfterWritingTogglesTheOptionAndItsCheck) {
    ShowVerifyOption();
    EXPECT_EQ(Rec().MenuAttribute(_v_MenuBarHandle, MENU_ITEM_VERIFY, ATTR_CHECKED), 0);
    for (int expected : {1, 0, 1}) {
        Menu("_mfl51_170MMIMenuVerify", MENU_ITEM_VERIFY);
        EXPECT_EQ(Ctx().verifyOption, expected);
        EXPECT_EQ(Rec().MenuAttribute(_v_MenuBarHandle, MENU_ITEM_VERIFY, ATTR_CHECKED), expected);
    }
}

// ---- Wait states ----

// Each choice also moves the check of its chip select's row to the chosen item; the other
// rows keep theirs.
TEST_F(Commands, EveryWaitStateItemSetsItsChipSelectAndSaysSo) {
    auto checks = [&] {
        std::string grid;  // one row of five per chip select, 'x' checked
        for (int cs = 0; cs < 4; ++cs) {
            for (int n = 0; n < 5; ++n)
                grid += Rec().MenuAttribute(_v_MenuBarHandle, WaitStateItem(cs, n), ATTR_CHECKED)
                            ? 'x'
                            : '.';
            grid += cs < 3 ? " " : "";
        }
        return grid;
    };
    ShowWaitStates();
    EXPECT_EQ(checks(), "x.... x.... x.... x....");
    int lines = 0;
    for (const auto& item : test::kWaitStateItems) {
        const int cs = item.chipSelect;
        const int n = item.waitStates;
        const char* name = WaitStateCallbackName(cs, n);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, item.callback);
        std::uint8_t before[4];
        std::memcpy(before, Ctx().csWaitStates, 4);

        Menu(name, item.id);

        for (int other = 0; other < 4; ++other) {
            EXPECT_EQ(Ctx().csWaitStates[other], other == cs ? n : before[other])
                << name << " chip select " << other;
        }
        ++lines;
        const Lines comments = ui_.Comments();
        ASSERT_EQ(comments.size(), static_cast<std::size_t>(lines));
        EXPECT_EQ(comments.back(), " " + std::to_string(n) + " wait state on the chip select " +
                                       std::to_string(cs) + " ");
        EXPECT_EQ(Rec().ListIndex(_v_Panel, MAIN_COMMENT_LIST), lines - 1);
        std::string row = ".....";
        row[static_cast<std::size_t>(n)] = 'x';
        EXPECT_EQ(checks().substr(static_cast<std::size_t>(cs) * 6, 5), row) << name;
    }
    // Each chip select's last choice, 4, stays checked.
    EXPECT_EQ(checks(), "....x ....x ....x ....x");
    EXPECT_EQ(WaitStateCallbackName(4, 0), nullptr);
    EXPECT_EQ(WaitStateCallbackName(0, 5), nullptr);
    EXPECT_EQ(WaitStateCallbackName(-1, 0), nullptr);
}

// ---- Line speed ----

// Each row's item sets the speed row, moves the check to itself and names the rate; an item
// number beyond the rows with a PC rate changes nothing.
TEST_F(Commands, EveryLineSpeedItemSetsItsRowAndSaysSo) {
    auto checks = [&] {
        std::string row;
        for (int r = 0; r <= 8; ++r)
            row +=
                Rec().MenuAttribute(_v_MenuBarHandle, LineSpeedItem(r), ATTR_CHECKED) ? 'x' : '.';
        return row;
    };
    ShowLineSpeed();
    EXPECT_EQ(checks(), ".x.......");
    const char* const comments[] = {
        " Line speed: 38400 bit/s (row 0) ",  " Line speed: 115200 bit/s (row 1) ",
        " Line speed: 162500 bit/s (row 2) ", " Line speed: 203125 bit/s (row 3) ",
        " Line speed: 220338 bit/s (row 4) ", " Line speed: 240740 bit/s (row 5) ",
        " Line speed: 260000 bit/s (row 6) ", " Line speed: 270833 bit/s (row 7) ",
        " Line speed: 302325 bit/s (row 8) ",
    };
    for (int row = 8; row >= 0; --row) {
        Menu("_mfl51_160MMIMenuLineSpeed", LineSpeedItem(row));
        EXPECT_EQ(Ctx().speedIndex, row);
        EXPECT_EQ(ui_.Comments().back(), comments[row]);
        std::string expected(9, '.');
        expected[static_cast<std::size_t>(row)] = 'x';
        EXPECT_EQ(checks(), expected);
    }
    const std::size_t lines = ui_.Comments().size();
    for (int item : {LineSpeedItem(9), LineSpeedItem(12), LineSpeedItem(-1), 150}) {
        Menu("_mfl51_160MMIMenuLineSpeed", item);
        EXPECT_EQ(Ctx().speedIndex, 0) << item;
    }
    EXPECT_EQ(ui_.Comments().size(), lines);
    EXPECT_EQ(checks(), "x........");
}

// ---- Restore and save ----

TEST_F(Commands, RestoreAndSaveFailuresShowTheConfigurationPanel) {
    // No config.txt to restore.
    ClearLastDisplayedResult();
    Menu("_mfl51_100MMIMenuRestore", 100);
    DownloadResult shown;
    ASSERT_TRUE(LastDisplayedResult(&shown));
    EXPECT_EQ(shown.category, ResultConfigFile);
    EXPECT_EQ(shown.code, 2);
    EXPECT_EQ(ui_.Shown(UTIL_CONF_FILE_ERR), Lines{"There is no configuration file "});

    // A record that breaks off after the port line.
    LoadSoftware(5);
    test::WriteFile("config.txt", test::Crlf({std::string("CLA File : ") + Ctx().claFileName,
                                              "COM : 2", "PMX : 0"}));
    ClearLastDisplayedResult();
    Menu("_mfl51_100MMIMenuRestore", 100);
    ASSERT_TRUE(LastDisplayedResult(&shown));
    EXPECT_EQ(shown.category, ResultConfigFile);
    EXPECT_EQ(shown.code, 10);
    EXPECT_EQ(ui_.Shown(UTIL_CONF_FILE_ERR), Lines{"Bad PMU description in configuration file "});

    // config.txt cannot be written: a directory stands in its place.
    std::filesystem::remove("config.txt");
    std::filesystem::create_directory("config.txt");
    ClearLastDisplayedResult();
    Menu("_mfl51_101MMIMenuSave", 101);
    ASSERT_TRUE(LastDisplayedResult(&shown));
    EXPECT_EQ(shown.category, ResultConfigFile);
    EXPECT_EQ(shown.code, 2);
    EXPECT_EQ(ui_.Shown(UTIL_CONF_FILE_ERR), Lines{"There is no configuration file "});
}

TEST_F(Commands, SaveThenRestoreBringsTheSettingsBackAndShowsNothing) {
    LoadSoftware(5);
    const std::string file = Ctx().claFileName;
    Ctx().comPort = 4;
    Ctx().productType = 1;
    ClearLastDisplayedResult();
    Menu("_mfl51_101MMIMenuSave", 101);
    EXPECT_FALSE(LastDisplayedResult(nullptr));
    // The operator sees where the settings went.
    EXPECT_EQ(
        ui_.Comments().back(),
        " Settings saved in " + (std::filesystem::current_path() / "config.txt").string() + " ");

    Ctx().comPort = 1;
    Ctx().productType = 2;
    Menu("_mfl51_100MMIMenuRestore", 100);
    EXPECT_FALSE(LastDisplayedResult(nullptr));
    EXPECT_EQ(Ctx().comPort, 4);
    EXPECT_EQ(Ctx().productType, 1);
    EXPECT_EQ(Ctx().claFileName, file);
    EXPECT_EQ(Ctx().fileSize, 5);
    EXPECT_EQ(ui_.PanelsShown(), 0u);
}

// ---- The callback table ----

// Every callback a panel or menu resource names is in the program's table, of its kind.
TEST_F(Commands, EveryCallbackTheResourcesNameIsRegistered) {
    int checked = 0;
    for (const platform::UiResourceInfo& res : platform::UiResources()) {
        platform::UiPanelInfo info;
        ASSERT_TRUE(platform::ReadUiPanel(res.xml, &info)) << res.name;
        if (!info.callback.empty()) {
            const auto* e = platform::FindCallback(info.callback);
            ASSERT_NE(e, nullptr) << res.name << ": " << info.callback;
            EXPECT_NE(e->panel, nullptr) << info.callback;
            ++checked;
        }
        for (const auto& c : info.controls) {
            if (c.callback.empty()) continue;
            const auto* e = platform::FindCallback(c.callback);
            ASSERT_NE(e, nullptr) << res.name << ": " << c.callback;
            EXPECT_NE(e->control, nullptr) << c.callback;
            ++checked;
        }
        for (const auto& m : info.menuItems) {
            const auto* e = platform::FindCallback(m.callback);
            ASSERT_NE(e, nullptr) << res.name << ": " << m.callback;
            EXPECT_NE(e->menu, nullptr) << m.callback;
            ++checked;
        }
    }
    // The main panel's 8, the menu bar's 24 and the OK buttons of the message panels.
    EXPECT_GE(checked, 8 + 24 + 11);
}

}  // namespace
}  // namespace vbc
