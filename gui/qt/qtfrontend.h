// The toolkit of the vbcflash desktop program: the Qt backend, plus what the desktop shows
// beyond the panel resources: the device each entry of the main panel's port selector
// stands for on this machine.
#pragma once

#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "gui/qt/qttoolkit.h"
#include "platform/serial.h"

class QApplication;
class QComboBox;

namespace vbc::platform {

// Exit status of the desktop program when it cannot open a display.
constexpr int kExitNoDisplay = -1;

// The program's QApplication. Where no display can be opened (no DISPLAY or WAYLAND_DISPLAY,
// a display that refuses the connection), Qt would print several lines and abort; the
// program instead writes one line on standard error, "vbcflash: cannot open the display ..."
// with Qt's reason, and ends with kExitNoDisplay (status 255). Messages Qt gives while the
// application starts are held until it has started, then passed on as they came.
std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv);

class FrontEndToolkit : public QtToolkit {
  public:
    // While it exists, a job's waits on the line run its events, so that Stop can be pressed, and
    // Tools > Station... opens the station window (destroyed with the toolkit).
    FrontEndToolkit();
    ~FrontEndToolkit() override;
    FrontEndToolkit(const FrontEndToolkit&) = delete;
    FrontEndToolkit& operator=(const FrontEndToolkit&) = delete;

    int LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) override;
};

// "COM3 — /dev/ttyUSB0": the port's name and the device it resolves to, "COM3 — no device"
// when nothing answers to it. ports: the machine's serial ports (ListSerialPorts), scanned once
// by a caller that labels several.
QString PortEntryText(int port, const std::vector<PortInfo>& ports);

// True when something answers to COMN on this machine (what "All serial ports" takes).
bool PortHasDevice(int port, const std::vector<PortInfo>& ports);

// Relabels every entry of a port selector (its value is the port number) with PortEntryText,
// keeping values and the current entry. The device's description goes into the tooltip.
void ShowPortDevices(QComboBox* selector);

// ShowPortDevices now and again each time the operator opens the list: adapters come and go.
void FollowPortDevices(QComboBox* selector);

}  // namespace vbc::platform
