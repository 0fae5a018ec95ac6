// Callbacks of the main panel, its menu bar and the two "mmi.uir" message panels.
#pragma once

namespace vbc {

// ---- OK buttons of the "mmi.uir" message panels ----
int _mfl51_80MMIDownloadSuccessOk(int panel, int control, int event, void* callbackData,
                                  int eventData1, int eventData2);
int _mfl51_81MMIButtonTimeOut(int panel, int control, int event, void* callbackData, int eventData1,
                              int eventData2);

// Adds this module's callbacks to the toolkit's table of functions by name. Every callback
// of this module belongs in the table in mfl51mmi.cpp.
void RegisterMmiCallbacks();

}  // namespace vbc
