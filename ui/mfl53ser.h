// The service panel ("mmi.uir" panel 4): switch a phone on (boot, flash check, line speed
// and PMU) or off without downloading software. The Service menu item opens it.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "data/mfl10fla.h"

namespace vbc {

// "mmi.uir" panel 4 and its controls.
constexpr int PANEL_SERVICE = 4;
constexpr int SERVICE_SWITCH_ON = 2;
constexpr int SERVICE_SWITCH_OFF = 3;
constexpr int SERVICE_KNOWN_FLASH_LIST = 4;
constexpr int SERVICE_FLASH_LABEL = 5;
constexpr int SERVICE_READ_FLASH = 6;

// The service panel, -1 when there is none.
extern int _v_ServicePanel;
// Running count of sectors shown on the service panel; 0 again when the panel closes.
extern std::int32_t _mv_NbSectorsDisplayService;

// Switch on, on commit: boots the phone, checks that flash.txt knows the geometry of its
// flash, sets the line speed and the PMU, then shows the flash on the panel. Leaves the
// serial port open at the new speed. Returns 0.
int _mfl53_10SwitchOnMobile(int panel, int control, int event, void* callbackData, int eventData1,
                            int eventData2);
// Switch off, on commit: sends the switch-off command on comPort. Returns 0.
int _mfl53_11SwitchOffMobile(int panel, int control, int event, void* callbackData, int eventData1,
                             int eventData2);
// Read flash, on commit, once Switch on has set the phone up: asks for a file (the save
// dialog), reads the flash range (the whole flash unless SetReadFlashRange chose one) into it
// and shows the progress. The job can be stopped like a download; the file appears only when
// every byte was read. Shows a failure's result. Returns 0.
int _mfl53_12ReadFlash(int panel, int control, int event, void* callbackData, int eventData1,
                       int eventData2);
// The range Read flash reads: length bytes from offset (from the flash's first byte); length 0
// reads from offset to the flash's end. The whole flash until chosen otherwise.
void SetReadFlashRange(std::uint32_t offset, std::uint32_t length);
// Panel callback, on close: discards the panel. Returns 0.
int _mfl53_16ServicePanelQuit(int panel, int event, void* callbackData, int eventData1,
                              int eventData2);
// Shows one known-flash line per entry of the flash description table, in table order, in
// the service panel's list (once per panel: the table does not change after start-up).
void _mfl53_0DisplayFlashKnown();
// Per-sector hook of switch on: shows nothing.
void _mfl53_1DisplaySectorService(std::int32_t sector, std::uint32_t sectorSize,
                                  std::uint32_t length, const char* status,
                                  DownloadContext* context, std::int32_t* sectorsDisplayed);

// One known-flash line: names, codes, banks and sectors in fixed columns, ending in a blank.
// Written into buffer, which is returned.
const char* FormatKnownFlashLine(const FlashDescription& flash, char buffer[100]);

// The Service command: loads and shows the service panel, or brings the one already open to
// the front (there is never more than one). Returns its handle, or a negative toolkit code
// when the panel cannot be loaded (the operator is told).
int OpenServicePanel();

// Forgets the service panel without discarding it: for a toolkit that was replaced (tests
// install a fresh one per case).
void ForgetServicePanel();

// Adds this module's callbacks to the toolkit's table of functions by name.
void RegisterServiceCallbacks();

}  // namespace vbc
