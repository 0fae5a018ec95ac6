// The POSIX termios backend and the machine's port list.
#include "platform/posix/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/jobstop.h"
#include "platform/posix/portlock.h"
#include "platform/serialsystem.h"
#include "platform/uniquefd.h"

namespace vbc::platform {
namespace {

namespace fs = std::filesystem;

struct RateCode {
    long rate;
    speed_t code;
};

constexpr RateCode kStandardRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool StandardCode(long rate, speed_t* code) {
    for (const RateCode& rc : kStandardRates) {
        if (rc.rate == rate) {
            *code = rc.code;
            return true;
        }
    }
    return false;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RemainingMs(std::int64_t deadline) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > kMaxComTimeoutMs ? kMaxComTimeoutMs : static_cast<int>(left);
}

std::int64_t DeadlineAfter(int timeoutMs) {
    return NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
}

constexpr short kFaultEvents = POLLHUP | POLLERR | POLLNVAL;

// The program sizes its output queue for a whole 64 KiB block: a write of that size is
// queued at once and drained while the operator interface keeps running. Drivers and
// pseudo-terminals take far less, so the rest waits here.
constexpr std::size_t kOutputQueueBytes = 65536;

// How long a close may spend sending what is still queued.
constexpr int kCloseDrainLimitMs = kDefaultComTimeoutMs;
// The drain before a retune looks at the queue at least this often.
constexpr int kRetuneDrainSliceMs = 100;
// A UART's own transmit FIFO (16550: 16, later ones 64 bytes): it still sends after the
// driver's queue reads empty.
constexpr long kUartFifoBytes = 64;
// However slow the rate, that wait ends after this long.
constexpr long kTransmitterWaitLimitMs = 1000;
// The rate an adapter runs at may differ from the one asked by this much (in %): beyond it the
// phone's UART no longer reads the bytes.
constexpr long kRateTolerancePct = 2;

class PosixSerialDevice : public SerialDevice {
  public:
    PosixSerialDevice(UniqueFd fd, std::string path, PortLock lock)
        : fd_(std::move(fd)), path_(std::move(path)), lock_(std::move(lock)) {}
    ~PosixSerialDevice() override {
        // Queued bytes were accepted by Write: give them a bounded chance to leave.
        PushUntil(0, std::min(timeoutMs_, kCloseDrainLimitMs), true);
        ::ioctl(fd_.Get(), TIOCNXCL);
    }
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    std::string Path() const override { return path_; }
    int SystemError() const override { return systemError_; }

    int Configure(const LineSettings& settings) override {
        // A running line is retuned only after what is queued, ours and the driver's, has left
        // at the old rate. That wait is ours and bounded: the kernel's own drain has no limit,
        // and an adapter that stops sending would hold the program in it for good.
        if (int r = DrainBeforeRetune(); r < 0) return r;
        WaitTransmitterIdle();
        return Apply(settings);
    }

