#include "ui/mfl52display.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <system_error>
#include <vector>

#include "core/resultcodes.h"
#include "data/mfl10fla.h"
#include "platform/files.h"
#include "toolkit/toolkit.h"
#include "ui/jobevents.h"
#include "ui/uirids.h"

namespace vbc {

int _v_Panel = 0;
int _v_MenuBarHandle = 0;
int _v_PanelTurnOn = 0;
int _v_PanelTimeout = 0;
int _v_PanelSuccessful = 0;
int _v_PanelGenericErr = 0;
int _v_PanelFlashFileErr = 0;
int _v_PanelConfFileErr = 0;
int _v_PanelLibPCErr = 0;
int _v_PanelBootErr = 0;
int _v_PanelCommandErr = 0;
int _v_PanelCompatibilityErr = 0;
int _v_Panel4408Err = 0;
int _v_PanelBlocksNotCleared = 0;

std::uint32_t _mv_VerifyErrorAddress = 0;
char _ma_Comment[100] = {};
std::int32_t _mv_NbCommentLine = 0;

namespace {

constexpr int kDim = 1;
constexpr int kUndim = 0;

// ---- Message texts ----

struct CodeText {
    std::int32_t code;
    const char* text;
};

constexpr CodeText kFlashDescriptionTexts[] = {
    {FlashFileCode::kFileNotFound, "FLASH DESCRIPTION : The file flash.txt not found"},
    {FlashFileCode::kBadNewFlash,
     "FLASH DESCRIPTION : Problem with parameter NEW_FLASH in the file flash.txt"},
    {FlashFileCode::kBadManufacturerName,
     "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_NAME in the file flash.txt"},
    {FlashFileCode::kBadDeviceName,
     "FLASH DESCRIPTION : Problem with parameter DEVICE_NAME in the file flash.txt"},
    {FlashFileCode::kBadNorvaneProduct,
     "FLASH DESCRIPTION : Problem with parameter NORVANE_PRODUCT in the file flash.txt"},
    {FlashFileCode::kBadManufacturerId,
     "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_ID in the file flash.txt"},
    {FlashFileCode::kBadDeviceId,
     "FLASH DESCRIPTION : Problem with parameter DEVICE_ID in the file flash.txt"},
    {FlashFileCode::kBadNbBanks,
     "FLASH DESCRIPTION : Problem with parameter NB_BANKS in the file flash.txt"},
    {FlashFileCode::kBadNbSectors,
     "FLASH DESCRIPTION : Problem with parameter NB_SECTORS in the file flash.txt"},
    {FlashFileCode::kBadStartSectors,
     "FLASH DESCRIPTION : Problem with parameter START_SECTOR_DESCRITPION in the file flash.txt"},
    {FlashFileCode::kBadEndFlash,
     "FLASH DESCRIPTION : Problem with parameter END_FLASH in the file flash.txt"},
    {FlashFileCode::kBadSectorStart,
     "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_START in the file flash.txt"},
    {FlashFileCode::kBadSectorEnd,
     "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_END in the file flash.txt"},
    {FlashFileCode::kUnknownFlash,
     "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)"},
    {FlashFileCode::kTooManyFlashes,
     "FLASH DESCRIPTION : There are too many flash description in the file flash.txt "},
    {FlashFileCode::kTooManySectors,
     "FLASH DESCRIPTION : A flash description has to many number of sector "},
    {FlashFileCode::kNoSectorAtAddress,
     "FLASH DESCRIPTION : Impossible to find the sector starting at this address"},
    {FlashFileCode::kBadSectorNumber, "FLASH DESCRIPTION : A sector number is not rigth "},
    {FlashFileCode::kNotEnoughSectors,
     "FLASH DESCRIPTION : Not enough sector to download this software"},
    {FlashFileCode::kRangeOutsideFlash,
     "FLASH DESCRIPTION : The range to read is outside the flash"},
};
constexpr const char* kFlashDescriptionOther = "FLASH DESCRIPTION : The file flash.txt problem";

constexpr CodeText kConfigTexts[] = {
    {ConfigCode::kNoConfigFile, "There is no configuration file "},
    {ConfigCode::kNoSoftwareFile, "Impossible to find the sofware file "},
    {ConfigCode::kNoPackageFile, "Impossible to find the package file "},
    {ConfigCode::kBadComNumber, "The com number in configuration file is not rigth "},
    {ConfigCode::kBadComLine, "Bad com description in configuration file "},
    {ConfigCode::kBadPmuState, "The PMU state in configuration file is not rigth "},
    {ConfigCode::kBadPmuLine, "Bad PMU description in configuration file "},
    {ConfigCode::kBadProductType, "The product type state in configuration file is not rigth "},
    {ConfigCode::kBadProductTypeLine, "Bad product type description in configuration file "},
    {ConfigCode::kBadDownloadType, "The download type state in configuration file is not rigth "},
    {ConfigCode::kBadDownloadTypeLine, "Bad download type description in configuration file "},
};
constexpr const char* kConfigOther = "There is a problem in configuration file ";

constexpr CodeText kLibPcTexts[] = {
    {LibPcCode::kFileSizeError, "LIB_PC : The calculation of the file size create an error"},
    {LibPcCode::kFileNotFound, "LIB_PC : File not found"},
    {LibPcCode::kBootstrapTooLong, "LIB_PC : The size of the SPM is too long"},
    {LibPcCode::kBadSwapLength, "LIB_PC : Bad length when you want to convert Little - big indien"},
    {LibPcCode::kCannotWriteFile, "LIB_PC : The file of the flash read cannot be written"},
};
constexpr const char* kLibPcOtherFormat = "LIB_PC : Default error number _ 0x%8x";

constexpr CodeText kBootTexts[] = {
    {BootCode::kBootstrapMissing, "BOOT : The bootstrap (SPM) is not present on the disk"},
    {BootCode::kBootstrapTooLong, "BOOT : The bootstrap (SPM) is too long"},
    {BootCode::kWrongProcessor,
     "BOOT : BOOT FROM A VBC4410. Please select a project specific to a VBC4410"},
    {BootCode::kUnknownProcessor, "BOOT : The processor does not known, Acknowledge unknown"},
    {BootCode::kBadChipSelect, "BOOT : Chip select requested is impossible"},
    {BootCode::kBadConfigurationAck,
     "BOOT : Bad acknowledge receive from the mobile (Transmission problem)"},
    {BootCode::kBadVersionMarker,
     "BOOT : Problem with program in external RAM : StackPointer not set"},
    {BootCode::kBadIdentificationAck,
     "BOOT : Bad acknowledgement during the identification of the flash"},
    {BootCode::kIdentificationTimeout, "BOOT : Timeout during the flash identification"},
    {BootCode::kUnknownFlashDevice, "BOOT : The terminal GSM flash id is unknown"},
    {BootCode::kUnknownFlashManufacturer,
     "BOOT : The manufacturer of terminal GSM flash is unknown"},
};
constexpr const char* kBootOther = "BOOT : Problem during the boot sequence";

constexpr CodeText kCommandTexts[] = {
    {CommandCode::kBadAck, "COMMAND : Bad command acknowledge "},
    {CommandCode::kBadSpeedAck, "COMMAND : Bad change speed acknowledge "},
    {CommandCode::kBadSpeedChecksum, "COMMAND : Bad change speed checksum "},
    {CommandCode::kSpeedControl, "COMMAND : Speed control err "},
    {CommandCode::kBadPmuAck, "COMMAND : bad set PMU acknowledge "},
    {CommandCode::kBadEraseAck, "COMMAND : bad erase command acknowledge "},
    {CommandCode::kEraseAborted, "COMMAND : Erase processing aborted "},
    {CommandCode::kEraseFailed, "COMMAND : Erase processing failed "},
    {CommandCode::kEraseFailedDq6, "COMMAND : Erase processing failed DQ6 "},
    {CommandCode::kEraseFailedDq6Bis, "COMMAND : Erase processing failed DQ6 bis"},
    {CommandCode::kEraseDefaultAborted, "COMMAND : Erase processing default aborted"},
    {CommandCode::kBadReadAck, "COMMAND : bad read command acknowledge "},
    {CommandCode::kBadReadParameters, "COMMAND : bad read command parameter"},
    {CommandCode::kReadChecksum, "COMMAND : Checksum error during the read command "},
    {CommandCode::kSwitchOff, "COMMAND : Switch off error "},
};
constexpr const char* kCommandOther = "COMMAND : Command error ";
constexpr const char* kVerifyFormat = "COMMAND : Verify error at 0x%08X";

constexpr const char* kDownloadErrorText = "Error during the download";
constexpr const char* kSectorStartAckText =
    "Problem : Bad acknowledge when the sector download start";
constexpr const char* kSectorDownloadText = "Problem : Error during the sector donwload";
constexpr const char* kSectorAckText = "Problem : Error acknowledge during the sector donwload";
constexpr const char* kChecksumText = "Problem : Bad checksum";
constexpr const char* kDownloadTimeoutText = "Timeout during the download";
// What a stop leaves behind, and what to do about it (within a message line).
constexpr const char* kStoppedText =
    "Download stopped: the phone's flash may hold part of the software. Run it again before use.";
constexpr const char* kReadStoppedText = "Flash read stopped: no file was written.";

template <std::size_t N>
const char* Lookup(const CodeText (&table)[N], std::int32_t code, const char* other) {
    for (const auto& row : table) {
        if (row.code == code) return row.text;
    }
    return other;
}

// ---- Message panels ----

struct PanelKind {
    const char* resourceFile;  // nullptr: no operation shows this kind
    int resourceId;
    int* handle;
    bool hasText;
};

constexpr int kNbKinds = static_cast<int>(MessagePanel::BlocksNotCleared) + 1;

const PanelKind kKinds[kNbKinds] = {
    {kMmiUir, PANEL_SUCCESS, &_v_PanelSuccessful, false},
    {kMmiUir, PANEL_TIMEOUT, &_v_PanelTimeout, false},
    {kUtilityUir, UTIL_GENERIC_ERR, &_v_PanelGenericErr, true},
    {kUtilityUir, UTIL_FLASH_FILE_ERR, &_v_PanelFlashFileErr, true},
    {kUtilityUir, UTIL_CONF_FILE_ERR, &_v_PanelConfFileErr, true},
    {kUtilityUir, UTIL_LIB_PC_ERR, &_v_PanelLibPCErr, true},
    {kUtilityUir, UTIL_BOOT_ERR, &_v_PanelBootErr, true},
    {kUtilityUir, UTIL_COMMAND_ERR, &_v_PanelCommandErr, true},
    {nullptr, 0, &_v_PanelCompatibilityErr, true},
    {nullptr, 0, &_v_Panel4408Err, true},
    {nullptr, 0, &_v_PanelBlocksNotCleared, true},
};

// Whether the panel named by each kind's handle global is still on screen. The handle
// global itself is never cleared, so this is what tells a live handle from a stale one.
bool gDisplayed[kNbKinds] = {};

// The last result handed to the result display.
DownloadResult gLastResult;
bool gHasLastResult = false;

int Index(MessagePanel kind) {
    return static_cast<int>(kind);
}

}  // namespace

// ---- Comment list ----

namespace {
// What the comment list shows, line by line, for Save log. The two functions below are the
// list's only writers, so this copy cannot drift from it.
std::vector<std::string> gCommentLines;

// Appends one framed line to the comment list and shows it.
void AppendComment(const char* framed) {
    if (InsertListItem(_v_Panel, MAIN_COMMENT_LIST, _mv_NbCommentLine, framed, 0) >= 0)
        gCommentLines.emplace_back(framed);
    ++_mv_NbCommentLine;
    SetCtrlIndex(_v_Panel, MAIN_COMMENT_LIST, _mv_NbCommentLine - 1);
}
}  // namespace

const std::vector<std::string>& CommentLines() {
    return gCommentLines;
}

void ForgetCommentLines() {
    gCommentLines.clear();
}

bool SaveCommentLog(const char* path, std::string* reason) {
    std::string text;
    for (const std::string& line : gCommentLines) {
        text += line;
        text += '\n';
    }
    int error = 0;
    if (platform::WriteFileAtomically(path, text, &error)) return true;
    if (reason) *reason = platform::AtomicWriteErrorText(error);
    return false;
}

void _mfl52_20MMIMenuSaveLog(int, int, void*, int) {
    char path[260] = {};
    const int chosen =
        FileSelectPopup("", "*.txt", "", "Save log", FILE_SELECT_SAVE, 0, 0, 1, 1, path);
    if (chosen == kUiErrOutOfRange) {
        MessagePopup("SAVE LOG",
                     "The path of the chosen file is too long (259 characters at most): "
                     "the log was not written.");
        return;
    }
    if (chosen < 1) return;
    std::string reason;
    if (!SaveCommentLog(path, &reason)) {
        const std::string text =
            "The log could not be written to " + std::string(path) + ": " + reason;
        MessagePopup("SAVE LOG", text.c_str());
        return;
    }
    AddFullCommentLine(std::string("Log written to ") + path);
}

void RegisterDisplayCallbacks() {
    static constexpr platform::CallbackEntry kTable[] = {
        {"_mfl52_20MMIMenuSaveLog", nullptr, nullptr, _mfl52_20MMIMenuSaveLog},
    };
    platform::RegisterCallbacks(kTable, std::size(kTable));
}

void AddCommentLine(const char* text) {
    // At most 97 characters of text fit between the two framing blanks.
    std::snprintf(_ma_Comment, sizeof _ma_Comment, " %.97s ", text ? text : "");
    AppendComment(_ma_Comment);
}

void AddFullCommentLine(const std::string& text) {
    AppendComment((" " + text + " ").c_str());
}

// ---- Indicators and lock ----

void _mfl52_4InitControls() {
    SetCtrlVal(_v_Panel, MAIN_CPU_LED, 0);
    SetCtrlVal(_v_Panel, MAIN_FLASH_LED, 0);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_A, 0);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 0);
    SetCtrlVal(_v_Panel, MAIN_TRANSFER_TEXT, "");
}

