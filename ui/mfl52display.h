// Main panel facilities (comment list, indicators, lock) and the result display.
#pragma once

#include <cstdint>

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

// Comment list.
extern char _ma_Comment[100];
extern std::int32_t _mv_NbCommentLine;
// Appends " text " at the end of the comment list and selects it.
void AddCommentLine(const char* text);

void _mfl52_4InitControls();
void _mfl52_5LockDuringDownload();
void _mfl52_6UnlockAfterDownload();

void _mfl52_10DisplayResult(std::int32_t category, std::int32_t code);
void _mfl52_11DisplayFlashFileErr(std::int32_t code);
void _mfl52_12DisplayConfigFileErr(std::int32_t code);
void _mfl52_2DisplayTypeCPU(std::uint8_t answerByte);
void _mfl52_1DisplayTypeFlash(std::uint8_t manufacturerId, std::uint8_t deviceId);
void _mfl52_0DisplaySector(std::int32_t sector, std::uint32_t sectorSize, std::uint32_t length,
                           const char* status, DownloadContext* context,
                           std::int32_t* sectorsDisplayed);

// The message text of a result, as its panel shows it ("" for the success and time-out
// panels and for categories that show nothing). Used by the display and by front ends.
const char* ResultMessage(std::int32_t category, std::int32_t code, char buffer[100]);

}  // namespace vbc