    int SetDtr(bool on) override {
        int bits = TIOCM_DTR;
        if (::ioctl(fd_.Get(), on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
        // Pseudo-terminals and some bridges have no modem lines: nothing to drive there.
        if (errno == ENOTTY || errno == EINVAL || errno == ENOTSUP) return 0;
        return Fail(kComErrUnknown, errno);
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
        return ::tcflush(fd_.Get(), TCIFLUSH) == 0 ? 0 : Fail(kComErrUnknown, errno);
    }

    int FlushOutput() override {
        out_.clear();
        outHead_ = 0;
        return ::tcflush(fd_.Get(), TCOFLUSH) == 0 ? 0 : Fail(kComErrUnknown, errno);
    }

    int Write(const std::uint8_t* data, std::size_t count) override {
        if (count == 0) return 0;
        // Never drop bytes: a single write larger than the queue grows it.
        capacity_ = std::max(capacity_, count);
        // Only a full queue makes the caller wait, and only until the new bytes fit.
        if (int r = PushUntil(capacity_ - count, timeoutMs_, false); r < 0) return r;
        if (outHead_ > 0 && out_.size() + count > capacity_) {
            out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
            outHead_ = 0;
        }
        out_.insert(out_.end(), data, data + count);
        if (int r = Push(); r < 0) return r;
        return static_cast<int>(count);
    }

    int ReadByte(int timeoutMs) override {
        // A read that waits for the phone's answer also sends what the answer depends on.
        int pushed = Push();
        if (head_ < tail_) return buffer_[head_++];
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        int emptyWakeups = 0;
        for (;;) {
            int n = Fill();
            if (n > 0) return buffer_[head_++];
            if (n < 0) return n;
            if (pushed < 0) return pushed;
            int wait = RemainingMs(deadline);
            if (wait == 0) return Fail(kComTimeout, ETIMEDOUT);
            pollfd p{fd_.Get(), ReadEvents(), 0};
            int r = PollLine(&p, wait);
            if (r == kPollStopped) return Fail(kComErrStopped, ECANCELED);
            if (r < 0) {
                if (errno == EINTR) continue;
                return Fail(kComErrUnknown, errno);
            }
            if (r == 0) return Fail(kComTimeout, ETIMEDOUT);
            if (p.revents & POLLOUT) {
                pushed = Push();
                if (pushed > 0) continue;
            }
            if (p.revents & (POLLIN | POLLOUT)) {
                // A readiness that yields nothing again and again must not become a spin.
                if (++emptyWakeups > 16) ::poll(nullptr, 0, 1);
                continue;
            }
            if (p.revents & kFaultEvents) return Fail(kComErrUnknown, EIO);
        }
    }

    int InputQueueLength() override {
        const int pushed = Push();
        const int buffered = static_cast<int>(tail_ - head_);
        if (buffered == 0) {
            if (pushed < 0) return pushed;
            pollfd p{fd_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & kFaultEvents) && !(p.revents & POLLIN)) {
                return Fail(kComErrUnknown, EIO);
            }
        }
        int waiting = 0;
        if (::ioctl(fd_.Get(), FIONREAD, &waiting) != 0) return Fail(kComErrUnknown, errno);
        return buffered + waiting;
    }

    int OutputQueueLength() override {
        if (int r = Push(); r < 0) return r;
        return QueuedTotal();
    }

    int WaitInput(int timeoutMs) override {
        int pushed = Push();
        if (head_ < tail_) return 1;
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        int emptyWakeups = 0;
        for (;;) {
            if (pushed < 0) {
                // A byte that made it in before the line failed is still worth reading.
                int n = Fill();
                return n > 0 ? 1 : pushed;
            }
            pollfd p{fd_.Get(), ReadEvents(), 0};
            int r = PollLine(&p, RemainingMs(deadline));
            if (r == kPollStopped) return Fail(kComErrStopped, ECANCELED);
            if (r < 0) {
                if (errno == EINTR) continue;
                return Fail(kComErrUnknown, errno);
            }
            if (r == 0) return 0;
            if (p.revents & POLLOUT) {
                pushed = Push();
                if (p.revents & POLLIN) return 1;
                if (pushed != 0) continue;
                if (++emptyWakeups > 16) ::poll(nullptr, 0, 1);
                continue;
            }
            if (p.revents & kFaultEvents) {
                // A hung-up terminal also reports itself readable: only a byte says it is.
                int n = Fill();
                if (n > 0) return 1;
                if (n < 0) return n;
                return Fail(kComErrUnknown, EIO);
            }
            if (p.revents & POLLIN) return 1;
        }
    }

    int WaitOutputEmpty(int timeoutMs) override {
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        int emptyWakeups = 0;
        for (;;) {
            int queued = OutputQueueLength();
            if (queued <= 0) return queued;
            int left = RemainingMs(deadline);
            if (left == 0) return queued;
            if (Pending() > 0) {
                // Ours to send: wake as soon as the driver takes more.
                pollfd p{fd_.Get(), POLLOUT, 0};
                int r = PollLine(&p, left);
                if (r == kPollStopped) return Fail(kComErrStopped, ECANCELED);
                if (r < 0 && errno != EINTR) return Fail(kComErrUnknown, errno);
                if (r > 0 && (p.revents & kFaultEvents) && !(p.revents & POLLOUT)) {
                    return Fail(kComErrUnknown, EIO);
                }
                if (r > 0 && (p.revents & POLLOUT)) {
                    int pushed = Push();
                    if (pushed < 0) return pushed;
                    if (pushed == 0 && ++emptyWakeups > 16) ::poll(nullptr, 0, 1);
                }
                continue;
            }
            // Sleep about as long as the queue takes to leave; a hang-up wakes the poll.
            const long bitsPerByte =
                1 + settings_.dataBits + (settings_.parity != kParityNone) + settings_.stopBits;
            long ms = static_cast<long>(queued) * bitsPerByte * 1000 / settings_.baudRate;
            ms = std::clamp<long>(ms, 1, left);
            pollfd p{fd_.Get(), 0, 0};
            int r = PollLine(&p, static_cast<int>(ms));
            if (r == kPollStopped) return Fail(kComErrStopped, ECANCELED);
            if (r < 0 && errno != EINTR) return Fail(kComErrUnknown, errno);
            if (r > 0 && (p.revents & kFaultEvents)) return Fail(kComErrUnknown, EIO);
        }
    }

    // Puts the line in raw mode with the settings, at once (the caller has drained it).
    int Apply(const LineSettings& s) {
        termios t{};
        if (::tcgetattr(fd_.Get(), &t) != 0) return Fail(kComErrUnknown, errno);
        if (int r = detail::MakeRaw(s, cts_, xon_, &t); r != 0) return Fail(r, EINVAL);

        speed_t code;
        int r;
        int error = 0;
        if (StandardCode(s.baudRate, &code)) {
            if (::cfsetspeed(&t, code) != 0) return Fail(kComErrInvalidParameter, EINVAL);
            r = ::tcsetattr(fd_.Get(), TCSANOW, &t);
            error = errno;
            // The C library re-reads the settings and calls a dropped parity bit a failure:
            // a pseudo-terminal (the simulator, bridges) carries no parity; the rest applied.
            if (r != 0 && error == EINVAL && (t.c_cflag & PARENB)) {
                termios now{};
                if (::tcgetattr(fd_.Get(), &now) == 0 && !(now.c_cflag & PARENB) &&
                    ::cfgetospeed(&now) == code)
                    r = 0;
            }
        } else {
            if (s.baudRate <= 0 || s.baudRate > 0x7FFFFFFFL) {
                return Fail(kComErrInvalidParameter, EINVAL);
            }
            r = detail::ApplyArbitraryRate(fd_.Get(), t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag,
                                           t.c_cc[VMIN], t.c_cc[VTIME],
                                           static_cast<std::uint32_t>(s.baudRate));
            error = errno;
        }
        if (r != 0) return Fail(kComErrCannotOpen, error);
        // Some adapters take a rate they cannot make and keep another: the line must run at
        // what the phone runs at, within what two UARTs tolerate between them.
        const long actual = detail::ReadArbitraryRate(fd_.Get());
        if (actual > 0 && std::abs(actual - s.baudRate) * 100 > s.baudRate * kRateTolerancePct) {
            return Fail(kComErrCannotOpen, EINVAL);
        }
        settings_ = s;
        return 0;
    }

  private:
    // The driver's queue is empty, but the UART may still be sending its FIFO and the last
    // byte: where the driver tells (TIOCSERGETLSR), until the transmitter is empty, otherwise
    // for the time a full FIFO takes at the current rate. Short either way, and bounded.
    void WaitTransmitterIdle() {
        if (!sentSinceRetune_) return;
        sentSinceRetune_ = false;
        const long bitsPerByte =
            1 + settings_.dataBits + (settings_.parity != kParityNone) + settings_.stopBits;
        const long fifoMs = kUartFifoBytes * bitsPerByte * 1000 / settings_.baudRate + 1;
        const std::int64_t deadline =
            DeadlineAfter(static_cast<int>(std::min(fifoMs, kTransmitterWaitLimitMs)));
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
        for (;;) {
            unsigned int lsr = 0;
            if (::ioctl(fd_.Get(), TIOCSERGETLSR, &lsr) != 0) break;  // the driver cannot tell
            if ((lsr & TIOCSER_TEMT) || RemainingMs(deadline) == 0) return;
            ::poll(nullptr, 0, 1);
        }
#endif
        if (const int ms = RemainingMs(deadline); ms > 0) ::poll(nullptr, 0, ms);
    }

    // poll() on the line and on the job's stop request: kPollStopped when the job must stop
    // (a request that comes while the line waits wakes it at once), else poll's result.
    static constexpr int kPollStopped = -2;
    static int PollLine(pollfd* line, int timeoutMs) {
        const std::int64_t deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            if (JobStopRequested()) return kPollStopped;
            pollfd p[2] = {*line, {JobStopWakeFd(), POLLIN, 0}};
            const int r = ::poll(p, p[1].fd >= 0 ? 2 : 1, RemainingMs(deadline));
            if (JobStopRequested()) return kPollStopped;
            line->revents = p[0].revents;
            if (r <= 0 || p[0].revents != 0) return r > 0 ? 1 : r;
            // Woken by a request that was withdrawn meanwhile: wait on.
            DrainStaleJobStopWake();
        }
    }