namespace {
bool gMainPanelLocked = false;
}  // namespace

bool MainPanelLocked() {
    return gMainPanelLocked;
}

namespace {
std::vector<int> gStationPorts;
}  // namespace

void SetStationPorts(const std::vector<int>& ports) {
    const bool changes = ports.empty() != gStationPorts.empty();
    gStationPorts = ports;
    if (!changes) return;
    // A job of the main panel dims Start itself and leaves it to its unlock.
    if (!gMainPanelLocked)
        SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, ports.empty() ? kUndim : kDim);
}

const std::vector<int>& StationPorts() {
    return gStationPorts;
}

bool StationRefusesPort(int port, const char* title) {
    if (std::find(gStationPorts.begin(), gStationPorts.end(), port) == gStationPorts.end())
        return false;
    char text[120];
    std::snprintf(text, sizeof text,
                  "COM%d is in use by the station. Stop the station or choose another port.", port);
    MessagePopup(title, text);
    return true;
}

void _mfl52_5LockDuringDownload() {
    gMainPanelLocked = true;
    SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, kDim);
    SetCtrlAttribute(_v_Panel, MAIN_PORT, ATTR_DIMMED, kDim);
    SetCtrlAttribute(_v_Panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, kDim);
    SetCtrlAttribute(_v_Panel, MAIN_LOAD_FILE, ATTR_DIMMED, kDim);
    SetCtrlAttribute(_v_Panel, MAIN_QUIT, ATTR_DIMMED, kDim);
    // Dimmed, not removed: no item can be chosen, and the panel keeps its height.
    SetMenuBarAttribute(_v_MenuBarHandle, 0, ATTR_DIMMED, kDim);
    // Paint the dimmed state before the long operation starts.
    ProcessSystemEvents();
}

