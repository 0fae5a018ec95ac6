#include "ui/mfl51mmi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

#include "core/context.h"
#include "core/mfl3spm10.h"
#include "data/mfl51loadfile.h"
#include "data/mfl56conf.h"
#include "link/mfl12pclib.h"
#include "link/mfl1boot.h"
#include "platform/clock.h"
#include "platform/jobstop.h"
#include "toolkit/toolkit.h"
#include "ui/mfl50dev.h"
#include "ui/mfl52display.h"
#include "ui/mfl53ser.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

// Label of the file dialog's button, as the dialog expects it.
constexpr int kFileSelectButtonLabel = 3;
constexpr const char* kPathTooLong =
    "The path of the chosen file is too long (259 characters at most): nothing was loaded.";

// The window's close box asked to quit during a job: the job was told to stop, and the program
// ends once it has released the port.
bool gQuitAfterJob = false;

// Quit's yes: releases the image and ends the event loop and the run-time.
void QuitProgram() {
    DownloadContext& context = _sg_DownloadContext;
    if (context.fileBuffer) {
        std::free(context.fileBuffer);
        // Nothing may name the released image any more, should an event still arrive.
        context.fileBuffer = nullptr;
        context.fileSize = 0;
        context.claFileName[0] = '\0';
    }
    QuitUserInterface(0);
    ReleaseToolkitRunTime();
}

// The items of one chip select show the value in force: that one checked, the others not.
void ShowWaitStatesOf(int chipSelect) {
    for (int n = 0; n <= 4; ++n) {
        SetMenuBarAttribute(_v_MenuBarHandle, WaitStateItem(chipSelect, n), ATTR_CHECKED,
                            _sg_DownloadContext.csWaitStates[chipSelect] == n ? 1 : 0);
    }
}

void SetWaitState(int chipSelect, int waitStates) {
    _sg_DownloadContext.csWaitStates[chipSelect] = static_cast<std::uint8_t>(waitStates);
    ShowWaitStatesOf(chipSelect);
    char text[48];
    std::snprintf(text, sizeof text, "%d wait state on the chip select %d", waitStates, chipSelect);
    AddCommentLine(text);
}

// Quitting would end the station's jobs without a record of their phones: the operator stops it
// in its window first.
bool StationHoldsProgram() {
    if (StationPorts().empty()) return false;
    MessagePopup("Confirm to quit",
                 "The station is running. Stop it in the station window before quitting.");
    return true;
}

StationWindowOpener gStationWindowOpener = nullptr;

// Rows of the speed table that have a PC rate: the ones the line-speed items offer.
bool IsLineSpeedRow(int row) {
    return row >= 0 && row < NB_PC_SPEED_VALUES;
}

}  // namespace

// ---- Start ----

int _mfl51_50MMIStart(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    DownloadContext& context = _sg_DownloadContext;

    // A name whose load failed leaves no image: there is nothing to write either.
    if (context.claFileName[0] == '\0' || !context.fileBuffer) {
        MessagePopup("DOWNLOAD", "PLEASE LOAD A FILE BEFORE START");
        return 0;
    }
    if (StationRefusesPort(context.comPort, "DOWNLOAD")) return 0;

    _mfl52_4InitControls();
    _mfl52_5LockDuringDownload();
    // From here the operator may stop the job (Stop, Cancel, the close box, a signal).
    SetJobRunning(true);
    SetCtrlAttribute(_v_Panel, MAIN_STOP, ATTR_DIMMED, 0);
    ProcessSystemEvents();

    context.startTime = static_cast<std::int32_t>(Time());
    context.stepTime = static_cast<std::int32_t>(Time());

    _v_PanelTurnOn = LoadPanel(0, kMmiUir, PANEL_TURN_ON);
    DisplayPanel(_v_PanelTurnOn);

    DownloadResult result;
    _mfl1_0boot(&result, &context);

    DiscardPanel(_v_PanelTurnOn);

    if (IsSuccess(result)) {
        _mfl52_2DisplayTypeCPU(context.targetInfo[1]);
        ProcessSystemEvents();
        _mfl52_1DisplayTypeFlash(context.targetInfo[2], context.targetInfo[3]);
        ProcessSystemEvents();

        // The product-type selector stays live during the job: its value at this point
        // decides, and the sequence gets it in its copy.
        if (context.productType == 1 || context.productType == 2) {
            _mfl3_0Generic4410(&result, context);
        }
    }

    // A job that failed after a stop request failed because of it. One that completed
    // regardless did write the whole software: that is what the operator must learn.
    if (!IsSuccess(result) && JobStopRequested()) {
        AddCommentLine("Download stopped by the operator");
        result = DownloadResult{ResultStopped, StopCode::kByOperator};
    }
    _mfl52_10DisplayResult(result.category, result.code);
    _mfl52_6UnlockAfterDownload();
    _mfl12_1UartStop(static_cast<std::uint8_t>(context.comPort));

    SetCtrlAttribute(_v_Panel, MAIN_STOP, ATTR_DIMMED, 1);
    SetJobRunning(false);
    ClearJobStop();
    QuitIfAskedDuringJob();
    return 0;
}