    // Keeps the system's reason for a failure and returns its code.
    int Fail(int code, int systemError) {
        systemError_ = systemError;
        return code;
    }

    // Waits until everything queued, ours and the driver's, has left. Bounded like a stalled
    // write: the port's time-out without the queue shrinking ends it with kComTimeout.
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
                return Fail(kComTimeout, ETIMEDOUT);
            }
        }
    }

    std::size_t Pending() const {
        return out_.size() - outHead_;
    }

    // Bytes not yet on the line: ours and the driver's.
    int QueuedTotal() {
        int driver = 0;
        if (::ioctl(fd_.Get(), TIOCOUTQ, &driver) != 0) return Fail(kComErrUnknown, errno);
        const std::size_t total = Pending() + static_cast<std::size_t>(std::max(driver, 0));
        return total > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(total);
    }

    short ReadEvents() const {
        return static_cast<short>(POLLIN | (Pending() > 0 ? POLLOUT : 0));
    }

    // Hands the driver what it takes now, without waiting: the bytes moved (capped at
    // INT32_MAX), or a negative code when the device failed or hung up.
    int Push() {
        std::size_t moved = 0;
        while (Pending() > 0) {
            ssize_t n = ::write(fd_.Get(), out_.data() + outHead_, Pending());
            if (n > 0) {
                outHead_ += static_cast<std::size_t>(n);
                moved += static_cast<std::size_t>(n);
                sentSinceRetune_ = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            return Fail(kComErrUnknown, n < 0 ? errno : EIO);
        }
        if (Pending() == 0) {
            out_.clear();
            outHead_ = 0;
        }
        return moved > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(moved);
    }

    // Pushes, waiting on the driver, until at most `limit` bytes of ours are left. With
    // totalLimit the wait ends after limitMs in all; otherwise limitMs bounds a stall (a long
    // queue at a low rate keeps moving and must not fail). 0, kComTimeout or a fault code.
    int PushUntil(std::size_t limit, int limitMs, bool totalLimit) {
        std::int64_t deadline = DeadlineAfter(limitMs);
        int emptyWakeups = 0;
        for (;;) {
            int pushed = Push();
            if (pushed < 0) return pushed;
            if (Pending() <= limit) return 0;
            if (pushed > 0) {
                emptyWakeups = 0;
                if (!totalLimit) deadline = DeadlineAfter(limitMs);
            }
            int wait = RemainingMs(deadline);
            if (wait == 0) return Fail(kComTimeout, ETIMEDOUT);
            pollfd p{fd_.Get(), POLLOUT, 0};
            int r = PollLine(&p, wait);
            if (r == kPollStopped) return Fail(kComErrStopped, ECANCELED);
            if (r < 0 && errno != EINTR) return Fail(kComErrUnknown, errno);
            if (r > 0 && (p.revents & kFaultEvents) && !(p.revents & POLLOUT)) {
                return Fail(kComErrUnknown, EIO);
            }
            // Writable, and yet the write took nothing: again and again, that must not become
            // a spin.
            if (r > 0 && pushed == 0 && ++emptyWakeups > 16) ::poll(nullptr, 0, 1);
        }
    }

    // Reads what the driver holds into the buffer: the count, 0 when nothing is waiting, a
    // negative code when the device failed or hung up.
    int Fill() {
        for (;;) {
            ssize_t n = ::read(fd_.Get(), buffer_.data(), buffer_.size());
            if (n > 0) {
                head_ = 0;
                tail_ = static_cast<std::size_t>(n);
                return static_cast<int>(n);
            }
            // With VMIN 1 an end of file is a hang-up (the other side went away).
            if (n == 0) return Fail(kComErrUnknown, EIO);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return Fail(kComErrUnknown, errno);
        }
    }

    UniqueFd fd_;
    std::string path_;
    PortLock lock_;  // its lock file goes when the device does
    // The system's reason for the last failure (ETIMEDOUT for a time-out, EIO for a hang-up).
    int systemError_ = 0;
    // Bytes went to the driver since the last change of rate (the next one waits for them).
    bool sentSinceRetune_ = false;
    LineSettings settings_;
    bool cts_ = false;
    bool xon_ = false;
    int timeoutMs_ = kDefaultComTimeoutMs;
    // Bytes read from the driver and not yet handed out (one read serves many ReadByte).
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    // Bytes accepted by Write and not yet handed to the driver: out_[outHead_..].
    std::vector<std::uint8_t> out_;
    std::size_t outHead_ = 0;
    std::size_t capacity_ = kOutputQueueBytes;
};