namespace {
int gLockHolds = 0;
bool gUnlockHeld = false;
}  // namespace

void HoldPanelLock() {
    ++gLockHolds;
}

void ReleasePanelLock() {
    if (gLockHolds == 0 || --gLockHolds > 0 || !gUnlockHeld) return;
    gUnlockHeld = false;
    _mfl52_6UnlockAfterDownload();
}

void _mfl52_6UnlockAfterDownload() {
    if (gLockHolds > 0) {
        gUnlockHeld = true;
        return;
    }
    gMainPanelLocked = false;
    SetMenuBarAttribute(_v_MenuBarHandle, 0, ATTR_DIMMED, kUndim);
    SetCtrlAttribute(_v_Panel, MAIN_PORT, ATTR_DIMMED, kUndim);
    SetCtrlAttribute(_v_Panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, kUndim);
    SetCtrlAttribute(_v_Panel, MAIN_LOAD_FILE, ATTR_DIMMED, kUndim);
    SetCtrlAttribute(_v_Panel, MAIN_QUIT, ATTR_DIMMED, kUndim);
    // The station running beside the panel keeps Start for itself.
    SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, gStationPorts.empty() ? kUndim : kDim);
    ProcessSystemEvents();
}

// ---- Message panels ----

int ShowMessagePanel(MessagePanel kind, const char* text) {
    const int i = Index(kind);
    if (i < 0 || i >= kNbKinds || !kKinds[i].resourceFile) return 0;
    const PanelKind& k = kKinds[i];
    // One copy of a kind on screen at a time: its OK button then always finds its own
    // handle in the global.
    CloseMessagePanel(kind);
    const int handle = LoadPanel(0, k.resourceFile, k.resourceId);
    *k.handle = handle;
    if (handle <= 0) {
        // The panel cannot be loaded: do not lose the message.
        if (k.hasText && text && *text) MessagePopup("vbcflash", text);
        return handle;
    }
    if (k.hasText) SetCtrlVal(handle, UTIL_MESSAGE_TEXT, text ? text : "");
    DisplayPanel(handle);
    gDisplayed[i] = true;
    return handle;
}

