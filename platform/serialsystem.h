// What the port layer (platform/serial.cpp) asks of the machine's own serial backend: the
// POSIX one (platform/posix/serial.cpp) or the Win32 one (platform/win32/serial.cpp), whichever
// the build chose.
#pragma once

#include <string>

#include "platform/serial.h"

namespace vbc::platform {

// The provider used when no other is installed.
SerialProvider& SystemSerialProvider();

// Where "COMN" (n its number, no binding set) leads on this machine; the name itself when
// nothing better is known.
std::string SystemComDevice(int n, const std::string& deviceName);

// The system's text of an error number its backend keeps (ComLastSystemError); error != 0.
std::string SystemErrorText(int error);

// The operator's line for a failed open of port N (com "COMN") under deviceName, from the
// system's reason of the failure.
std::string SystemExplainOpenFailure(const std::string& com, const std::string& deviceName,
                                     int error);

}  // namespace vbc::platform
