// Main panel facilities (comment list, indicators, lock) and the result display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/context.h"

namespace vbc {

// Panel and menu-bar handles, one global per kind of panel.
extern int _v_Panel;
extern int _v_MenuBarHandle;
extern int _v_PanelTurnOn;
extern int _v_PanelTimeout;
extern int _v_PanelSuccessful;
extern int _v_PanelGenericErr;
extern int _v_PanelFlashFileErr;
extern int _v_PanelConfFileErr;
extern int _v_PanelLibPCErr;
extern int _v_PanelBootErr;
extern int _v_PanelCommandErr;
extern int _v_PanelCompatibilityErr;
extern int _v_Panel4408Err;
extern int _v_PanelBlocksNotCleared;

// The first address whose read-back differed, in the last verify that failed: the message of
// (ResultCommand, CommandCode::kVerify) names it.
extern std::uint32_t _mv_VerifyErrorAddress;

// Comment list.
extern char _ma_Comment[100];
extern std::int32_t _mv_NbCommentLine;
// Appends " text " at the end of the comment list and selects it.
void AddCommentLine(const char* text);
// The same for a line of any length (the operator's explanations of a failure), framed alike.
void AddFullCommentLine(const std::string& text);
// The lines the comment list shows, in order, as it shows them.
const std::vector<std::string>& CommentLines();
// Forgets them, for a main panel loaded afresh (tests).
void ForgetCommentLines();
// Writes the comment list's lines to path, each ended by a newline, replacing the file in
// one step. False with the system's reason when it cannot be written.
bool SaveCommentLog(const char* path, std::string* reason);
// Menu item Save log: asks where, writes the log there, then reports the outcome (a comment
// line on success, a message with the path and the reason on failure).
void _mfl52_20MMIMenuSaveLog(int menuBar, int menuItem, void* callbackData, int panel);
void RegisterDisplayCallbacks();

void _mfl52_4InitControls();
void _mfl52_5LockDuringDownload();
void _mfl52_6UnlockAfterDownload();
// Between these two an unlock waits, with the panel still locked and no input run, for the
// release: a restore loads the software file (which ends in an unlock) before it applies the
// port and product type, and a Start queued meanwhile must not run on half of them.
void HoldPanelLock();
void ReleasePanelLock();
// True from a lock of the main panel to the following unlock: a job or a file load holds
// the serial line and the context, and other panels' commands must leave them alone.
bool MainPanelLocked();

// The ports a station of this program (the desktop's station window) uses while it runs; none
// when it does not. While it runs Start stays dimmed, and a job of the main or the service panel
// on one of its ports is refused (StationRefusesPort).
void SetStationPorts(const std::vector<int>& ports);
const std::vector<int>& StationPorts();
// True, after telling the operator, when the station uses port: the caller's job must not start.
bool StationRefusesPort(int port, const char* title);

void _mfl52_10DisplayResult(std::int32_t category, std::int32_t code);
// The last result handed to _mfl52_10DisplayResult, shown or not (categories that show
// nothing included): what a front end without windows reports as the job's outcome.
// False when none was handed since the start or the last ClearLastDisplayedResult.
bool LastDisplayedResult(DownloadResult* result);
void ClearLastDisplayedResult();
void _mfl52_11DisplayFlashFileErr(std::int32_t code);
void _mfl52_12DisplayConfigFileErr(std::int32_t code);
void _mfl52_2DisplayTypeCPU(std::uint8_t answerByte);
void _mfl52_1DisplayTypeFlash(std::uint8_t manufacturerId, std::uint8_t deviceId);
void _mfl52_0DisplaySector(std::int32_t sector, std::uint32_t sectorSize, std::uint32_t length,
                           const char* status, DownloadContext* context,
                           std::int32_t* sectorsDisplayed);

// The message text of a result, as its panel shows it ("" for the success and time-out
// panels and for categories that show nothing). Used by the display and by front ends.
// The text is written into buffer, which is returned.
const char* ResultMessage(std::int32_t category, std::int32_t code, char buffer[100]);

// The kinds of message panel, one handle global each.
enum class MessagePanel : int {
    Success,           // "mmi.uir" panel 5, _v_PanelSuccessful
    Timeout,           // "mmi.uir" panel 3, _v_PanelTimeout
    GenericErr,        // "Utility.uir" panel 7, _v_PanelGenericErr
    FlashFileErr,      // "Utility.uir" panel 6, _v_PanelFlashFileErr
    ConfFileErr,       // "Utility.uir" panel 5, _v_PanelConfFileErr
    LibPcErr,          // "Utility.uir" panel 8, _v_PanelLibPCErr
    BootErr,           // "Utility.uir" panel 1, _v_PanelBootErr
    CommandErr,        // "Utility.uir" panel 3, _v_PanelCommandErr
    CompatibilityErr,  // _v_PanelCompatibilityErr; no operation shows it
    Err4408,           // _v_Panel4408Err; no operation shows it
    BlocksNotCleared,  // _v_PanelBlocksNotCleared; no operation shows it
};

// The panel a result is shown on; false for the categories that show nothing.
bool ResultPanel(std::int32_t category, std::int32_t code, MessagePanel* kind);

// Loads a fresh copy of the kind's panel into its handle global, puts the text into its
// message control (panels of "Utility.uir" only) and displays it. A copy of that kind still
// displayed is discarded first, so its handle global always names the one copy on screen.
// Returns the new handle, or 0 for a kind that no operation shows.
int ShowMessagePanel(MessagePanel kind, const char* text);
// What an OK button does to its panel: discards the kind's panel if it is still displayed.
// The handle global keeps its (now stale) value; it is never discarded a second time.
void CloseMessagePanel(MessagePanel kind);
bool IsMessagePanelDisplayed(MessagePanel kind);
// The whole OK button of a message panel: on commit, closes the kind's panel and resets
// the main panel's indicators. Returns 0, as control callbacks do.
int AcknowledgeMessagePanel(MessagePanel kind, int event);
// Forgets which message panels are displayed without discarding anything: for a toolkit
// that was replaced (tests install a fresh one per case).
void ForgetMessagePanels();

}  // namespace vbc