void CloseMessagePanel(MessagePanel kind) {
    const int i = Index(kind);
    if (i < 0 || i >= kNbKinds || !gDisplayed[i]) return;
    DiscardPanel(*kKinds[i].handle);
    gDisplayed[i] = false;
}

int AcknowledgeMessagePanel(MessagePanel kind, int event) {
    if (event == EVENT_COMMIT) {
        CloseMessagePanel(kind);
        _mfl52_4InitControls();
    }
    return 0;
}

bool IsMessagePanelDisplayed(MessagePanel kind) {
    const int i = Index(kind);
    return i >= 0 && i < kNbKinds && gDisplayed[i];
}

void ForgetMessagePanels() {
    for (bool& d : gDisplayed) d = false;
}

// ---- Result display ----

bool ResultPanel(std::int32_t category, std::int32_t code, MessagePanel* kind) {
    MessagePanel k;
    switch (category) {
        case ResultSuccess:
            k = MessagePanel::Success;
            break;
        case ResultDownloadError:
        case ResultSectorStartAck:
        case ResultSectorDownload:
        case ResultSectorAck:
        case ResultChecksum:
        case ResultDownloadTimeout:
        case ResultStopped:
            k = MessagePanel::GenericErr;
            break;
        case ResultFlashFile:
            k = MessagePanel::FlashFileErr;
            break;
        case ResultConfigFile:
            k = MessagePanel::ConfFileErr;
            break;
        case ResultLibPc:
            k = MessagePanel::LibPcErr;
            break;
        case ResultBoot:
            k = code == BootCode::kNoAnswer ? MessagePanel::Timeout : MessagePanel::BootErr;
            break;
        case ResultCommand:
            k = MessagePanel::CommandErr;
            break;
        default:
            return false;
    }
    if (kind) *kind = k;
    return true;
}

