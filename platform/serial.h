// RS-232 operations addressed by port number, as the system's modules call them,
// and the device interface their backends implement (one a system, and any a test supplies).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vbc {

// Results of the operations below (negative codes are faults).
constexpr int kComTimeout = -99;             // a read saw no byte within the port's time-out
constexpr int kComErrUnknown = -1;           // the device failed (e.g. it disappeared)
constexpr int kComErrInvalidPort = -2;       // port number out of range
constexpr int kComErrNotOpen = -3;           // the port is not open
constexpr int kComErrInvalidParameter = -4;  // a setting or argument the port cannot take
constexpr int kComErrCannotOpen = -6;        // the device cannot be opened or configured
constexpr int kComErrStopped = -100;         // the operator stopped the job (platform/jobstop.h)

constexpr int kParityNone = 0;
constexpr int kParityEven = 2;
constexpr int kEscapeSetDtr = 5;
constexpr int kEscapeClearDtr = 6;

constexpr int kDefaultComTimeoutMs = 10'000;
constexpr int kMaxComTimeoutMs = 2'147'483'647;  // about 24.8 days

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int SetCTSMode(int port, int mode);
int SetXMode(int port, int mode);
int FlushInQ(int port);
int FlushOutQ(int port);
int ComSetEscape(int port, int escapeCode);
// Read (and write-stall) time-out of the port; 10 s after an open. Values beyond
// kMaxComTimeoutMs are clamped to it; a negative or NaN time-out is refused.
int SetComTime(int port, double timeoutSeconds);
int ComWrtByte(int port, int byte);
int ComWrt(int port, const void* buffer, int count);
// Next received byte 0..255, kComTimeout when the port's time-out passes first, another
// negative code for any other fault.
int ComRdByte(int port);
// Reads up to count bytes, waiting up to the port's time-out for each; returns the number read.
int ComRd(int port, void* buffer, int count);
int GetInQLen(int port);
int GetOutQLen(int port);

// Waits, sleeping on the device, until a byte is waiting or milliseconds pass.
// Returns 1 when input is waiting, 0 when the time passed, a negative code on a fault.
int WaitInQ(int port, int milliseconds);
// Waits, sleeping on the device, until the output queue is empty or milliseconds pass.
// Returns the bytes still queued (0 when drained), a negative code on a fault.
int WaitOutQEmpty(int port, int milliseconds);

// The operating system's reason for the port's last failed operation, the open or reopen
// included (the codes above say what failed, this says why): its error number, ETIMEDOUT
// for a time-out and EIO for a line that went away; 0 when the failure had no such reason,
// nothing failed since the port was opened, or the port number is out of range. A failed
// open keeps its reason here although the port stays closed.
int ComLastSystemError(int port);
// The text of ComLastSystemError ("Invalid argument"); "" when it is 0.
std::string ComLastSystemErrorText(int port);
// The device an open port stands for ("/dev/ttyUSB0" for "COM1"); "" when the port is not
// open or its backend does not tell.
std::string ComDevicePath(int port);

// For the operator, in one line: why port N could not be opened under deviceName and what to
// do, from the reason ComLastSystemError keeps: a device that does not exist (with the ports
// that do), one the user may not open (with the group to join), one another program holds
// (with that program when it can be found), or the system's own text.
std::string ExplainOpenFailure(int port, const std::string& deviceName);

}  // namespace vbc

namespace vbc::platform {

struct LineSettings {
    long baudRate = 38400;
    int parity = kParityEven;
    int dataBits = 8;
    int stopBits = 1;
};

// One open serial device. Every method returns >= 0 on success, a negative code on a fault.
class SerialDevice {
  public:
    virtual ~SerialDevice() = default;
    // Applies new line settings to the open device (a reopen keeps the device open), once
    // what is queued has left at the old rate; the wait for that is bounded like a write's.
    virtual int Configure(const LineSettings& settings) = 0;
    virtual int SetDtr(bool on) = 0;
    // CTS/RTS hardware handshake and XON/XOFF flow control (both off after an open).
    virtual int SetHardwareHandshake(bool on) = 0;
    virtual int SetSoftwareFlowControl(bool on) = 0;
    // The port's time-out (kDefaultComTimeoutMs until set): how long a write may stall
    // without progress. Reads get theirs with each call.
    virtual int SetTimeoutMs(int milliseconds) = 0;
    virtual int FlushInput() = 0;
    virtual int FlushOutput() = 0;
    // Queues all bytes for sending (waiting only while the output queue is full); returns count,
    // kComTimeout when the device stalls for the time-out, another negative code on a fault.
    virtual int Write(const std::uint8_t* data, std::size_t count) = 0;
    // One byte, or kComTimeout after timeoutMs, or another negative code.
    virtual int ReadByte(int timeoutMs) = 0;
    virtual int InputQueueLength() = 0;
    virtual int OutputQueueLength() = 0;
    virtual int WaitInput(int timeoutMs) = 0;
    virtual int WaitOutputEmpty(int timeoutMs) = 0;
    // The device this one stands for, as the operator would recognise it; "" if unknown.
    virtual std::string Path() const { return {}; }
    // The operating system's error number behind the last failure (ETIMEDOUT for a time-out,
    // EIO for a hang-up), 0 when there is none.
    virtual int SystemError() const { return 0; }
};

// Opens devices by name ("COM1" ...).
class SerialProvider {
  public:
    virtual ~SerialProvider() = default;
    // Opens the named device with settings; on failure returns null, sets *error < 0 and
    // leaves errno at the system's reason (0 when there is none).
    virtual std::unique_ptr<SerialDevice> Open(int port, const std::string& deviceName,
                                               const LineSettings& settings, int* error) = 0;
};

// The provider used by OpenComConfig: the POSIX one unless a test or front end installed
// another. The caller keeps ownership; nullptr restores the default. Closes every open port.
void SetSerialProvider(SerialProvider* provider);
SerialProvider& CurrentSerialProvider();

// Closes every open port (between tests, and at exit).
void CloseAllPorts();
// True while this program holds port N open (a service panel's Switch on keeps it so).
bool PortIsOpen(int port);

// How "COMN" (N = 1..255, no leading zero) is resolved on this machine: a binding set by
// BindPortDevice(N) first, then a file or symbolic link named "COMN" in the working directory,
// then the N-th serial port of ListSerialPorts(); otherwise, and for any other name, the name
// itself.
std::string ResolvePortName(const std::string& deviceName);

// Binds port N to a device path, overriding the resolution above (command line --device).
void BindPortDevice(int port, const std::string& devicePath);
void ClearPortBindings();

struct PortInfo {
    std::string path;         // e.g. /dev/ttyUSB0
    std::string description;  // vendor and product for USB adapters, otherwise the driver
};
// The machine's serial ports, in a stable order (the order "COMN" counts): ttyS* first, then
// ttyUSB*, ttyACM*, ttyAMA* and the rest, each group by number.
std::vector<PortInfo> ListSerialPorts();
// The same scan over another sysfs tty class directory and device directory (for tests).
std::vector<PortInfo> ListSerialPortsIn(const std::string& sysClassTtyDir,
                                        const std::string& devDir);

}  // namespace vbc::platform