void QuitIfAskedDuringJob() {
    if (!gQuitAfterJob) return;
    gQuitAfterJob = false;
    if (StationHoldsProgram()) return;  // the job was the service panel's, beside the station
    QuitProgram();
}

// ---- Stop ----

int _mfl51_53MMIStop(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT || !JobRunning()) return 0;
    RequestJobStop();
    return 0;
}

int _mfl51_54MMITurnOnCancel(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT || !JobRunning()) return 0;
    RequestJobStop();
    return 0;
}

// ---- Quit ----

int _mfl51_51MMIQuit(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    if (StationHoldsProgram()) return 0;
    if (ConfirmPopup("Confirm to quit", "Do you really want to quit?") == 0) return 0;
    QuitProgram();
    return 0;
}

// ---- Load file ----

int _mfl51_52MMILoadFile(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    DownloadContext& context = _sg_DownloadContext;
    const int chosen = FileSelectPopup(context.defaultPath, "*.cla", "", "", kFileSelectButtonLabel,
                                       0, 0, 1, 0, context.claFileName);
    if (chosen == kUiErrOutOfRange) {
        // The dialog refused a path that does not fit rather than cut it to another name.
        MessagePopup("LOAD FILE", kPathTooLong);
        return 0;
    }
    if (chosen >= 1) _mfl51_0InitLoadFile();
    return 0;
}

void LoadSoftwareFile(const char* path) {
    // Absolute, as the dialog names it: the next dialog opens in its folder and a Save keeps it.
    std::error_code ec;
    const std::string name = std::filesystem::absolute(path, ec).string();
    if (ec || name.size() >= static_cast<std::size_t>(kPathSize)) {
        MessagePopup("LOAD FILE", kPathTooLong);
        return;
    }
    std::memcpy(_sg_DownloadContext.claFileName, name.c_str(), name.size() + 1);
    _mfl51_0InitLoadFile();
}

// ---- Selectors ----

int _mfl51_56MMISelectPort(int panel, int, int event, void*, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    int value = 0;
    if (GetCtrlVal(panel, MAIN_PORT, &value) >= 0) _sg_DownloadContext.comPort = value;
    return 0;
}

int _mfl51_57MMISelectSimLock(int, int, int, void*, int, int) {
    return 0;
}

int _mfl51_59MMISelectProjectType(int panel, int, int event, void*, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    int value = 0;
    if (GetCtrlVal(panel, MAIN_PRODUCT_TYPE, &value) >= 0) _sg_DownloadContext.productType = value;
    SetCtrlAttribute(panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, 0);
    return 0;
}

int _mfl51_60MMIDownloadConfiguration(int panel, int, int event, void*, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    // Only the whole software is written, whatever entry was chosen.
    _sg_DownloadContext.downloadType = 0;
    SetCtrlAttribute(panel, MAIN_START, ATTR_DIMMED, 0);
    return 0;
}

