// The Win32 backend: COM ports through the communications functions, with overlapped I/O so
// that every wait sleeps on the port's events and on the job's stop event together.
#include "platform/win32/serial.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/jobstop.h"
#include "platform/serialsystem.h"
#include "platform/win32/wide.h"

namespace vbc::platform {
namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RemainingMs(std::int64_t deadline) {
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > kMaxComTimeoutMs ? kMaxComTimeoutMs : static_cast<int>(left);
}

std::int64_t DeadlineAfter(int timeoutMs) {
    return NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
}

// As with the POSIX backend: a whole 64 KiB block is queued at once.
constexpr std::size_t kOutputQueueBytes = 65536;
constexpr int kCloseDrainLimitMs = kDefaultComTimeoutMs;
constexpr int kRetuneDrainSliceMs = 100;
// The rate a driver takes may differ from the one asked by this much (in %).
constexpr long kRateTolerancePct = 2;

// Failures a port with no modem lines (a virtual or bridged port) reports for DTR.
bool NoModemLines(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_INVALID_PARAMETER || error == ERROR_GEN_FAILURE;
}

std::string Narrow(const wchar_t* w, int length) {
    return length > 0 ? platform::Narrow(std::wstring(w, static_cast<std::size_t>(length)))
                      : std::string();
}

// One overlapped operation's event, owned.
class Event {
  public:
    Event() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (handle_) ::CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

// Waits for an overlapped operation's event, the job's stop event and at most timeoutMs.
enum class Waited { Done, TimedOut, Stopped, Failed };
Waited WaitFor(HANDLE done, int timeoutMs) {
    if (JobStopRequested()) return Waited::Stopped;
    HANDLE stop = static_cast<HANDLE>(JobStopWakeEvent());
    const HANDLE handles[2] = {done, stop};
    const std::int64_t deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const DWORD r = ::WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE,
                                                 static_cast<DWORD>(RemainingMs(deadline)));
        if (r == WAIT_OBJECT_0) return Waited::Done;
        if (JobStopRequested()) return Waited::Stopped;
        if (r == WAIT_TIMEOUT) return Waited::TimedOut;
        if (r != WAIT_OBJECT_0 + 1) return Waited::Failed;
        // Woken by a request that was withdrawn meanwhile: wait on.
        DrainStaleJobStopWake();
    }
}

// Sleeps timeoutMs unless a stop comes first; false when it came.
bool SleepUnlessStopped(int timeoutMs) {
    if (JobStopRequested()) return false;
    HANDLE stop = static_cast<HANDLE>(JobStopWakeEvent());
    if (!stop) {
        ::Sleep(static_cast<DWORD>(timeoutMs));
    } else {
        ::WaitForSingleObject(stop, static_cast<DWORD>(timeoutMs));
    }
    return !JobStopRequested();
}