// ---- port list ----

std::string ReadLine(const fs::path& p) {
    std::ifstream f(p);
    std::string s;
    if (!f || !std::getline(f, s)) return {};
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

int GroupRank(std::string_view prefix) {
    if (prefix == "ttyS") return 0;
    if (prefix == "ttyUSB") return 1;
    if (prefix == "ttyACM") return 2;
    if (prefix == "ttyAMA") return 3;
    return 4;
}

struct Candidate {
    int rank;
    std::string prefix;
    long number;
    PortInfo info;
};

// Splits "ttyUSB12" into "ttyUSB" and 12 (-1 without a number).
void SplitName(const std::string& name, std::string* prefix, long* number) {
    std::size_t i = name.size();
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
    *prefix = name.substr(0, i);
    *number = -1;
    if (i < name.size() && name.size() - i < 9) *number = std::stol(name.substr(i));
}

// A UART slot that a driver reserved but no hardware answers has type 0 (unknown).
bool UartPresent(const fs::path& sysEntry, const fs::path& devNode) {
    std::string type = ReadLine(sysEntry / "type");
    if (!type.empty()) return type != "0";
#if defined(__linux__)
    UniqueFd fd(::open(devNode.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return false;
    serial_struct ss{};
    return ::ioctl(fd.Get(), TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
#else
    (void)devNode;
    return true;
#endif
}

std::string Describe(const fs::path& sysEntry) {
    std::error_code ec;
    fs::path dev = fs::canonical(sysEntry / "device", ec);
    if (!ec) {
        // USB adapters: the USB device (the one with idVendor) is a few levels up.
        fs::path p = dev;
        for (int level = 0; level < 6 && !p.empty() && p != p.root_path(); ++level) {
            if (fs::exists(p / "idVendor", ec)) {
                std::string vendor = ReadLine(p / "manufacturer");
                std::string product = ReadLine(p / "product");
                std::string d = vendor;
                if (!product.empty()) d += (d.empty() ? "" : " ") + product;
                if (d.empty())
                    d = "USB " + ReadLine(p / "idVendor") + ":" + ReadLine(p / "idProduct");
                return d;
            }
            p = p.parent_path();
        }
    }
    fs::path driver = fs::read_symlink(sysEntry / "device" / "driver", ec);
    if (!ec && !driver.filename().empty()) return driver.filename().string();
    return "serial";
}

}  // namespace

namespace detail {
bool IsStandardRate(long baudRate) {
    speed_t code;
    return StandardCode(baudRate, &code);
}

int MakeRaw(const LineSettings& settings, bool cts, bool xon, termios* t) {
    ::cfmakeraw(t);
    t->c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (xon) t->c_iflag |= IXON | IXOFF;
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t->c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    t->c_cflag |= CLOCAL | CREAD;
    switch (settings.dataBits) {
        case 5:
            t->c_cflag |= CS5;
            break;
        case 6:
            t->c_cflag |= CS6;
            break;
        case 7:
            t->c_cflag |= CS7;
            break;
        case 8:
            t->c_cflag |= CS8;
            break;
        default:
            return kComErrInvalidParameter;
    }
    switch (settings.parity) {
        case kParityNone:
            break;
        case 1:  // odd
            t->c_cflag |= PARENB | PARODD;
            break;
        case kParityEven:
            t->c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case 3:  // mark
            t->c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:  // space
            t->c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            return kComErrInvalidParameter;
    }
    if (settings.stopBits == 2) {
        t->c_cflag |= CSTOPB;
    } else if (settings.stopBits != 1) {
        return kComErrInvalidParameter;
    }
    if (cts) t->c_cflag |= CRTSCTS;
    // VMIN 1 with a non-blocking descriptor: no data reads as EAGAIN, a hang-up as 0.
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    return 0;
}
}  // namespace detail

std::unique_ptr<SerialDevice> OpenPosixSerial(const std::string& path, const LineSettings& settings,
                                              int* error) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        *error = kComErrCannotOpen;
        return nullptr;
    }
    termios probe{};
    if (::tcgetattr(fd.Get(), &probe) != 0) {  // not a terminal
        *error = kComErrCannotOpen;
        return nullptr;  // errno is the reason: the descriptor's close keeps it
    }
    // Before anything touches the line: a port another process holds is left exactly as it
    // is (no flush, no settings, no modem lines).
    PortLock lock;
    PortHolder holder;
    if (!lock.Acquire(fd.Get(), path, &holder)) {
        *error = kComErrCannotOpen;
        return nullptr;  // errno is the reason (EBUSY when held)
    }
    // Nobody else may open the line while a job runs on it (root is kept out by the lock).
    ::ioctl(fd.Get(), TIOCEXCL);
    const int raw = fd.Get();
    auto device = std::make_unique<PosixSerialDevice>(std::move(fd), path, std::move(lock));
    int r = device->Apply(settings);
    if (r != 0) {
        *error = r == kComErrInvalidParameter ? r : kComErrCannotOpen;
        const int reason = device->SystemError();
        device.reset();
        errno = reason;
        return nullptr;
    }
    ::tcflush(raw, TCIOFLUSH);
    return device;
}

std::unique_ptr<SerialDevice> PosixSerialProvider::Open(int /*port*/, const std::string& deviceName,
                                                        const LineSettings& settings, int* error) {
    return OpenPosixSerial(ResolvePortName(deviceName), settings, error);
}

SerialProvider& PosixProvider() {
    static PosixSerialProvider provider;
    return provider;
}

std::vector<PortInfo> ListSerialPortsIn(const std::string& sysClassTtyDir,
                                        const std::string& devDir) {
    std::vector<Candidate> found;
    std::error_code ec;
    for (fs::directory_iterator it(sysClassTtyDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const fs::path entry = it->path();
        std::error_code e2;
        // Virtual consoles, pseudo-terminals and the like have no device behind them.
        if (!fs::exists(entry / "device", e2)) continue;
        std::string prefix;
        long number;
        SplitName(name, &prefix, &number);
        const fs::path node = fs::path(devDir) / name;
        if ((prefix == "ttyS" || fs::exists(entry / "type", e2)) && !UartPresent(entry, node)) {
            continue;
        }
        found.push_back({GroupRank(prefix), prefix, number, {node.string(), Describe(entry)}});
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (a.number != b.number) return a.number < b.number;
        return a.info.path < b.info.path;
    });
    std::vector<PortInfo> ports;
    ports.reserve(found.size());
    for (Candidate& c : found) ports.push_back(std::move(c.info));
    return ports;
}

std::vector<PortInfo> ListSerialPorts() {
    return ListSerialPortsIn("/sys/class/tty", "/dev");
}

SerialProvider& SystemSerialProvider() {
    return PosixProvider();
}

std::string SystemComDevice(int n, const std::string& deviceName) {
    // lstat: a dangling link still shows the operator's intent; its open fails plainly rather
    // than silently falling through to another port.
    struct stat st;
    if (::lstat(deviceName.c_str(), &st) == 0) return deviceName;
    std::vector<PortInfo> ports = ListSerialPorts();
    if (static_cast<std::size_t>(n) <= ports.size()) {
        return ports[static_cast<std::size_t>(n) - 1].path;
    }
    return deviceName;
}

std::string SystemErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r: thread-safe, and the text may not be in buffer.
    return ::strerror_r(error, buffer, sizeof buffer);
}

