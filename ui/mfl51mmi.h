// Callbacks of the main panel, its menu bar and the two "mmi.uir" message panels: the
// operator's commands. Every front end runs jobs through these.
#pragma once

namespace vbc {

// ---- Controls of the main panel (each returns 0) ----

// Start, on commit: boot the phone, show what was found, run the download sequence, show the
// result, unlock the panel and release the serial port.
int _mfl51_50MMIStart(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);
// Quit, on commit: asks; on yes releases the image, ends the event loop and the run-time.
int _mfl51_51MMIQuit(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2);
// Load file, on commit: the file dialog, then the software-file load.
int _mfl51_52MMILoadFile(int panel, int control, int event, void* callbackData, int eventData1,
                         int eventData2);
// Loads the named software file as Load file does once its dialog has chosen it: relative to
// the working directory, with the same messages (a path too long for the panel loads nothing).
void LoadSoftwareFile(const char* path);
// Stop (control 18, enabled only while a job runs), on commit: asks the job to stop at its
// next wait; the job then ends with the stopped result and releases the port.
int _mfl51_53MMIStop(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2);
// Cancel of the turn-on panel: the same, while the phone is being booted.
int _mfl51_54MMITurnOnCancel(int panel, int control, int event, void* callbackData, int eventData1,
                             int eventData2);
// Port selector (control 16), on value changed: comPort.
int _mfl51_56MMISelectPort(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
// SIM-lock option: no effect.
int _mfl51_57MMISelectSimLock(int panel, int control, int event, void* callbackData, int eventData1,
                              int eventData2);
// Product-type selector (control 6), on value changed: productType; undims control 4.
int _mfl51_59MMISelectProjectType(int panel, int control, int event, void* callbackData,
                                  int eventData1, int eventData2);
// Download-configuration selector (control 4), on value changed: downloadType 0; undims
// the Start control.
int _mfl51_60MMIDownloadConfiguration(int panel, int control, int event, void* callbackData,
                                      int eventData1, int eventData2);
// Panel callback of the main panel: its close box is Quit (with Quit's question); during a
// job it asks to stop the job, and the program quits once the job has released the port.
int _mfl51_61MMIInterfacePanelFunction(int panel, int event, void* callbackData, int eventData1,
                                       int eventData2);

// ---- Menu bar 1 of "mmi.uir" ----

// Restore and Save of config.txt; a failure is shown as a configuration-file result.
void _mfl51_100MMIMenuRestore(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_101MMIMenuSave(int menuBar, int menuItem, void* callbackData, int panel);
// Ends the event loop at once, without asking.
void _mfl51_102MMIMenuQuit(int menuBar, int menuItem, void* callbackData, int panel);

// Wait states of chip select M (0 to 3) set to N (0 to 4), for the next boot: item 110+10M+N.
void _mfl51_110MMIMenuCS0_0WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_111MMIMenuCS0_1WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_112MMIMenuCS0_2WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_113MMIMenuCS0_3WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_114MMIMenuCS0_4WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_120MMIMenuCS1_0WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_121MMIMenuCS1_1WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_122MMIMenuCS1_2WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_123MMIMenuCS1_3WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_124MMIMenuCS1_4WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_130MMIMenuCS2_0WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_131MMIMenuCS2_1WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_132MMIMenuCS2_2WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_133MMIMenuCS2_3WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_134MMIMenuCS2_4WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_140MMIMenuCS3_0WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_141MMIMenuCS3_1WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_142MMIMenuCS3_2WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_143MMIMenuCS3_3WaitState(int menuBar, int menuItem, void* callbackData, int panel);
void _mfl51_144MMIMenuCS3_4WaitState(int menuBar, int menuItem, void* callbackData, int panel);

// Line speed: the row of the speed table (0 to 8) the job runs at after the boot, from item
// 160 + row; one callback for the nine items.
void _mfl51_160MMIMenuLineSpeed(int menuBar, int menuItem, void* callbackData, int panel);

// Service: opens the service panel (one at a time).
void _mfl51_150MMIMenuService(int menuBar, int menuItem, void* callbackData, int panel);

// Station... (item 180): opens the station window through the opener the desktop front end
// installed; without one it says where the station window is.
void _mfl51_180MMIMenuStation(int menuBar, int menuItem, void* callbackData, int panel);
constexpr int MENU_ITEM_STATION = 180;
using StationWindowOpener = void (*)();
void SetStationWindowOpener(StationWindowOpener opener);

// ---- OK buttons of the "mmi.uir" message panels ----
int _mfl51_80MMIDownloadSuccessOk(int panel, int control, int event, void* callbackData,
                                  int eventData1, int eventData2);
int _mfl51_81MMIButtonTimeOut(int panel, int control, int event, void* callbackData, int eventData1,
                              int eventData2);

// The name of the wait-state menu callback for chip select M and N wait states
// ("_mfl51_132MMIMenuCS2_2WaitState"), nullptr outside 0..3 and 0..4.
const char* WaitStateCallbackName(int chipSelect, int waitStates);
// The number of that wait-state menu item: 110 + 10 * chip select + wait states.
constexpr int WaitStateItem(int chipSelect, int waitStates) {
    return 110 + 10 * chipSelect + waitStates;
}
// Checks, on the main panel's menu bar, the one wait-state item of each chip select that the
// context holds, and unchecks the others.
void ShowWaitStates();

// The line-speed menu item of a row of the speed table.
constexpr int LineSpeedItem(int row) {
    return 160 + row;
}
// Checks the line-speed item of the context's row and unchecks the others.
void ShowLineSpeed();

// Verify after writing (item 170, checkable), on select: turns verifyOption on or off and
// checks the item accordingly.
void _mfl51_170MMIMenuVerify(int menuBar, int menuItem, void* callbackData, int panel);
constexpr int MENU_ITEM_VERIFY = 170;
// Checks the Verify after writing item when verifyOption is 1.
void ShowVerifyOption();
// At the end of a job other than Start (a flash read): quits when the main window's close box
// was used during it, as Start does.
void QuitIfAskedDuringJob();
// Adds this module's callbacks to the toolkit's table of functions by name. Every callback
// of this module belongs in the table in mfl51mmi.cpp.
void RegisterMmiCallbacks();

}  // namespace vbc
