// The Win32 backend: COM ports ("\\.\COMN") through the communications functions.
#pragma once

#include <memory>
#include <string>

#include "platform/serial.h"

namespace vbc::platform {

class Win32SerialProvider : public SerialProvider {
  public:
    // deviceName "COMN" is resolved with ResolvePortName; any other name is a device path.
    std::unique_ptr<SerialDevice> Open(int port, const std::string& deviceName,
                                       const LineSettings& settings, int* error) override;
};

// Opens one device ("\\.\COM3"; "COM3" gets that prefix) with the settings; null with *error on
// failure, errno then holding the system's error code (GetLastError).
std::unique_ptr<SerialDevice> OpenWin32Serial(const std::string& name, const LineSettings& settings,
                                              int* error);

}  // namespace vbc::platform
