// Numbers of the panels, controls and menu bar in the panel resources "mmi.uir" and
// "Utility.uir" that the program relies on.
#pragma once

namespace vbc {

inline constexpr const char* kMmiUir = "mmi.uir";
inline constexpr const char* kUtilityUir = "Utility.uir";

// "mmi.uir"
constexpr int PANEL_TURN_ON = 1;
constexpr int PANEL_MAIN = 2;
constexpr int PANEL_TIMEOUT = 3;
constexpr int PANEL_SUCCESS = 5;
constexpr int MENUBAR_MAIN = 1;

// Main-panel controls.
constexpr int MAIN_LOAD_FILE = 2;  // operator control 2
constexpr int MAIN_QUIT = 3;       // operator control 3
constexpr int MAIN_DOWNLOAD_CONFIG = 4;
constexpr int MAIN_START = 5;
constexpr int MAIN_PRODUCT_TYPE = 6;
constexpr int MAIN_FILE_NAME = 7;
constexpr int MAIN_FILE_SIZE = 8;
constexpr int MAIN_COMMENT_LIST = 10;
constexpr int MAIN_PROGRESS_B = 11;
constexpr int MAIN_PROGRESS_A = 12;
constexpr int MAIN_STATUS_TEXT = 13;
constexpr int MAIN_FLASH_LED = 14;
constexpr int MAIN_CPU_LED = 15;
constexpr int MAIN_PORT = 16;
constexpr int MAIN_TRANSFER_TEXT = 17;  // bytes written, line rate and time left
constexpr int MAIN_STOP = 18;           // enabled only while a job runs

// Turn-on panel.
constexpr int TURN_ON_CANCEL = 2;

// "Utility.uir" message panels; each carries its text in control 3.
constexpr int UTIL_BOOT_ERR = 1;
constexpr int UTIL_COMMAND_ERR = 3;
constexpr int UTIL_CONF_FILE_ERR = 5;
constexpr int UTIL_FLASH_FILE_ERR = 6;
constexpr int UTIL_GENERIC_ERR = 7;
constexpr int UTIL_LIB_PC_ERR = 8;
constexpr int UTIL_MESSAGE_TEXT = 3;

}  // namespace vbc