int _mfl51_61MMIInterfacePanelFunction(int, int event, void*, int, int) {
    if (event != EVENT_CLOSE) return 0;
    // The close box is Quit; during a job it first stops the job, which then quits.
    if (JobRunning()) {
        if (gQuitAfterJob) return 0;
        if (ConfirmPopup("Confirm to quit",
                         "A download is running. Stop it and quit? The phone's flash may then "
                         "hold part of the new software.") == 0) {
            return 0;
        }
        gQuitAfterJob = true;
        RequestJobStop();
        return 0;
    }
    if (MainPanelLocked()) return 0;  // a file load or a restore runs: it ends in a moment
    if (StationHoldsProgram()) return 0;
    if (ConfirmPopup("Confirm to quit", "Do you really want to quit?") == 0) return 0;
    QuitProgram();
    return 0;
}

// ---- Menu bar ----

void _mfl51_100MMIMenuRestore(int, int, void*, int) {
    const std::int32_t r = _mfl56_0RestoreConfig();
    if (r != kStatusOk) _mfl52_10DisplayResult(ResultConfigFile, r);
}

void _mfl51_101MMIMenuSave(int, int, void*, int) {
    const std::int32_t r = _mfl56_1SaveConfig();
    if (r != kStatusOk) {
        _mfl52_10DisplayResult(ResultConfigFile, r);
        return;
    }
    AddFullCommentLine("Settings saved in " + ConfigFilePath());
}

void _mfl51_102MMIMenuQuit(int, int, void*, int) {
    if (StationHoldsProgram()) return;
    QuitUserInterface(0);
}

void _mfl51_110MMIMenuCS0_0WaitState(int, int, void*, int) {
    SetWaitState(0, 0);
}
void _mfl51_111MMIMenuCS0_1WaitState(int, int, void*, int) {
    SetWaitState(0, 1);
}
void _mfl51_112MMIMenuCS0_2WaitState(int, int, void*, int) {
    SetWaitState(0, 2);
}
void _mfl51_113MMIMenuCS0_3WaitState(int, int, void*, int) {
    SetWaitState(0, 3);
}
void _mfl51_114MMIMenuCS0_4WaitState(int, int, void*, int) {
    SetWaitState(0, 4);
}
void _mfl51_120MMIMenuCS1_0WaitState(int, int, void*, int) {
    SetWaitState(1, 0);
}
void _mfl51_121MMIMenuCS1_1WaitState(int, int, void*, int) {
    SetWaitState(1, 1);
}
void _mfl51_122MMIMenuCS1_2WaitState(int, int, void*, int) {
    SetWaitState(1, 2);
}
void _mfl51_123MMIMenuCS1_3WaitState(int, int, void*, int) {
    SetWaitState(1, 3);
}
void _mfl51_124MMIMenuCS1_4WaitState(int, int, void*, int) {
    SetWaitState(1, 4);
}
void _mfl51_130MMIMenuCS2_0WaitState(int, int, void*, int) {
    SetWaitState(2, 0);
}
void _mfl51_131MMIMenuCS2_1WaitState(int, int, void*, int) {
    SetWaitState(2, 1);
}
void _mfl51_132MMIMenuCS2_2WaitState(int, int, void*, int) {
    SetWaitState(2, 2);
}
void _mfl51_133MMIMenuCS2_3WaitState(int, int, void*, int) {
    SetWaitState(2, 3);
}
void _mfl51_134MMIMenuCS2_4WaitState(int, int, void*, int) {
    SetWaitState(2, 4);
}
void _mfl51_140MMIMenuCS3_0WaitState(int, int, void*, int) {
    SetWaitState(3, 0);
}
void _mfl51_141MMIMenuCS3_1WaitState(int, int, void*, int) {
    SetWaitState(3, 1);
}
void _mfl51_142MMIMenuCS3_2WaitState(int, int, void*, int) {
    SetWaitState(3, 2);
}
void _mfl51_143MMIMenuCS3_3WaitState(int, int, void*, int) {
    SetWaitState(3, 3);
}
void _mfl51_144MMIMenuCS3_4WaitState(int, int, void*, int) {
    SetWaitState(3, 4);
}