std::string SystemExplainOpenFailure(const std::string& com, const std::string& deviceName,
                                     int error) {
    const std::string path = ResolvePortName(deviceName);
    // The device itself, not the link that names it ("COM1" in the working directory).
    std::string shown = path;
    if (char real[PATH_MAX]; ::realpath(path.c_str(), real)) shown = real;
    const std::string where = shown == com ? com : com + " (" + shown + ")";
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV: {
            std::string line = where + ": no such device; ";
            const auto ports = ListSerialPorts();
            if (ports.empty()) return line + "this machine has no serial ports";
            line += "the serial ports here:";
            for (std::size_t i = 0; i < ports.size(); ++i) {
                line += (i ? ", COM" : " COM") + std::to_string(i + 1) + " (" + ports[i].path + ")";
            }
            return line;
        }
        case EACCES:
        case EPERM: {
            const std::string group = DeviceGroup(path);
            if (group.empty()) return where + ": permission denied";
            return where + ": permission denied; the device belongs to group " + group +
                   ": add the user to it (sudo usermod -aG " + group + " USER) and log in again";
        }
        case EBUSY: {
            const PortHolder h = FindPortHolder(path);
            std::string who = "another program holds the port";
            if (h.pid > 0) {
                who += " (PID " + std::to_string(h.pid) +
                       (h.program.empty() ? "" : ", " + h.program) + ")";
            }
            return where + ": busy; " + who + ": wait until it ends or stop it";
        }
        case 0:
            return where + ": cannot be opened";
        default:
            return where + ": cannot be opened: " + SystemErrorText(error);
    }
}

}  // namespace vbc::platform
