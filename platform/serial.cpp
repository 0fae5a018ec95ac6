// Port-number dispatch of the RS-232 operations onto open SerialDevices, the provider in use,
// and how "COMN" names a device.
#include "platform/serial.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/jobstop.h"
#include "platform/serialsystem.h"

namespace vbc::platform {
namespace {

constexpr int kMaxPort = 255;

struct Port {
    std::shared_ptr<SerialDevice> device;
    std::string deviceName;  // as the caller named it (before resolution)
    int timeoutMs = kDefaultComTimeoutMs;
    int systemError = 0;  // the reason of the last failure (ComLastSystemError)
};

// Ports are used from one thread in the program, but tests and the simulator may drive
// different ports from different threads: the table is guarded, the devices are not shared.
std::mutex gMutex;
std::array<Port, kMaxPort + 1> gPorts;
SerialProvider* gProvider = nullptr;
std::map<int, std::string> gBindings;

bool ValidPort(int port) {
    return port >= 1 && port <= kMaxPort;
}

// The device of an open port and its time-out, or an error code in *error.
std::shared_ptr<SerialDevice> Lookup(int port, int* error, int* timeoutMs = nullptr) {
    if (!ValidPort(port)) {
        *error = kComErrInvalidPort;
        return nullptr;
    }
    std::lock_guard lock(gMutex);
    const Port& p = gPorts[static_cast<std::size_t>(port)];
    if (!p.device) {
        *error = kComErrNotOpen;
        return nullptr;
    }
    if (timeoutMs) *timeoutMs = p.timeoutMs;
    return p.device;
}

// Port number of "COMN" (N = 1..255 in decimal without leading zeros), or 0.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name[3] == '0') return 0;
    int n = 0;
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    auto [ptr, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || ptr != last || !ValidPort(n)) return 0;
    return n;
}

// Passes a device's result on, keeping the reason of a failure for ComLastSystemError.
int Noted(int port, const SerialDevice& device, int result) {
    if (result >= 0) return result;
    const int reason = device.SystemError();
    std::lock_guard lock(gMutex);
    Port& p = gPorts[static_cast<std::size_t>(port)];
    // The port may have been closed or reopened meanwhile: that device's story is over.
    if (p.device.get() == &device) p.systemError = reason;
    return result;
}

// One wait of the device, up to timeoutMs. While a front end must keep its windows live (its
// Stop button) the wait is cut into slices with its events run between them; `more(r)` tells
// that a slice ended with nothing yet. A stop request ends it with kComErrStopped.
template <typename Wait, typename More>
int StoppableWait(int timeoutMs, Wait wait, More more) {
    if (JobStopRequested()) return kComErrStopped;
    timeoutMs = std::max(timeoutMs, 0);
    if (!JobWaitHookActive()) return wait(timeoutMs);
    int left = timeoutMs;
    for (;;) {
        const int slice = std::min(left, kJobWaitSliceMs);
        const int r = wait(slice);
        left -= slice;
        if (!more(r) || left <= 0) return r;
        if (JobWaitTick()) return kComErrStopped;
    }
}

int ReadByteStoppable(int port, SerialDevice& d, int timeoutMs) {
    return StoppableWait(
        timeoutMs, [&](int ms) { return Noted(port, d, d.ReadByte(ms)); },
        [](int r) { return r == kComTimeout; });
}

void CloseAllLocked() {
    // Only the ports in use: the table is cleared on every change of provider, which the
    // protocol fuzz target makes twice a run.
    for (Port& p : gPorts) {
        if (p.device || !p.deviceName.empty() || p.timeoutMs != kDefaultComTimeoutMs ||
            p.systemError != 0)
            p = Port{};
    }
}

}  // namespace

void SetSerialProvider(SerialProvider* provider) {
    std::lock_guard lock(gMutex);
    CloseAllLocked();
    gProvider = provider;
}

SerialProvider& CurrentSerialProvider() {
    std::lock_guard lock(gMutex);
    return gProvider ? *gProvider : SystemSerialProvider();
}

void CloseAllPorts() {
    // Devices are released outside the lock: closing one may take a moment.
    std::array<Port, kMaxPort + 1> closing;
    {
        std::lock_guard lock(gMutex);
        closing.swap(gPorts);
    }
}

