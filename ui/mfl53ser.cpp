#include "ui/mfl53ser.h"

#include <cstdio>
#include <iterator>

#include "core/mfl3spm10.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl1boot.h"
#include "platform/clock.h"
#include "platform/jobstop.h"
#include "toolkit/toolkit.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {

int _v_ServicePanel = -1;
std::int32_t _mv_NbSectorsDisplayService = 0;

namespace {

// The service panel whose list already holds the known-flash lines (0: none). The toolkit
// cannot empty a list, and the table does not change after start-up, so a panel's list is
// filled once.
int gKnownFlashShownOn = 0;

// Switch on set the phone up (bootstrap running, line speed raised) and nothing has switched
// it off since: the flash can be read.
bool gSwitchedOn = false;

std::uint32_t gReadOffset = 0;
std::uint32_t gReadLength = 0;  // 0: to the end of the flash

bool ServicePanelUp() {
    return _v_ServicePanel > 0;
}

void ShowFlashLabel(const char* text) {
    if (ServicePanelUp()) SetCtrlVal(_v_ServicePanel, SERVICE_FLASH_LABEL, text);
}

// The known-flash line of the flash with these codes is selected, so the operator sees it
// among the others.
void SelectKnownFlash(std::uint8_t manufacturerId, std::uint8_t deviceId) {
    std::uint8_t index = 0;
    if (!ServicePanelUp() ||
        _mfl10_500GetFlashIndex(manufacturerId, deviceId, &index) != kStatusOk) {
        return;
    }
    SetCtrlIndex(_v_ServicePanel, SERVICE_KNOWN_FLASH_LIST, index);
}

}  // namespace

const char* FormatKnownFlashLine(const FlashDescription& flash, char buffer[100]) {
    // Names are at most 14 characters; never read past their fields.
    char manufacturerName[FLASH_NAME_SIZE];
    char deviceName[FLASH_NAME_SIZE];
    std::snprintf(manufacturerName, sizeof manufacturerName, "%.*s", FLASH_NAME_SIZE - 1,
                  flash.manufacturerName);
    std::snprintf(deviceName, sizeof deviceName, "%.*s", FLASH_NAME_SIZE - 1, flash.deviceName);
    std::snprintf(buffer, 100, "%15s | %13s |            0x%2x |      0x%2x |      %2d |     %3d ",
                  manufacturerName, deviceName, static_cast<unsigned>(flash.manufacturerId),
                  static_cast<unsigned>(flash.deviceId), static_cast<int>(flash.bankCount),
                  static_cast<int>(flash.sectorCount));
    return buffer;
}

void _mfl53_0DisplayFlashKnown() {
    if (!ServicePanelUp() || gKnownFlashShownOn == _v_ServicePanel) return;
    const FlashDescriptionTable& table = _vg_FlashDescritpion;
    const int count = table.count < NB_FLASH_DESCRIPTIONS ? table.count : NB_FLASH_DESCRIPTIONS;
    char line[100];
    for (int i = 0; i < count; ++i) {
        FormatKnownFlashLine(table.descriptions[i], line);
        InsertListItem(_v_ServicePanel, SERVICE_KNOWN_FLASH_LIST, -1, line, i);
    }
    gKnownFlashShownOn = _v_ServicePanel;
}

void _mfl53_1DisplaySectorService(std::int32_t sector, std::uint32_t sectorSize,
                                  std::uint32_t length, const char* status,
                                  DownloadContext* context, std::int32_t* sectorsDisplayed) {
    // The service panel shows no sectors.
    (void)sector;
    (void)sectorSize;
    (void)length;
    (void)status;
    (void)context;
    (void)sectorsDisplayed;
}

int _mfl53_10SwitchOnMobile(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    DownloadContext& context = _sg_DownloadContext;
    if (context.productType == 0) return 0;
    // A job of the main panel keeps the interface live while it writes the phone: the line is
    // its own until it ends.
    if (MainPanelLocked()) return 0;
    if (StationRefusesPort(context.comPort, "Switch on")) return 0;

    // A label left by an earlier switch on must not pass for this phone's flash.
    ShowFlashLabel("");
    gSwitchedOn = false;

    _v_PanelTurnOn = LoadPanel(0, kMmiUir, PANEL_TURN_ON);
    DisplayPanel(_v_PanelTurnOn);
    DownloadResult result;
    _mfl1_0boot(&result, &context);
    DiscardPanel(_v_PanelTurnOn);
    if (!IsSuccess(result)) {
        _mfl52_10DisplayResult(result.category, result.code);
        return 0;
    }

    DownloadContext booted = context;
    const std::uint8_t manufacturerId = context.targetInfo[2];
    const std::uint8_t deviceId = context.targetInfo[3];
    std::int32_t sectors = 0;
    std::int32_t status = _mfl10_1GetNumberOfSector(manufacturerId, deviceId, &sectors);
    if (status != kStatusOk) {
        _mfl52_10DisplayResult(ResultFlashFile, status);
        return 0;
    }
    for (std::int32_t sector = 0; sector < sectors; ++sector) {
        std::uint32_t size = 0;
        status = _mfl10_0GetSectorSize(manufacturerId, deviceId, static_cast<std::uint8_t>(sector),
                                       &size);
        if (status != kStatusOk) {
            _mfl52_10DisplayResult(ResultFlashFile, status);
            return 0;
        }
        _mfl53_1DisplaySectorService(sector, size, 0, "N. A.", &booted,
                                     &_mv_NbSectorsDisplayService);
    }

    // Rows above 2 need the GPIO command before the phone changes speed, as in the job.
    status = _mfl11_8SetGPIO(context);
    if (status == kStatusOk) status = _mfl11_0SetSpeedAndPMU(context);
    if (status != kStatusOk) {
        _mfl52_10DisplayResult(ResultCommand, status);
        return 0;
    }
    gSwitchedOn = true;

    _mfl53_0DisplayFlashKnown();
    SelectKnownFlash(manufacturerId, deviceId);
    char manufacturerName[FLASH_NAME_SIZE] = {};
    char deviceName[FLASH_NAME_SIZE] = {};
    _mfl10_6GetManufacturerAndFlashName(manufacturerId, deviceId, manufacturerName, deviceName);
    manufacturerName[FLASH_NAME_SIZE - 1] = '\0';
    deviceName[FLASH_NAME_SIZE - 1] = '\0';
    char label[100];
    std::snprintf(label, sizeof label, " Flash %s %s", manufacturerName, deviceName);
    ShowFlashLabel(label);
    return 0;
}