void _mfl51_160MMIMenuLineSpeed(int, int menuItem, void*, int) {
    const int row = menuItem - LineSpeedItem(0);
    if (!IsLineSpeedRow(row)) return;
    _sg_DownloadContext.speedIndex = row;
    ShowLineSpeed();
    char text[48];
    std::snprintf(text, sizeof text, "Line speed: %u bit/s (row %d)",
                  static_cast<unsigned>(_a_PCSpeedValue[row]), row);
    AddCommentLine(text);
}

void _mfl51_150MMIMenuService(int, int, void*, int) {
    OpenServicePanel();
}

void _mfl51_180MMIMenuStation(int, int, void*, int) {
    if (gStationWindowOpener) {
        gStationWindowOpener();
        return;
    }
    MessagePopup("Station", "The station window is part of the desktop program vbcflash.");
}

void SetStationWindowOpener(StationWindowOpener opener) {
    gStationWindowOpener = opener;
}

void _mfl51_170MMIMenuVerify(int, int, void*, int) {
    _sg_DownloadContext.verifyOption = _sg_DownloadContext.verifyOption == 1 ? 0 : 1;
    ShowVerifyOption();
}

void ShowVerifyOption() {
    SetMenuBarAttribute(_v_MenuBarHandle, MENU_ITEM_VERIFY, ATTR_CHECKED,
                        _sg_DownloadContext.verifyOption == 1 ? 1 : 0);
}

// ---- OK buttons of the "mmi.uir" message panels ----

int _mfl51_80MMIDownloadSuccessOk(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::Success, event);
}

int _mfl51_81MMIButtonTimeOut(int, int, int event, void*, int, int) {
    return AcknowledgeMessagePanel(MessagePanel::Timeout, event);
}

// ---- Callback table ----