class Win32SerialDevice : public SerialDevice {
  public:
    Win32SerialDevice(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    ~Win32SerialDevice() override {
        // Queued bytes were accepted by Write: give them a bounded chance to leave.
        WaitOutputEmpty(std::min(timeoutMs_, kCloseDrainLimitMs));
        ::PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        FinishWrite(INFINITE);
        // The armed wait must end before its OVERLAPPED goes: cancelled, and collected.
        if (armed_) {
            ::CancelIoEx(handle_, &commOv_);
            DWORD ignored = 0;
            ::GetOverlappedResult(handle_, &commOv_, &ignored, TRUE);
        }
        ::CloseHandle(handle_);
    }
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    std::string Path() const override { return path_; }
    int SystemError() const override { return static_cast<int>(systemError_); }

    int Configure(const LineSettings& settings) override {
        if (int r = DrainBeforeRetune(); r < 0) return r;
        return Apply(settings);
    }

    int SetDtr(bool on) override {
        if (::EscapeCommFunction(handle_, on ? SETDTR : CLRDTR)) {
            dtr_ = on;
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (NoModemLines(error)) return 0;
        return Fail(kComErrUnknown, error);
    }

    int SetHardwareHandshake(bool on) override {
        cts_ = on;
        return Apply(settings_);
    }

    int SetSoftwareFlowControl(bool on) override {
        xon_ = on;
        return Apply(settings_);
    }

    int SetTimeoutMs(int milliseconds) override {
        timeoutMs_ = milliseconds < 0 ? 0 : milliseconds;
        return 0;
    }

    int FlushInput() override {
        head_ = tail_ = 0;
        return ::PurgeComm(handle_, PURGE_RXCLEAR) ? 0 : Fail(kComErrUnknown, ::GetLastError());
    }

    int FlushOutput() override {
        out_.clear();
        if (!::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR)) {
            return Fail(kComErrUnknown, ::GetLastError());
        }
        // The aborted write ends at once; its bytes are gone with the queue.
        FinishWrite(INFINITE);
        return 0;
    }

    int Write(const std::uint8_t* data, std::size_t count) override {
        if (count == 0) return 0;
        // Never drop bytes: a single write larger than the queue grows it.
        capacity_ = std::max(capacity_, count);
        // Only a full queue makes the caller wait, and only until the new bytes fit.
        std::int64_t deadline = DeadlineAfter(timeoutMs_);
        while (Queued() + count > capacity_ && writing_) {
            const std::size_t before = Queued();
            const int wait = RemainingMs(deadline);
            if (wait == 0) return Fail(kComTimeout, ERROR_TIMEOUT);
            if (int r = AwaitWrite(wait); r < 0) return r;
            if (int r = Push(); r < 0) return r;
            if (Queued() < before) deadline = DeadlineAfter(timeoutMs_);
        }
        out_.insert(out_.end(), data, data + count);
        if (int r = Push(); r < 0) return r;
        return static_cast<int>(count);
    }

    int ReadByte(int timeoutMs) override {
        if (int r = Push(); r < 0) return r;
        if (head_ < tail_) return buffer_[head_++];
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            const int n = Fill();
            if (n > 0) return buffer_[head_++];
            if (n < 0) return n;
            const int wait = RemainingMs(deadline);
            if (wait == 0) return Fail(kComTimeout, ERROR_TIMEOUT);
            const int r = AwaitInput(wait);
            if (r < 0) return r;
            if (r == 0) return Fail(kComTimeout, ERROR_TIMEOUT);
        }
    }

    int InputQueueLength() override {
        if (int r = Push(); r < 0) return r;
        COMSTAT stat{};
        if (int r = Status(&stat); r < 0) return r;
        return static_cast<int>(tail_ - head_) + static_cast<int>(stat.cbInQue);
    }

    int OutputQueueLength() override {
        if (int r = Push(); r < 0) return r;
        COMSTAT stat{};
        if (int r = Status(&stat); r < 0) return r;
        // A pending write's bytes are the driver's queue on some drivers and not on others.
        const std::size_t driver =
            std::max<std::size_t>(stat.cbOutQue, writing_ ? inflight_.size() : 0);
        const std::size_t total = out_.size() + driver;
        return total > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(total);
    }

    int WaitInput(int timeoutMs) override {
        if (int r = Push(); r < 0) return r;
        if (head_ < tail_) return 1;
        return AwaitInput(timeoutMs);
    }