int _mfl53_11SwitchOffMobile(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    if (MainPanelLocked()) return 0;
    if (StationRefusesPort(_sg_DownloadContext.comPort, "Switch off")) return 0;
    // The phone's answer is not examined: nothing is shown either way.
    _mfl11_7SwitchOffCommand(_sg_DownloadContext.comPort);
    gSwitchedOn = false;
    return 0;
}

int _mfl53_12ReadFlash(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    if (MainPanelLocked()) return 0;
    DownloadContext& context = _sg_DownloadContext;
    if (StationRefusesPort(context.comPort, "Read flash")) return 0;
    if (!gSwitchedOn) {
        MessagePopup("Read flash",
                     "Switch the phone on first: its flash is read at the speed "
                     "Switch on sets.");
        return 0;
    }
    char path[kPathSize] = {};
    const int chosen = FileSelectPopup(context.defaultPath, "*.bin", "", "Read flash into",
                                       FILE_SELECT_SAVE, 0, 0, 1, 1, path);
    if (chosen == kUiErrOutOfRange) {
        MessagePopup("Read flash",
                     "The path of the chosen file is too long (259 characters at most): "
                     "the flash was not read.");
        return 0;
    }
    if (chosen < 1) return 0;

    // A job like a download: the panel locked, the Stop button live.
    _mfl52_5LockDuringDownload();
    SetJobRunning(true);
    SetCtrlAttribute(_v_Panel, MAIN_STOP, ATTR_DIMMED, 0);
    ProcessSystemEvents();
    context.startTime = static_cast<std::int32_t>(Time());

    DownloadResult result;
    _mfl3_3ReadFlash(&result, context, gReadOffset, gReadLength, path);
    if (!IsSuccess(result) && JobStopRequested()) {
        AddCommentLine("Read stopped by the operator");
        result = DownloadResult{ResultStopped, StopCode::kReadByOperator};
    }
    // A failed read leaves the phone as it is; so does a stopped one: the operator decides.
    if (!IsSuccess(result)) _mfl52_10DisplayResult(result.category, result.code);
    _mfl52_6UnlockAfterDownload();
    SetCtrlAttribute(_v_Panel, MAIN_STOP, ATTR_DIMMED, 1);
    SetJobRunning(false);
    ClearJobStop();
    QuitIfAskedDuringJob();
    return 0;
}

void SetReadFlashRange(std::uint32_t offset, std::uint32_t length) {
    gReadOffset = offset;
    gReadLength = length;
}

int _mfl53_16ServicePanelQuit(int, int event, void*, int, int) {
    if (event != EVENT_CLOSE) return 0;
    // A flash read from this panel runs: it ends at Stop, or in a moment.
    if (JobRunning()) return 0;
    _mv_NbSectorsDisplayService = 0;
    if (ServicePanelUp()) DiscardPanel(_v_ServicePanel);
    _v_ServicePanel = -1;
    gKnownFlashShownOn = 0;
    return 0;
}

int OpenServicePanel() {
    if (!ServicePanelUp()) {
        const int handle = LoadPanel(0, kMmiUir, PANEL_SERVICE);
        if (handle <= 0) {
            MessagePopup("Service", "The service panel cannot be loaded.");
            return handle < 0 ? handle : kUiErrBadHandle;
        }
        _v_ServicePanel = handle;
        gKnownFlashShownOn = 0;
        _mfl53_0DisplayFlashKnown();
    }
    DisplayPanel(_v_ServicePanel);
    return _v_ServicePanel;
}

void ForgetServicePanel() {
    _v_ServicePanel = -1;
    gSwitchedOn = false;
    gReadOffset = 0;
    gReadLength = 0;
    _mv_NbSectorsDisplayService = 0;
    gKnownFlashShownOn = 0;
}

void RegisterServiceCallbacks() {
    static const platform::CallbackEntry kTable[] = {
        {"_mfl53_10SwitchOnMobile", _mfl53_10SwitchOnMobile, nullptr, nullptr},
        {"_mfl53_11SwitchOffMobile", _mfl53_11SwitchOffMobile, nullptr, nullptr},
        {"_mfl53_12ReadFlash", _mfl53_12ReadFlash, nullptr, nullptr},
        {"_mfl53_16ServicePanelQuit", nullptr, _mfl53_16ServicePanelQuit, nullptr},
    };
    platform::RegisterCallbacks(kTable, std::size(kTable));
}

}  // namespace vbc