const char* ResultMessage(std::int32_t category, std::int32_t code, char buffer[100]) {
    if (!buffer) return "";
    const char* text = "";
    switch (category) {
        case ResultDownloadError:
            text = kDownloadErrorText;
            break;
        case ResultFlashFile:
            text = Lookup(kFlashDescriptionTexts, code, kFlashDescriptionOther);
            break;
        case ResultConfigFile:
            text = Lookup(kConfigTexts, code, kConfigOther);
            break;
        case ResultLibPc:
            text = Lookup(kLibPcTexts, code, nullptr);
            if (!text) {
                std::snprintf(buffer, 100, kLibPcOtherFormat, static_cast<std::uint32_t>(code));
                return buffer;
            }
            break;
        case ResultBoot:
            text = code == BootCode::kNoAnswer ? "" : Lookup(kBootTexts, code, kBootOther);
            break;
        case ResultCommand:
            if (code == CommandCode::kVerify) {
                std::snprintf(buffer, 100, kVerifyFormat,
                              static_cast<unsigned>(_mv_VerifyErrorAddress));
                return buffer;
            }
            text = Lookup(kCommandTexts, code, kCommandOther);
            break;
        case ResultSectorStartAck:
            text = kSectorStartAckText;
            break;
        case ResultSectorDownload:
            text = kSectorDownloadText;
            break;
        case ResultSectorAck:
            text = kSectorAckText;
            break;
        case ResultChecksum:
            text = kChecksumText;
            break;
        case ResultDownloadTimeout:
            text = kDownloadTimeoutText;
            break;
        case ResultStopped:
            text = code == StopCode::kReadByOperator ? kReadStoppedText : kStoppedText;
            break;
        default:
            break;  // success, and the categories that show nothing
    }
    std::snprintf(buffer, 100, "%s", text);
    return buffer;
}

