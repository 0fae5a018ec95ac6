// The station window of the Windows desktop program (Tools > Station...): the main panel's
// software and settings written into a phone on each of several ports at once, one tile a port,
// over the library's station (station/station) and the words the Qt window shows
// (station/stationview). A plain top-level window of system controls beside custom-painted
// tiles; a timer steps the station, so nothing waits in the window's thread.
#pragma once

namespace vbc::platform::win32 {

// Tools > Station...: shows the one station window, beside the main panel the first time,
// raised when it is already open.
void OpenStationWindow();
// Destroys the window (the program's end). A station still running is ended first, each phone
// under way logged as stopped.
void DestroyStationWindow();

}  // namespace vbc::platform::win32