namespace {

using platform::CallbackEntry;

constexpr CallbackEntry Control(const char* name, CtrlCallbackPtr f) {
    return CallbackEntry{name, f, nullptr, nullptr};
}
constexpr CallbackEntry Panel(const char* name, PanelCallbackPtr f) {
    return CallbackEntry{name, nullptr, f, nullptr};
}
constexpr CallbackEntry Menu(const char* name, MenuCallbackPtr f) {
    return CallbackEntry{name, nullptr, nullptr, f};
}

// The wait-state items, row M (chip select), column N (wait states).
constexpr CallbackEntry kWaitStateItems[4][5] = {
    {
        Menu("_mfl51_110MMIMenuCS0_0WaitState", _mfl51_110MMIMenuCS0_0WaitState),
        Menu("_mfl51_111MMIMenuCS0_1WaitState", _mfl51_111MMIMenuCS0_1WaitState),
        Menu("_mfl51_112MMIMenuCS0_2WaitState", _mfl51_112MMIMenuCS0_2WaitState),
        Menu("_mfl51_113MMIMenuCS0_3WaitState", _mfl51_113MMIMenuCS0_3WaitState),
        Menu("_mfl51_114MMIMenuCS0_4WaitState", _mfl51_114MMIMenuCS0_4WaitState),
    },
    {
        Menu("_mfl51_120MMIMenuCS1_0WaitState", _mfl51_120MMIMenuCS1_0WaitState),
        Menu("_mfl51_121MMIMenuCS1_1WaitState", _mfl51_121MMIMenuCS1_1WaitState),
        Menu("_mfl51_122MMIMenuCS1_2WaitState", _mfl51_122MMIMenuCS1_2WaitState),
        Menu("_mfl51_123MMIMenuCS1_3WaitState", _mfl51_123MMIMenuCS1_3WaitState),
        Menu("_mfl51_124MMIMenuCS1_4WaitState", _mfl51_124MMIMenuCS1_4WaitState),
    },
    {
        Menu("_mfl51_130MMIMenuCS2_0WaitState", _mfl51_130MMIMenuCS2_0WaitState),
        Menu("_mfl51_131MMIMenuCS2_1WaitState", _mfl51_131MMIMenuCS2_1WaitState),
        Menu("_mfl51_132MMIMenuCS2_2WaitState", _mfl51_132MMIMenuCS2_2WaitState),
        Menu("_mfl51_133MMIMenuCS2_3WaitState", _mfl51_133MMIMenuCS2_3WaitState),
        Menu("_mfl51_134MMIMenuCS2_4WaitState", _mfl51_134MMIMenuCS2_4WaitState),
    },
    {
        Menu("_mfl51_140MMIMenuCS3_0WaitState", _mfl51_140MMIMenuCS3_0WaitState),
        Menu("_mfl51_141MMIMenuCS3_1WaitState", _mfl51_141MMIMenuCS3_1WaitState),
        Menu("_mfl51_142MMIMenuCS3_2WaitState", _mfl51_142MMIMenuCS3_2WaitState),
        Menu("_mfl51_143MMIMenuCS3_3WaitState", _mfl51_143MMIMenuCS3_3WaitState),
        Menu("_mfl51_144MMIMenuCS3_4WaitState", _mfl51_144MMIMenuCS3_4WaitState),
    },
};

constexpr CallbackEntry kCommands[] = {
    Control("_mfl51_50MMIStart", _mfl51_50MMIStart),
    Control("_mfl51_51MMIQuit", _mfl51_51MMIQuit),
    Control("_mfl51_52MMILoadFile", _mfl51_52MMILoadFile),
    Control("_mfl51_53MMIStop", _mfl51_53MMIStop),
    Control("_mfl51_54MMITurnOnCancel", _mfl51_54MMITurnOnCancel),
    Control("_mfl51_56MMISelectPort", _mfl51_56MMISelectPort),
    Control("_mfl51_57MMISelectSimLock", _mfl51_57MMISelectSimLock),
    Control("_mfl51_59MMISelectProjectType", _mfl51_59MMISelectProjectType),
    Control("_mfl51_60MMIDownloadConfiguration", _mfl51_60MMIDownloadConfiguration),
    Panel("_mfl51_61MMIInterfacePanelFunction", _mfl51_61MMIInterfacePanelFunction),
    Control("_mfl51_80MMIDownloadSuccessOk", _mfl51_80MMIDownloadSuccessOk),
    Control("_mfl51_81MMIButtonTimeOut", _mfl51_81MMIButtonTimeOut),
    Menu("_mfl51_100MMIMenuRestore", _mfl51_100MMIMenuRestore),
    Menu("_mfl51_101MMIMenuSave", _mfl51_101MMIMenuSave),
    Menu("_mfl51_102MMIMenuQuit", _mfl51_102MMIMenuQuit),
    Menu("_mfl51_150MMIMenuService", _mfl51_150MMIMenuService),
    Menu("_mfl51_160MMIMenuLineSpeed", _mfl51_160MMIMenuLineSpeed),
    Menu("_mfl51_170MMIMenuVerify", _mfl51_170MMIMenuVerify),
    Menu("_mfl51_180MMIMenuStation", _mfl51_180MMIMenuStation),
};

}  // namespace

const char* WaitStateCallbackName(int chipSelect, int waitStates) {
    if (chipSelect < 0 || chipSelect > 3 || waitStates < 0 || waitStates > 4) return nullptr;
    return kWaitStateItems[chipSelect][waitStates].name;
}

void ShowWaitStates() {
    for (int chipSelect = 0; chipSelect <= 3; ++chipSelect) ShowWaitStatesOf(chipSelect);
}

void ShowLineSpeed() {
    for (int row = 0; IsLineSpeedRow(row); ++row) {
        SetMenuBarAttribute(_v_MenuBarHandle, LineSpeedItem(row), ATTR_CHECKED,
                            _sg_DownloadContext.speedIndex == row ? 1 : 0);
    }
}

void RegisterMmiCallbacks() {
    platform::RegisterCallbacks(kCommands, std::size(kCommands));
    for (const auto& row : kWaitStateItems) platform::RegisterCallbacks(row, std::size(row));
}

}  // namespace vbc