void _mfl52_10DisplayResult(std::int32_t category, std::int32_t code) {
    gLastResult = DownloadResult{category, code};
    gHasLastResult = true;
    MessagePanel kind;
    if (!ResultPanel(category, code, &kind)) return;
    if (category == ResultFlashFile) {
        _mfl52_11DisplayFlashFileErr(code);
        return;
    }
    if (category == ResultConfigFile) {
        _mfl52_12DisplayConfigFileErr(code);
        return;
    }
    char text[100];
    ShowMessagePanel(kind, ResultMessage(category, code, text));
}

bool LastDisplayedResult(DownloadResult* result) {
    if (gHasLastResult && result) *result = gLastResult;
    return gHasLastResult;
}

void ClearLastDisplayedResult() {
    gHasLastResult = false;
    gLastResult = DownloadResult{};
}

void _mfl52_11DisplayFlashFileErr(std::int32_t code) {
    char text[100];
    ShowMessagePanel(MessagePanel::FlashFileErr, ResultMessage(ResultFlashFile, code, text));
}

void _mfl52_12DisplayConfigFileErr(std::int32_t code) {
    char text[100];
    ShowMessagePanel(MessagePanel::ConfFileErr, ResultMessage(ResultConfigFile, code, text));
}

// ---- Indicators of what the boot found ----

void _mfl52_2DisplayTypeCPU(std::uint8_t answerByte) {
    constexpr std::uint8_t kVbc4410Answer = 0xBE;
    SetCtrlAttribute(_v_Panel, MAIN_CPU_LED, ATTR_LABEL_TEXT,
                     answerByte == kVbc4410Answer ? "BOOT FROM A VBC4410" : "Unknown boot");
    SetCtrlVal(_v_Panel, MAIN_CPU_LED, 1);
}

void _mfl52_1DisplayTypeFlash(std::uint8_t manufacturerId, std::uint8_t deviceId) {
    char manufacturerName[FLASH_NAME_SIZE] = {};
    char deviceName[FLASH_NAME_SIZE] = {};
    char label[100];
    if (_mfl10_6GetManufacturerAndFlashName(manufacturerId, deviceId, manufacturerName,
                                            deviceName) != kStatusOk) {
        // A flash flash.txt does not list: the codes say what the phone answered, and the
        // lamp stays off, as lit means a flash the tool knows how to write.
        std::snprintf(label, sizeof label, " Flash unknown (manufacturer 0x%02X, device 0x%02X)",
                      manufacturerId, deviceId);
        SetCtrlAttribute(_v_Panel, MAIN_FLASH_LED, ATTR_LABEL_TEXT, label);
        SetCtrlVal(_v_Panel, MAIN_FLASH_LED, 0);
        CurrentJobObserver().FlashIdentified(manufacturerId, deviceId, "");
        return;
    }
    manufacturerName[FLASH_NAME_SIZE - 1] = '\0';
    deviceName[FLASH_NAME_SIZE - 1] = '\0';
    std::snprintf(label, sizeof label, " Flash %s %s", manufacturerName, deviceName);
    SetCtrlAttribute(_v_Panel, MAIN_FLASH_LED, ATTR_LABEL_TEXT, label);
    SetCtrlVal(_v_Panel, MAIN_FLASH_LED, 1);
    CurrentJobObserver().FlashIdentified(manufacturerId, deviceId,
                                         std::string(manufacturerName) + " " + deviceName);
}

void _mfl52_0DisplaySector(std::int32_t sector, std::uint32_t sectorSize, std::uint32_t length,
                           const char* status, DownloadContext* context,
                           std::int32_t* sectorsDisplayed) {
    // The per-sector hook shows nothing in this system.
    (void)sector;
    (void)sectorSize;
    (void)length;
    (void)status;
    (void)context;
    (void)sectorsDisplayed;
}

}  // namespace vbc
