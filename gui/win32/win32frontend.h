// The toolkit of the Windows desktop program: the Win32 backend, plus what the desktop needs
// beyond the panel resources: a window that stays live while a job waits on the line, and the
// device each entry of the main panel's port selector stands for on this machine.
#pragma once

#include <string>
#include <vector>

#include "gui/win32/win32toolkit.h"
#include "platform/serial.h"

namespace vbc::platform::win32 {

class FrontEndToolkit : public Win32Toolkit {
  public:
    // While it exists, a job's waits on the line run the window's messages between their
    // slices, so that Stop can be pressed and the window repaints, and Tools > Station... opens
    // the station window (destroyed with the toolkit).
    FrontEndToolkit();
    ~FrontEndToolkit() override;
    FrontEndToolkit(const FrontEndToolkit&) = delete;
    FrontEndToolkit& operator=(const FrontEndToolkit&) = delete;

    int LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) override;
};

// "COM3 — \Device\Serial0": the port's name and the driver's device behind it in the system's
// list of serial ports, "COM3 — no device" when the list has no such port. ports: the
// machine's serial ports (ListSerialPorts), scanned once by a caller that labels several.
std::string PortEntryText(int port, const std::vector<PortInfo>& ports);

// True when the system's list of serial ports has COMN (what "All serial ports" takes).
bool PortHasDevice(int port, const std::vector<PortInfo>& ports);

// Relabels every entry of a port selector (its item data is the port number) with
// PortEntryText, keeping values and the current entry; the list widens to its longest entry.
void ShowPortDevices(HWND selector);

}  // namespace vbc::platform::win32
