// OK buttons of the "Utility.uir" message panels: each removes its panel and resets the
// main panel's indicators.
#pragma once

namespace vbc {

int _mfl54_0GenericErrWindowsButton(int panel, int control, int event, void* callbackData,
                                    int eventData1, int eventData2);
int _mfl54_1FlashFileErrButton(int panel, int control, int event, void* callbackData,
                               int eventData1, int eventData2);
int _mfl54_2ConfFileErrButton(int panel, int control, int event, void* callbackData, int eventData1,
                              int eventData2);
int _mfl54_3PcLibrairiesErrButton(int panel, int control, int event, void* callbackData,
                                  int eventData1, int eventData2);
int _mfl54_4BootErrorWindowsButton(int panel, int control, int event, void* callbackData,
                                   int eventData1, int eventData2);
int _mfl54_5CompatibErrWindowButton(int panel, int control, int event, void* callbackData,
                                    int eventData1, int eventData2);
int _mfl54_6CommandErrWindowButton(int panel, int control, int event, void* callbackData,
                                   int eventData1, int eventData2);
int _mfl54_7Spm08ErrorWindowsButton(int panel, int control, int event, void* callbackData,
                                    int eventData1, int eventData2);
int _mfl54_8ClearBlocksNotOk(int panel, int control, int event, void* callbackData, int eventData1,
                             int eventData2);

// Adds this module's callbacks to the toolkit's table of functions by name.
void RegisterUtilCallbacks();

}  // namespace vbc