    int WaitOutputEmpty(int timeoutMs) override {
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            const int queued = OutputQueueLength();
            if (queued <= 0) return queued;
            const int left = RemainingMs(deadline);
            if (left == 0) return queued;
            if (writing_) {
                if (int r = AwaitWrite(left); r < 0 && r != kComTimeout) return r;
                continue;
            }
            // Sleep about as long as the driver's queue takes to leave.
            const long bitsPerByte =
                1 + settings_.dataBits + (settings_.parity != kParityNone) + settings_.stopBits;
            long ms = static_cast<long>(queued) * bitsPerByte * 1000 / settings_.baudRate;
            ms = std::clamp<long>(ms, 1, left);
            if (!SleepUnlessStopped(static_cast<int>(ms))) {
                return Fail(kComErrStopped, ERROR_OPERATION_ABORTED);
            }
        }
    }

    // Sets the line's frame, rate and flow control, and the time-outs the I/O below relies on.
    int Apply(const LineSettings& s) {
        if (s.baudRate <= 0 || s.baudRate > 0x7FFFFFFFL) {
            return Fail(kComErrInvalidParameter, ERROR_INVALID_PARAMETER);
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) return Fail(kComErrCannotOpen, ::GetLastError());
        dcb.BaudRate = static_cast<DWORD>(s.baudRate);  // any rate: the driver makes it or refuses
        dcb.fBinary = TRUE;
        dcb.fParity = s.parity != kParityNone;
        dcb.fOutxCtsFlow = cts_;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = dtr_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = xon_;
        dcb.fInX = xon_;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = cts_ ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        if (s.dataBits < 5 || s.dataBits > 8) {
            return Fail(kComErrInvalidParameter, ERROR_INVALID_PARAMETER);
        }
        dcb.ByteSize = static_cast<BYTE>(s.dataBits);
        static constexpr BYTE kParities[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
                                             SPACEPARITY};
        if (s.parity < 0 || s.parity > 4) {
            return Fail(kComErrInvalidParameter, ERROR_INVALID_PARAMETER);
        }
        dcb.Parity = kParities[s.parity];
        if (s.stopBits != 1 && s.stopBits != 2) {
            return Fail(kComErrInvalidParameter, ERROR_INVALID_PARAMETER);
        }
        dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        if (!::SetCommState(handle_, &dcb)) return Fail(kComErrCannotOpen, ::GetLastError());
        // A driver that kept another rate than the one asked: the phone would not read it.
        DCB now{};
        now.DCBlength = sizeof now;
        if (::GetCommState(handle_, &now) && now.BaudRate != 0 &&
            std::labs(static_cast<long>(now.BaudRate) - s.baudRate) * 100 >
                s.baudRate * kRateTolerancePct) {
            return Fail(kComErrCannotOpen, ERROR_INVALID_PARAMETER);
        }
        // Reads return at once with what has arrived; the waits below sleep on the port's
        // receive event instead. Writes have no driver time-out: ours bounds a stall.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        if (!::SetCommTimeouts(handle_, &t)) return Fail(kComErrCannotOpen, ::GetLastError());
        settings_ = s;
        return 0;
    }

  private:
    int Fail(int code, DWORD systemError) {
        systemError_ = systemError;
        return code;
    }

    // The port's error flags and queue lengths; a port that went away fails here.
    int Status(COMSTAT* stat) {
        DWORD errors = 0;
        if (!::ClearCommError(handle_, &errors, stat))
            return Fail(kComErrUnknown, ::GetLastError());
        return 0;
    }

    std::size_t Queued() const { return out_.size() + (writing_ ? inflight_.size() : 0); }

    // Starts an overlapped write of what is queued when none runs; collects one that ended.
    // The bytes moved, or a negative code.
    int Push() {
        int moved = 0;
        if (writing_) {
            const int r = FinishWrite(0);
            if (r < 0) return r;
            moved += r;
            if (writing_) return moved;
        }
        if (out_.empty()) return moved;
        inflight_.swap(out_);
        out_.clear();
        writeOv_ = OVERLAPPED{};
        writeOv_.hEvent = writeEvent_.Get();
        if (::WriteFile(handle_, inflight_.data(), static_cast<DWORD>(inflight_.size()), nullptr,
                        &writeOv_)) {
            writing_ = true;
            const int r = FinishWrite(0);
            return r < 0 ? r : moved + r;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            out_.swap(inflight_);
            inflight_.clear();
            return Fail(kComErrUnknown, error);
        }
        writing_ = true;
        return moved;
    }

    // Collects the running write when it has ended within waitMs: the bytes it sent (0 when it
    // still runs), or a negative code. A short write puts the rest back in front of the queue.
    int FinishWrite(DWORD waitMs) {
        if (!writing_) return 0;
        if (waitMs != 0 && ::WaitForSingleObject(writeEvent_.Get(), waitMs) != WAIT_OBJECT_0) {
            return 0;
        }
        DWORD sent = 0;
        if (!::GetOverlappedResult(handle_, &writeOv_, &sent, FALSE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_INCOMPLETE) return 0;
            writing_ = false;
            inflight_.clear();
            if (error == ERROR_OPERATION_ABORTED) return 0;  // purged
            return Fail(kComErrUnknown, error);
        }
        writing_ = false;
        if (sent < inflight_.size()) {
            out_.insert(out_.begin(), inflight_.begin() + sent, inflight_.end());
        }
        inflight_.clear();
        return static_cast<int>(std::min<DWORD>(sent, INT32_MAX));
    }

    // Waits up to timeoutMs for the running write to end: 0, kComTimeout, or a fault.
    int AwaitWrite(int timeoutMs) {
        switch (WaitFor(writeEvent_.Get(), timeoutMs)) {
            case Waited::Done: {
                const int r = FinishWrite(0);
                return r < 0 ? r : 0;
            }
            case Waited::TimedOut:
                return Fail(kComTimeout, ERROR_TIMEOUT);
            case Waited::Stopped:
                return Fail(kComErrStopped, ERROR_OPERATION_ABORTED);
            case Waited::Failed:
                break;
        }
        return Fail(kComErrUnknown, ::GetLastError());
    }

    // Reads what the driver holds into the buffer: the count, 0 when nothing is waiting, a
    // negative code on a fault.
    int Fill() {
        OVERLAPPED ov{};
        ov.hEvent = readEvent_.Get();
        DWORD got = 0;
        if (!::ReadFile(handle_, buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr,
                        &ov)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return Fail(kComErrUnknown, error);
        }
        // The time-outs make the read return at once; the wait is for its completion only.
        if (!::GetOverlappedResult(handle_, &ov, &got, TRUE)) {
            return Fail(kComErrUnknown, ::GetLastError());
        }
        head_ = 0;
        tail_ = got;
        return static_cast<int>(got);
    }

    // Sleeps on the port's receive event until a byte is waiting (1), timeoutMs passed (0), or
    // a fault or stop (a negative code). Sends what is queued meanwhile. One wait for the event
    // stays armed across calls: it is never cancelled, which some drivers (and Wine) do not
    // take well, and it is armed before the queue is looked at, so that a byte that comes in
    // between completes it at once.
    int AwaitInput(int timeoutMs) {
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            if (int r = Push(); r < 0) return r;
            if (!armed_) {
                commOv_ = OVERLAPPED{};
                commOv_.hEvent = commEvent_.Get();
                if (!::WaitCommEvent(handle_, &commMask_, &commOv_)) {
                    const DWORD error = ::GetLastError();
                    if (error != ERROR_IO_PENDING) return Fail(kComErrUnknown, error);
                    armed_ = true;
                }
            }
            COMSTAT stat{};
            if (int r = Status(&stat); r < 0) return r;
            if (stat.cbInQue > 0) return 1;
            const int left = RemainingMs(deadline);
            if (left == 0) return 0;
            if (!armed_) continue;  // an event came at once: look at the queue again
            // While our write runs, its end must send more of the queue: look again soon.
            const int slice = writing_ ? std::min(left, kRetuneDrainSliceMs) : left;
            switch (WaitFor(commEvent_.Get(), slice)) {
                case Waited::Done: {
                    DWORD ignored = 0;
                    ::GetOverlappedResult(handle_, &commOv_, &ignored, FALSE);
                    armed_ = false;
                    break;
                }
                case Waited::TimedOut:
                    break;
                case Waited::Stopped:
                    return Fail(kComErrStopped, ERROR_OPERATION_ABORTED);
                case Waited::Failed:
                    return Fail(kComErrUnknown, ::GetLastError());
            }
        }
    }

    int DrainBeforeRetune() {
        std::int64_t deadline = DeadlineAfter(timeoutMs_);
        int least = INT32_MAX;
        for (;;) {
            const int left = RemainingMs(deadline);
            const int queued = WaitOutputEmpty(std::min(left, kRetuneDrainSliceMs));
            if (queued <= 0) return queued;
            if (queued < least) {
                least = queued;
                deadline = DeadlineAfter(timeoutMs_);
            } else if (left == 0) {
                return Fail(kComTimeout, ERROR_TIMEOUT);
            }
        }
    }

    HANDLE handle_;
    std::string path_;
    DWORD systemError_ = 0;
    LineSettings settings_;
    bool cts_ = false;
    bool xon_ = false;
    bool dtr_ = true;  // the line is raised at open, as the POSIX terminals do
    int timeoutMs_ = kDefaultComTimeoutMs;
    Event readEvent_;
    Event writeEvent_;
    Event commEvent_;
    // The armed wait for a received byte (AwaitInput).
    OVERLAPPED commOv_{};
    DWORD commMask_ = 0;
    bool armed_ = false;
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    // Bytes accepted by Write and not yet handed to the driver, and those of the running write.
    std::vector<std::uint8_t> out_;
    std::vector<std::uint8_t> inflight_;
    bool writing_ = false;
    OVERLAPPED writeOv_{};
    std::size_t capacity_ = kOutputQueueBytes;
};

