// The POSIX termios backend: serial adapters, on-board UARTs and pseudo-terminals.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial.h"

struct termios;

namespace vbc::platform {

class PosixSerialProvider : public SerialProvider {
  public:
    // deviceName "COMN" is resolved with ResolvePortName; any other name is a device path.
    std::unique_ptr<SerialDevice> Open(int port, const std::string& deviceName,
                                       const LineSettings& settings, int* error) override;
};

// The provider used when no other is installed.
SerialProvider& PosixProvider();

// Opens one device path with the settings (no name resolution); null with *error on failure,
// errno then giving the system's reason.
std::unique_ptr<SerialDevice> OpenPosixSerial(const std::string& path, const LineSettings& settings,
                                              int* error);

namespace detail {
// Rates a tty takes through cfsetspeed; others need an arbitrary-rate request.
bool IsStandardRate(long baudRate);
// Raw mode with the frame of settings (data bits, parity 0..4, stop bits) and the flow
// control asked for; the rate is left alone. 0, or kComErrInvalidParameter.
int MakeRaw(const LineSettings& settings, bool cts, bool xon, struct ::termios* t);
// Applies the given flags and an arbitrary rate in one request (Linux termios2), at once,
// without the kernel's drain; 0 on success, -1 with errno otherwise. Lives in its own file: the
// kernel's termios header cannot share a translation unit with <termios.h>.
int ApplyArbitraryRate(int fd, std::uint32_t iflag, std::uint32_t oflag, std::uint32_t cflag,
                       std::uint32_t lflag, std::uint8_t vmin, std::uint8_t vtime,
                       std::uint32_t baudRate);
// The rate the tty reports (termios2 on Linux); -1 when it cannot be read.
long ReadArbitraryRate(int fd);
}  // namespace detail

}  // namespace vbc::platform
