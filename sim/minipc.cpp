#include "sim/minipc.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sim/phone.h"
#include "sim/trace.h"

namespace vbc::sim {
namespace {

speed_t SpeedCode(long rate) {
    switch (rate) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

MiniPc::~MiniPc() {
    Close();
}

bool MiniPc::Open(const std::string& path, std::string* error) {
    Close();
    fd_.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd_.Valid()) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!SetLine(38400, true)) {
        if (error) *error = "cannot set up " + path;
        Close();
        return false;
    }
    ::tcflush(fd_.Get(), TCIOFLUSH);
    return true;
}

void MiniPc::Close() {
    fd_.Reset();
}

bool MiniPc::SetLine(long rate, bool evenParity) {
    const speed_t code = SpeedCode(rate);
    struct termios t {};
    if (code == B0 || ::tcgetattr(fd_.Get(), &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (evenParity) {
        t.c_cflag |= PARENB;
        t.c_cflag &= ~PARODD;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, code);
    ::cfsetospeed(&t, code);
    if (::tcsetattr(fd_.Get(), TCSANOW, &t) == 0) return true;
    // A pseudo-terminal carries no parity: the C library reports the dropped bit as an error.
    t.c_cflag &= ~PARENB;
    return evenParity && ::tcsetattr(fd_.Get(), TCSANOW, &t) == 0;
}

bool MiniPc::Send(const std::vector<std::uint8_t>& bytes) {
    return Send(bytes.data(), bytes.size());
}

bool MiniPc::Send(std::initializer_list<std::uint8_t> bytes) {
    return Send(bytes.begin(), bytes.size());
}

bool MiniPc::Send(const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd_.Get(), data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

int MiniPc::ReadByte(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint8_t b = 0;
        const ssize_t n = ::read(fd_.Get(), &b, 1);
        if (n == 1) return b;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return kGone;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return kTimeout;
        struct pollfd p {
            fd_.Get(), POLLIN, 0
        };
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        // A read found nothing just before: a hang-up now means the other end is gone.
        if (r > 0 && (p.revents & (POLLHUP | POLLERR))) return kGone;
    }
}

bool MiniPc::Expect(std::uint8_t byte, const char* what, std::string* error) {
    const int v = ReadByte(timeoutMs);
    if (v == byte) return true;
    if (error) {
        *error = v == kTimeout ? Format("%s: no answer", what)
                 : v == kGone  ? Format("%s: the line is gone", what)
                               : Format("%s: 0x%02X instead of 0x%02X", what, v, byte);
    }
    return false;
}

std::vector<std::uint8_t> MiniPc::BootFrames(int productType, const std::vector<std::uint8_t>& spm,
                                             const std::uint8_t ws[4]) {
    std::vector<std::uint8_t> out;
    if (productType == 1) {
        out = {0xC6, static_cast<std::uint8_t>(0x80 + (ws[0] & 7)),
               0x96, static_cast<std::uint8_t>(ws[1] & 7),
               0xC7, static_cast<std::uint8_t>(ws[2] & 7),
               0xD7, static_cast<std::uint8_t>(0x80 + (ws[3] & 7))};
    } else {
        out = {0x86, 0x42, 0x56, 0x02, 0x07, 0x00, 0x07, 0x80, 0x00, 0x03};
        Put32(out, 0xFFFF8003);
        out.insert(out.end(), {0x40, 0x00, 0x70});
    }
    out.insert(out.end(), {0x00, 0x03});
    Put32(out, 0);
    if (!spm.empty() && spm.size() <= 8191) {
        const std::size_t h = 0x4000 + spm.size() - 1;
        out.push_back(static_cast<std::uint8_t>(h >> 8));
        out.push_back(static_cast<std::uint8_t>(h));
        out.insert(out.end(), spm.begin(), spm.end());
    }
    out.insert(out.end(), {0x00, 0x03});
    Put32(out, 0);
    out.insert(out.end(), {0x60, 0x00});
    return out;
}

bool MiniPc::Boot(int productType, const std::vector<std::uint8_t>& spm,
                  const std::uint8_t waitStates[4], BootInfo* info, std::string* error) {
    int v;
    while ((v = ReadByte(timeoutMs)) != 0xBE) {
        if (v < 0) {
            if (error) *error = "the boot loader does not announce itself";
            return false;
        }
    }
    if (!Send({0x44}) || !Send(BootFrames(productType, spm, waitStates))) {
        if (error) *error = "cannot send the bootstrap";
        return false;
    }
    // Announcements sent before the 0x44 arrived may still be queued.
    while ((v = ReadByte(timeoutMs)) != 0x44) {
        if (v < 0) {
            if (error) *error = "no acknowledgement from the bootstrap";
            return false;
        }
    }
    BootInfo got;
    if (!Expect(0xA0, "version", error)) return false;
    const int major = ReadByte(timeoutMs), minor = ReadByte(timeoutMs);
    if (!Expect(0xC2, "identification", error)) return false;
    const int man = ReadByte(timeoutMs), dev = ReadByte(timeoutMs);
    if (major < 0 || minor < 0 || man < 0 || dev < 0) {
        if (error) *error = "incomplete version or identification";
        return false;
    }
    got.major = static_cast<std::uint8_t>(major);
    got.minor = static_cast<std::uint8_t>(minor);
    got.manufacturer = static_cast<std::uint8_t>(man);
    got.device = static_cast<std::uint8_t>(dev);
    if (HasExtensionByte(got.manufacturer, got.device)) {
        got.extension = ReadByte(timeoutMs);
        if (got.extension < 0) {
            if (error) *error = "no extension byte";
            return false;
        }
    }
    if (info) *info = got;
    return true;
}

bool MiniPc::ChangeSpeed(const std::uint8_t params[3], long pcRate, std::string* error) {
    if (!Send({0xE0}) || !Expect(0xC0, "change speed", error)) return false;
    const unsigned sum = params[0] + params[1] + params[2];
    if (!Send({params[0], params[1], params[2], static_cast<std::uint8_t>(sum >> 8),
               static_cast<std::uint8_t>(sum)}) ||
        !Expect(0xC3, "speed parameters", error) || !Expect(0x00, "speed verdict", error))
        return false;
    ::tcdrain(fd_.Get());
    if (!SetLine(pcRate, false)) {
        if (error) *error = Format("cannot set %ld bit/s", pcRate);
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (!Send({0xE9})) break;
        if (ReadByte(timeoutMs) == 0xCA) return true;
    }
    if (error) *error = "no answer to speed control";
    return false;
}

bool MiniPc::DownloadSector(std::uint32_t address, std::uint32_t size, const std::uint8_t* data,
                            std::uint32_t length, std::uint8_t* answer, std::uint32_t* phoneSum,
                            std::string* error) {
    std::vector<std::uint8_t> cmd = {0xEA};
    Put32(cmd, size);
    Put32(cmd, address);
    Put32(cmd, length);
    if (!Send(cmd) || !Expect(0xCB, "download sector", error)) return false;
    if (!Send(data, length)) {
        if (error) *error = "cannot send the data";
        return false;
    }
    const int a = ReadByte(timeoutMs);
    if (a < 0) {
        if (error) *error = "no answer after the data";
        return false;
    }
    *answer = static_cast<std::uint8_t>(a);
    *phoneSum = 0;
    const int count = a == 0xCC ? 4 : a == 0xCD ? 1 : 0;
    for (int i = 0; i < count; ++i) {
        const int b = ReadByte(timeoutMs);
        if (b < 0) {
            if (error) *error = "incomplete answer after the data";
            return false;
        }
        *phoneSum |= static_cast<std::uint32_t>(b) << (8 * i);
    }
    return true;
}

bool MiniPc::SwitchOff(std::string* error) {
    return Send({0xE8}) && Expect(0xC0, "switch off", error);
}

}  // namespace vbc::sim