bool PortIsOpen(int port) {
    int error = 0;
    return Lookup(port, &error) != nullptr;
}

std::string ResolvePortName(const std::string& deviceName) {
    const int n = ComNumber(deviceName);
    if (n == 0) return deviceName;
    {
        std::lock_guard lock(gMutex);
        auto it = gBindings.find(n);
        if (it != gBindings.end()) return it->second;
    }
    return SystemComDevice(n, deviceName);
}

void BindPortDevice(int port, const std::string& devicePath) {
    if (!ValidPort(port)) return;
    std::lock_guard lock(gMutex);
    if (devicePath.empty()) {
        gBindings.erase(port);
    } else {
        gBindings[port] = devicePath;
    }
}

void ClearPortBindings() {
    std::lock_guard lock(gMutex);
    gBindings.clear();
}

}  // namespace vbc::platform

namespace vbc {

using platform::Lookup;
using platform::SerialDevice;

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (!platform::ValidPort(port)) return kComErrInvalidPort;
    // The queues are the driver's; the sizes are only checked for sense.
    if (baudRate <= 0 || parity < 0 || parity > 4 || dataBits < 5 || dataBits > 8 || stopBits < 1 ||
        stopBits > 2 || inputQueueSize < 0 || outputQueueSize < 0) {
        return kComErrInvalidParameter;
    }
    std::string name = (deviceName && *deviceName) ? deviceName : "COM" + std::to_string(port);
    platform::LineSettings settings;
    settings.baudRate = baudRate;
    settings.parity = parity;
    settings.dataBits = dataBits;
    settings.stopBits = stopBits;

    std::shared_ptr<SerialDevice> open;
    {
        std::lock_guard lock(platform::gMutex);
        platform::Port& p = platform::gPorts[static_cast<std::size_t>(port)];
        if (p.device && p.deviceName == name) open = p.device;
    }
    if (open) {
        // Reopening an open port (the speed change) keeps the device and only retunes it.
        int r = platform::Noted(port, *open, open->Configure(settings));
        return r < 0 ? r : 0;
    }
    // Another device on the same port number: the old one goes first.
    CloseCom(port);

    platform::SerialProvider& provider = platform::CurrentSerialProvider();
    int error = kComErrCannotOpen;
    errno = 0;
    std::unique_ptr<SerialDevice> device = provider.Open(port, name, settings, &error);
    if (!device) {
        const int reason = errno;
        std::lock_guard lock(platform::gMutex);
        platform::gPorts[static_cast<std::size_t>(port)].systemError = reason;
        return error < 0 ? error : kComErrCannotOpen;
    }
    std::shared_ptr<SerialDevice> replaced;
    {
        std::lock_guard lock(platform::gMutex);
        platform::Port& p = platform::gPorts[static_cast<std::size_t>(port)];
        replaced = std::move(p.device);
        p.device = std::move(device);
        p.deviceName = name;
        p.timeoutMs = kDefaultComTimeoutMs;
        p.systemError = 0;
    }
    return 0;
}

int CloseCom(int port) {
    if (!platform::ValidPort(port)) return kComErrInvalidPort;
    std::shared_ptr<SerialDevice> closing;
    {
        std::lock_guard lock(platform::gMutex);
        platform::Port& p = platform::gPorts[static_cast<std::size_t>(port)];
        if (!p.device) return kComErrNotOpen;
        closing = std::move(p.device);
        p = platform::Port{};
    }
    return 0;
}

int SetCTSMode(int port, int mode) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    int r = platform::Noted(port, *d, d->SetHardwareHandshake(mode != 0));
    return r < 0 ? r : 0;
}

int SetXMode(int port, int mode) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    int r = platform::Noted(port, *d, d->SetSoftwareFlowControl(mode != 0));
    return r < 0 ? r : 0;
}

int FlushInQ(int port) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    int r = platform::Noted(port, *d, d->FlushInput());
    return r < 0 ? r : 0;
}

int FlushOutQ(int port) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    int r = platform::Noted(port, *d, d->FlushOutput());
    return r < 0 ? r : 0;
}

int ComSetEscape(int port, int escapeCode) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    int r;
    switch (escapeCode) {
        case kEscapeSetDtr:
            r = d->SetDtr(true);
            break;
        case kEscapeClearDtr:
            r = d->SetDtr(false);
            break;
        default:
            return kComErrInvalidParameter;
    }
    r = platform::Noted(port, *d, r);
    return r < 0 ? r : 0;
}