// "COMN" without a path: what CreateFileW needs for every N (COM10 and above included).
std::string DevicePath(const std::string& name) {
    if (name.rfind("\\\\", 0) == 0) return name;
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0) &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
        return "\\\\.\\" + name;
    }
    return name;
}

// The number of "COMN" (any case), 0 when it is no such name.
int ComNumberOf(const std::string& name) {
    if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "com") != 0)) {
        return 0;
    }
    int n = 0;
    auto [ptr, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), n);
    return ec == std::errc() && ptr == name.data() + name.size() ? n : 0;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenWin32Serial(const std::string& name, const LineSettings& settings,
                                              int* error) {
    const std::string path = DevicePath(name);
    // No sharing: nobody else may open the line while a job runs on it.
    HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD reason = ::GetLastError();
        *error = kComErrCannotOpen;
        errno = static_cast<int>(reason);
        return nullptr;
    }
    auto device = std::make_unique<Win32SerialDevice>(h, path);
    const int r = device->Apply(settings);
    if (r != 0) {
        *error = r == kComErrInvalidParameter ? r : kComErrCannotOpen;
        const int reason = device->SystemError();
        device.reset();
        errno = reason;
        return nullptr;
    }
    if (!::SetCommMask(h, EV_RXCHAR)) {
        *error = kComErrCannotOpen;
        const DWORD reason = ::GetLastError();
        device.reset();
        errno = static_cast<int>(reason);
        return nullptr;
    }
    ::EscapeCommFunction(h, SETDTR);
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return device;
}

