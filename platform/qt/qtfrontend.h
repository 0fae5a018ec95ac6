// The toolkit of the vbcflash desktop program: the Qt backend, plus what the desktop shows
// beyond the panel resources: the device each entry of the main panel's port selector
// stands for on this machine.
#pragma once

#include <QString>
#include <string>

#include "platform/qt/qttoolkit.h"

class QComboBox;

namespace vbc::platform {

class FrontEndToolkit : public QtToolkit {
  public:
    int LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) override;
};

// "COM3 — /dev/ttyUSB0": the port's name and the device it resolves to, "COM3 — no device"
// when nothing answers to it.
QString PortEntryText(int port);

// Relabels every entry of a port selector (its value is the port number) with PortEntryText,
// keeping values and the current entry. The device's description goes into the tooltip.
void ShowPortDevices(QComboBox* selector);

// ShowPortDevices now and again each time the operator opens the list: adapters come and go.
void FollowPortDevices(QComboBox* selector);

}  // namespace vbc::platform