int SetComTime(int port, double timeoutSeconds) {
    if (!platform::ValidPort(port)) return kComErrInvalidPort;
    if (std::isnan(timeoutSeconds) || timeoutSeconds < 0) return kComErrInvalidParameter;
    const double ms = timeoutSeconds * 1000.0;
    const int timeoutMs =
        ms >= static_cast<double>(kMaxComTimeoutMs) ? kMaxComTimeoutMs : static_cast<int>(ms);
    std::shared_ptr<SerialDevice> d;
    {
        std::lock_guard lock(platform::gMutex);
        platform::Port& p = platform::gPorts[static_cast<std::size_t>(port)];
        if (!p.device) return kComErrNotOpen;
        p.timeoutMs = timeoutMs;
        d = p.device;
    }
    int r = platform::Noted(port, *d, d->SetTimeoutMs(timeoutMs));
    return r < 0 ? r : 0;
}

int ComWrtByte(int port, int byte) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    // Nothing more goes to the phone once the job is to stop.
    if (JobStopRequested()) return kComErrStopped;
    const std::uint8_t b = static_cast<std::uint8_t>(byte);
    int r = platform::Noted(port, *d, d->Write(&b, 1));
    return r < 0 ? r : 1;
}

int ComWrt(int port, const void* buffer, int count) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    if (count < 0 || (count > 0 && !buffer)) return kComErrInvalidParameter;
    if (count == 0) return 0;
    if (JobStopRequested()) return kComErrStopped;
    return platform::Noted(
        port, *d,
        d->Write(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)));
}

int ComRdByte(int port) {
    int error = 0;
    int timeoutMs = 0;
    auto d = Lookup(port, &error, &timeoutMs);
    if (!d) return error;
    return platform::ReadByteStoppable(port, *d, timeoutMs);
}

int ComRd(int port, void* buffer, int count) {
    int error = 0;
    int timeoutMs = 0;
    auto d = Lookup(port, &error, &timeoutMs);
    if (!d) return error;
    if (count < 0 || (count > 0 && !buffer)) return kComErrInvalidParameter;
    auto* out = static_cast<std::uint8_t*>(buffer);
    int n = 0;
    while (n < count) {
        int b = platform::ReadByteStoppable(port, *d, timeoutMs);
        if (b < 0) {
            // A time-out ends the read with what came; a fault with nothing read is reported
            // (with something read, the next read reports it).
            if (b != kComTimeout && n == 0) return b;
            break;
        }
        out[n++] = static_cast<std::uint8_t>(b);
    }
    return n;
}

int GetInQLen(int port) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    return platform::Noted(port, *d, d->InputQueueLength());
}

int GetOutQLen(int port) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    return platform::Noted(port, *d, d->OutputQueueLength());
}

int WaitInQ(int port, int milliseconds) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    return platform::StoppableWait(
        milliseconds, [&](int ms) { return platform::Noted(port, *d, d->WaitInput(ms)); },
        [](int r) { return r == 0; });
}

int WaitOutQEmpty(int port, int milliseconds) {
    int error = 0;
    auto d = Lookup(port, &error);
    if (!d) return error;
    return platform::StoppableWait(
        milliseconds, [&](int ms) { return platform::Noted(port, *d, d->WaitOutputEmpty(ms)); },
        [](int r) { return r > 0; });
}

int ComLastSystemError(int port) {
    if (!platform::ValidPort(port)) return 0;
    std::lock_guard lock(platform::gMutex);
    return platform::gPorts[static_cast<std::size_t>(port)].systemError;
}

std::string ComLastSystemErrorText(int port) {
    const int error = ComLastSystemError(port);
    if (error == 0) return {};
    return platform::SystemErrorText(error);
}

std::string ComDevicePath(int port) {
    int error = 0;
    auto d = Lookup(port, &error);
    return d ? d->Path() : std::string();
}

std::string ExplainOpenFailure(int port, const std::string& deviceName) {
    const std::string com = "COM" + std::to_string(port);
    return platform::SystemExplainOpenFailure(com, deviceName.empty() ? com : deviceName,
                                              ComLastSystemError(port));
}

}  // namespace vbc