std::unique_ptr<SerialDevice> Win32SerialProvider::Open(int /*port*/, const std::string& deviceName,
                                                        const LineSettings& settings, int* error) {
    return OpenWin32Serial(ResolvePortName(deviceName), settings, error);
}

SerialProvider& SystemSerialProvider() {
    static Win32SerialProvider provider;
    return provider;
}

std::string SystemComDevice(int n, const std::string& /*deviceName*/) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::string SystemErrorText(int error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string s = n ? Narrow(text, static_cast<int>(n)) : std::string();
    if (text) ::LocalFree(text);
    // The system's texts end in a full stop and a line break: the line goes on after them.
    while (!s.empty() &&
           (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) {
        s.pop_back();
    }
    if (s.empty()) s = "system error " + std::to_string(static_cast<unsigned long>(error));
    return s;
}

std::string SystemExplainOpenFailure(const std::string& com, const std::string& deviceName,
                                     int error) {
    const std::string path = DevicePath(ResolvePortName(deviceName));
    const std::string where = path == "\\\\.\\" + com ? com : com + " (" + path + ")";
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST: {
            std::string line = where + ": no such device; ";
            const auto ports = ListSerialPorts();
            if (ports.empty()) return line + "this machine has no serial ports";
            line += "the serial ports here:";
            for (std::size_t i = 0; i < ports.size(); ++i) {
                line +=
                    (i ? ", " : " ") + ports[i].path.substr(4) + " (" + ports[i].description + ")";
            }
            return line;
        }
        // Windows opens a COM port for one program at a time: another open is refused as
        // access denied.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return where + ": busy; another program holds the port: wait until it ends or stop it";
        case ERROR_PRIVILEGE_NOT_HELD:
            return where + ": permission denied";
        case 0:
            return where + ": cannot be opened";
        default:
            return where + ": cannot be opened: " + SystemErrorText(error);
    }
}

std::vector<PortInfo> ListSerialPorts() {
    struct Found {
        int number;
        PortInfo info;
    };
    std::vector<Found> found;
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            DWORD nameLength = 256;
            wchar_t data[256];
            DWORD dataBytes = sizeof data - sizeof(wchar_t);
            DWORD type = 0;
            const LONG r = ::RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data), &dataBytes);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || type != REG_SZ) continue;
            std::size_t chars = dataBytes / sizeof(wchar_t);
            while (chars > 0 && data[chars - 1] == L'\0') --chars;
            const std::string com = Narrow(data, static_cast<int>(chars));
            const int n = ComNumberOf(com);
            if (n == 0) continue;
            // The value's name is the driver's device ("\Device\Serial0", "\Device\VCP0").
            found.push_back(
                {n,
                 {"\\\\.\\COM" + std::to_string(n), Narrow(name, static_cast<int>(nameLength))}});
        }
        ::RegCloseKey(key);
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.number < b.number; });
    std::vector<PortInfo> ports;
    for (Found& f : found) ports.push_back(std::move(f.info));
    return ports;
}

}  // namespace vbc::platform
