// The RS-232 operations by port number: on the scripted line (exact results, time-outs on the
// manual clock) and on a real pseudo-terminal (line settings, raw bytes, time-out, hang-up).
//
// The kernel's termios2 is read here to check arbitrary rates, so <termios.h> stays out.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/serial.h"
#include "platform/serial.h"
#include "platform/uniquefd.h"
#include "testing/scriptedserial.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using platform::Bytes;
using platform::ScriptedLine;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Dispatch

TEST(SerialDispatch, PortOutOfRangeOrNotOpen) {
    ScriptedLine line;
    std::uint8_t buf[4] = {};
    struct Case {
        int port;
        int expected;
    };
    for (Case c :
         {Case{0, kComErrInvalidPort}, Case{256, kComErrInvalidPort}, Case{-1, kComErrInvalidPort},
          Case{1, kComErrNotOpen}, Case{255, kComErrNotOpen}}) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(CloseCom(c.port), c.expected);
        EXPECT_EQ(SetCTSMode(c.port, 0), c.expected);
        EXPECT_EQ(SetXMode(c.port, 0), c.expected);
        EXPECT_EQ(FlushInQ(c.port), c.expected);
        EXPECT_EQ(FlushOutQ(c.port), c.expected);
        EXPECT_EQ(ComSetEscape(c.port, kEscapeClearDtr), c.expected);
        EXPECT_EQ(SetComTime(c.port, 5.0), c.expected);
        EXPECT_EQ(ComWrtByte(c.port, 0x44), c.expected);
        EXPECT_EQ(ComWrt(c.port, buf, 4), c.expected);
        EXPECT_EQ(ComRdByte(c.port), c.expected);
        EXPECT_EQ(ComRd(c.port, buf, 4), c.expected);
        EXPECT_EQ(GetInQLen(c.port), c.expected);
        EXPECT_EQ(GetOutQLen(c.port), c.expected);
        EXPECT_EQ(WaitInQ(c.port, 10), c.expected);
        EXPECT_EQ(WaitOutQEmpty(c.port, 10), c.expected);
    }
    EXPECT_EQ(OpenComConfig(0, "COM0", 38400, 2, 8, 1, 65536, 65536), kComErrInvalidPort);
    EXPECT_EQ(OpenComConfig(256, "COM256", 38400, 2, 8, 1, 65536, 65536), kComErrInvalidPort);
    EXPECT_TRUE(line.Events().empty());
    EXPECT_TRUE(line.Sent().empty());
}

TEST(SerialDispatch, OpenRefusesSettingsThatMakeNoSense) {
    ScriptedLine line;
    struct Case {
        long rate;
        int parity, dataBits, stopBits;
    };
    for (Case c :
         {Case{0, 0, 8, 1}, Case{-38400, 0, 8, 1}, Case{38400, 5, 8, 1}, Case{38400, -1, 8, 1},
          Case{38400, 0, 9, 1}, Case{38400, 0, 4, 1}, Case{38400, 0, 8, 0}, Case{38400, 0, 8, 3}}) {
        EXPECT_EQ(OpenComConfig(1, "COM1", c.rate, c.parity, c.dataBits, c.stopBits, 65536, 65536),
                  kComErrInvalidParameter);
    }
    EXPECT_TRUE(line.Opens().empty());
}

TEST(SerialDispatch, OpenFailureLeavesThePortClosed) {
    ScriptedLine line;
    line.SetOpenError(kComErrCannotOpen);
    EXPECT_EQ(OpenComConfig(2, "COM2", 38400, 2, 8, 1, 65536, 65536), kComErrCannotOpen);
    EXPECT_EQ(ComRdByte(2), kComErrNotOpen);
    line.SetOpenError(0);
    EXPECT_EQ(OpenComConfig(2, "COM2", 38400, 2, 8, 1, 65536, 65536), 0);
    EXPECT_EQ(line.Opens().at(0).deviceName, "COM2");
    EXPECT_EQ(line.Opens().at(0).port, 2);
}

TEST(SerialDispatch, ReopenRetunesTheOpenDeviceWithoutClosing) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, kParityEven, 8, 1, 65536, 65536), 0);
    line.Send("55");
    ASSERT_EQ(OpenComConfig(1, "COM1", 115200, kParityNone, 8, 1, 65536, 65536), 0);
    EXPECT_EQ(line.Closes(), 0);
    EXPECT_EQ(line.Events(), (std::vector<std::string>{"open COM1 38400 even 8 1",
                                                       "configure COM1 115200 none 8 1"}));
    EXPECT_TRUE(line.Opens().at(1).reopen);
    EXPECT_EQ(line.Opens().at(1).port, 1);
    EXPECT_EQ(line.Settings().baudRate, 115200);
    EXPECT_EQ(ComRdByte(1), 0x55);  // nothing received was lost by the reopen
    // Another device on the same port number replaces the first one.
    ASSERT_EQ(OpenComConfig(1, "/dev/other", 38400, kParityNone, 8, 1, 65536, 65536), 0);
    EXPECT_EQ(line.Closes(), 1);
    EXPECT_EQ(line.Opens().back().deviceName, "/dev/other");
}

TEST(SerialDispatch, LastSystemErrorSaysWhyTheLastOperationFailed) {
    ScriptedLine line;
    EXPECT_EQ(ComLastSystemError(0), 0);
    EXPECT_EQ(ComLastSystemErrorText(1), "");
    // A refused open keeps its reason; the port stays closed.
    line.SetOpenError(kComErrCannotOpen, EBUSY);
    EXPECT_EQ(OpenComConfig(1, "COM1", 38400, kParityEven, 8, 1, 65536, 65536), kComErrCannotOpen);
    EXPECT_EQ(ComLastSystemError(1), EBUSY);
    EXPECT_EQ(ComLastSystemErrorText(1), "Device or resource busy");
    EXPECT_EQ(ComDevicePath(1), "");
    // An open starts afresh.
    line.SetOpenError(0);
    line.SetDevicePath("/dev/ttyUSB0");
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, kParityEven, 8, 1, 65536, 65536), 0);
    EXPECT_EQ(ComLastSystemError(1), 0);
    EXPECT_EQ(ComDevicePath(1), "/dev/ttyUSB0");
    // A refused reopen leaves the port open at its old settings.
    line.SetReopenError(kComErrCannotOpen, EINVAL);
    EXPECT_EQ(OpenComConfig(1, "COM1", 302325, kParityNone, 8, 1, 65536, 65536), kComErrCannotOpen);
    EXPECT_EQ(ComLastSystemError(1), EINVAL);
    EXPECT_EQ(ComLastSystemErrorText(1), "Invalid argument");
    EXPECT_EQ(line.Events().back(), "configure failed COM1 302325 none 8 1");
    EXPECT_EQ(line.Settings().baudRate, 38400);
    EXPECT_EQ(line.Closes(), 0);
    // A time-out, then a line that went away.
    EXPECT_EQ(ComRdByte(1), kComTimeout);
    EXPECT_EQ(ComLastSystemError(1), ETIMEDOUT);
    line.Drop();
    EXPECT_EQ(ComWrtByte(1, 0x00), kComErrUnknown);
    EXPECT_EQ(ComLastSystemError(1), EIO);
    ASSERT_EQ(CloseCom(1), 0);
    EXPECT_EQ(ComLastSystemError(1), 0);
}

TEST(SerialDispatch, ReadTimeOutIsMinus99AndTakesThePortTimeOut) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    const std::int64_t t0 = line.Clock().NowMs();
    EXPECT_EQ(ComRdByte(1), kComTimeout);  // default 10 s
    EXPECT_EQ(line.Clock().NowMs() - t0, 10'000);
    ASSERT_EQ(SetComTime(1, 5.0), 0);
    EXPECT_EQ(ComRdByte(1), kComTimeout);
    EXPECT_EQ(line.Clock().NowMs() - t0, 15'000);
    EXPECT_EQ(line.TimeoutsFired(), 2);
    EXPECT_EQ(ComRdByte(1) & 0xFF, 0x9D);  // what the 8-bit callers see
}

TEST(SerialDispatch, ComTimeClampsHugeValuesAndRefusesNegativeOnes) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    struct Case {
        double seconds;
        int result;
        int timeoutMs;
    };
    for (Case c : {Case{0.0, 0, 0}, Case{0.25, 0, 250}, Case{10.0, 0, 10'000},
                   Case{2147483.647, 0, kMaxComTimeoutMs},
                   Case{static_cast<double>(0x80000001u), 0, kMaxComTimeoutMs},
                   Case{1e300, 0, kMaxComTimeoutMs}, Case{-1.0, kComErrInvalidParameter, -2},
                   Case{std::nan(""), kComErrInvalidParameter, -2}}) {
        SCOPED_TRACE(c.seconds);
        const int before = line.TimeoutMs();
        EXPECT_EQ(SetComTime(1, c.seconds), c.result);
        EXPECT_EQ(line.TimeoutMs(), c.timeoutMs == -2 ? before : c.timeoutMs);
    }
    ASSERT_EQ(SetComTime(1, 4294967295.0), 0);
    const std::int64_t t0 = line.Clock().NowMs();
    EXPECT_EQ(ComRdByte(1), kComTimeout);
    EXPECT_EQ(line.Clock().NowMs() - t0, kMaxComTimeoutMs);
}

TEST(SerialDispatch, WritesGoOutExactlyAndCountZeroSendsNothing) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    const std::vector<std::uint8_t> frame = Bytes("00 FF F9 01 F8");
    EXPECT_EQ(ComWrtByte(1, 0xE0), 1);
    EXPECT_EQ(ComWrtByte(1, 0x1E9), 1);  // only the low byte goes out
    EXPECT_EQ(ComWrt(1, frame.data(), 0), 0);
    EXPECT_EQ(ComWrt(1, nullptr, 0), 0);
    EXPECT_EQ(ComWrt(1, frame.data(), 5), 5);
    EXPECT_EQ(ComWrt(1, frame.data(), -1), kComErrInvalidParameter);
    EXPECT_EQ(ComWrt(1, nullptr, 3), kComErrInvalidParameter);
    EXPECT_EQ(line.Sent(), Bytes("E0 E9 00 FF F9 01 F8"));
    EXPECT_EQ(line.Events().back(), "write 5");
}

TEST(SerialDispatch, ComRdReadsWhatComesAndLeavesTheRestUntouched) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    ASSERT_EQ(SetComTime(1, 10.0), 0);
    std::uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    line.Send("10 02");
    EXPECT_EQ(ComRd(1, buf, 4), 2);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 4), Bytes("10 02 AA AA"));
    EXPECT_EQ(line.TimeoutsFired(), 1);
    line.Send("01 02 03 04 05");
    EXPECT_EQ(ComRd(1, buf, 4), 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 4), Bytes("01 02 03 04"));
    EXPECT_EQ(ComRdByte(1), 0x05);
    EXPECT_EQ(ComRd(1, buf, 0), 0);
}

TEST(SerialDispatch, DroppedLineIsAFaultNotATimeOut) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    line.Send("44");
    std::uint8_t buf[4] = {};
    std::uint8_t b = 1;
    line.Drop();
    EXPECT_EQ(ComRdByte(1), kComErrUnknown);
    EXPECT_EQ(ComRd(1, buf, 4), kComErrUnknown);
    EXPECT_EQ(GetInQLen(1), kComErrUnknown);
    EXPECT_EQ(GetOutQLen(1), kComErrUnknown);
    EXPECT_EQ(WaitInQ(1, 1000), kComErrUnknown);
    EXPECT_EQ(ComWrt(1, &b, 1), kComErrUnknown);
    EXPECT_EQ(line.TimeoutsFired(), 0);
    EXPECT_TRUE(line.Sent().empty());
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), kComErrCannotOpen);
}

TEST(SerialDispatch, EscapeDrivesDtrOnly) {
    ScriptedLine line;
    std::vector<bool> seen;
    line.OnDtr([&](ScriptedLine& l, bool on) {
        seen.push_back(on);
        if (on) l.Send("BE");
    });
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    EXPECT_EQ(ComSetEscape(1, kEscapeSetDtr), 0);
    EXPECT_TRUE(line.Dtr());
    EXPECT_EQ(ComRdByte(1), 0xBE);
    EXPECT_EQ(ComSetEscape(1, kEscapeClearDtr), 0);
    EXPECT_EQ(ComSetEscape(1, 7), kComErrInvalidParameter);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_EQ(line.DtrChanges(), seen);
}

// ---------------------------------------------------------------------------------------------
// Port names

TEST(SerialNames, BindingThenWorkingDirectoryLinkThenPortListThenTheName) {
    test::ScratchDir dir;
    platform::ClearPortBindings();
    const std::vector<platform::PortInfo> ports = platform::ListSerialPorts();

    fs::create_symlink("/dev/null", "COM7");
    EXPECT_EQ(platform::ResolvePortName("COM7"), "COM7");
    fs::create_symlink("/nonexistent/tty", "COM8");  // a dangling link still binds
    EXPECT_EQ(platform::ResolvePortName("COM8"), "COM8");
    test::WriteFile("COM9", "");
    EXPECT_EQ(platform::ResolvePortName("COM9"), "COM9");

    platform::BindPortDevice(7, "/dev/ttyUSB3");
    EXPECT_EQ(platform::ResolvePortName("COM7"), "/dev/ttyUSB3");
    platform::BindPortDevice(7, "");
    EXPECT_EQ(platform::ResolvePortName("COM7"), "COM7");
    platform::BindPortDevice(300, "/dev/x");  // out of range: ignored
    EXPECT_EQ(platform::ResolvePortName("COM300"), "COM300");

    for (const char* name :
         {"COM0", "COM01", "COM256", "com1", "COM", "COM1x", "/dev/ttyS0", "COM-1", "COM+1"}) {
        EXPECT_EQ(platform::ResolvePortName(name), name);
    }
    if (ports.empty()) {
        EXPECT_EQ(platform::ResolvePortName("COM1"), "COM1");
    } else {
        EXPECT_EQ(platform::ResolvePortName("COM1"), ports[0].path);
    }
    if (ports.size() < 200) {
        EXPECT_EQ(platform::ResolvePortName("COM200"), "COM200");
    }
    platform::ClearPortBindings();
}

// A fake sysfs: class/tty entries with device links, like the kernel lays them out.
TEST(SerialNames, PortListFindsRealPortsInAStableOrder) {
    test::ScratchDir dir;
    const fs::path root = dir.path();
    auto mk = [](const fs::path& p) { fs::create_directories(p); };
    auto tty = [&](const std::string& name, const fs::path& device) {
        mk(root / "class/tty" / name);
        if (!device.empty()) {
            mk(device);
            fs::create_symlink(device, root / "class/tty" / name / "device");
        }
    };
    const fs::path serialDrv = root / "bus/pnp/drivers/serial";
    mk(serialDrv);
    for (auto [name, type] :
         {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS10", "4"}, {"ttyS2", "14"}}) {
        const fs::path dev = root / "devices/pnp0" / name;
        tty(name, dev);
        fs::create_symlink(serialDrv, dev / "driver");
        test::WriteFile(root / "class/tty" / name / "type", std::string(type) + "\n");
    }
    // Two FTDI-like adapters and an ACM modem that names neither vendor nor product.
    const fs::path usb1 = root / "devices/usb1/1-1";
    const fs::path usb2 = root / "devices/usb1/1-2";
    const fs::path usb3 = root / "devices/usb1/1-3";
    for (const fs::path& u : {usb1, usb2, usb3}) mk(u);
    test::WriteFile(usb1 / "idVendor", "0403\n");
    test::WriteFile(usb1 / "manufacturer", "FTDI\n");
    test::WriteFile(usb1 / "product", "FT232R USB UART\n");
    test::WriteFile(usb2 / "idVendor", "067b\n");
    test::WriteFile(usb2 / "manufacturer", "Prolific Technology Inc.\n");
    test::WriteFile(usb2 / "product", "USB-Serial Controller\n");
    test::WriteFile(usb3 / "idVendor", "1234\n");
    test::WriteFile(usb3 / "idProduct", "5678\n");
    tty("ttyUSB1", usb1 / "1-1:1.0/ttyUSB1");
    tty("ttyUSB0", usb2 / "1-2:1.0/ttyUSB0");
    tty("ttyACM0", usb3 / "1-3:1.0");
    const fs::path amba = root / "devices/amba/uart0";
    tty("ttyAMA0", amba);
    fs::create_symlink(root / "bus/amba/drivers/uart-pl011", amba / "driver");
    mk(root / "bus/amba/drivers/uart-pl011");
    // Virtual terminals and the pty multiplexer have no device.
    tty("tty0", {});
    tty("ptmx", {});
    tty("console", {});

    const auto ports = platform::ListSerialPortsIn((root / "class/tty").string(), "/devroot");
    std::vector<std::string> got;
    for (const auto& p : ports) got.push_back(p.path + " = " + p.description);
    EXPECT_EQ(got, (std::vector<std::string>{
                       "/devroot/ttyS0 = serial",
                       "/devroot/ttyS2 = serial",
                       "/devroot/ttyS10 = serial",
                       "/devroot/ttyUSB0 = Prolific Technology Inc. USB-Serial Controller",
                       "/devroot/ttyUSB1 = FTDI FT232R USB UART",
                       "/devroot/ttyACM0 = USB 1234:5678",
                       "/devroot/ttyAMA0 = uart-pl011",
                   }));
    EXPECT_TRUE(platform::ListSerialPortsIn((root / "absent").string(), "/dev").empty());
}

// ---------------------------------------------------------------------------------------------
// Pseudo-terminal

// The phone's end of a pseudo-terminal, with "COM<port>" linked to the PC's end in a
// scratch directory.
class PtyPort {
  public:
    explicit PtyPort(int port) : port_(port) {
        master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0)
            std::abort();
        slave_ = ::ptsname(master_.Get());
        fs::create_symlink(slave_, "COM" + std::to_string(port));
    }
    ~PtyPort() {
        CloseCom(port_);
        CloseMaster();
    }
    void CloseMaster() { master_.Reset(); }
    void Write(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(master_.Get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads n bytes as they come (up to 5 s in all).
    std::vector<std::uint8_t> Read(std::size_t n) {
        std::vector<std::uint8_t> out;
        while (out.size() < n) {
            pollfd p{master_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            std::uint8_t buf[512];
            ssize_t r = ::read(master_.Get(), buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // The PC end's settings, as the master sees them.
    termios2 Settings() const {
        termios2 t{};
        EXPECT_EQ(::ioctl(master_.Get(), TCGETS2, &t), 0);
        return t;
    }
    const std::string& slave() const { return slave_; }

  private:
    int port_;
    platform::UniqueFd master_;
    std::string slave_;
};

int Open(int port, long rate, int parity) {
    return OpenComConfig(port, ("COM" + std::to_string(port)).c_str(), rate, parity, 8, 1, 65536,
                         65536);
}

TEST(SerialPty, OpensByComNumberAndRetunesTheOpenPort) {
    test::ScratchDir dir;
    PtyPort pty(3);
    ASSERT_EQ(Open(3, 38400, kParityEven), 0);
    // A pseudo-terminal keeps every setting but the parity, which it always clears (the
    // frame the parity gives is checked on the termios that is built, in posixserial_test).
    termios2 t = pty.Settings();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    EXPECT_EQ(t.c_ospeed, 38400u);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK));
    EXPECT_FALSE(t.c_oflag & OPOST);

    // A byte that waits in the queue survives the reopen: the port is not closed.
    pty.Write({0x7E});
    ASSERT_EQ(WaitInQ(3, 5000), 1);
    ASSERT_EQ(Open(3, 115200, kParityNone), 0);
    t = pty.Settings();
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    EXPECT_EQ(t.c_ospeed, 115200u);
    EXPECT_EQ(ComRdByte(3), 0x7E);

    ASSERT_EQ(Open(3, 302325, kParityNone), 0);
    t = pty.Settings();
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 302325u);
    EXPECT_EQ(t.c_ispeed, 302325u);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));

    // Flow control and back to a standard rate after an arbitrary one.
    ASSERT_EQ(SetCTSMode(3, 1), 0);
    ASSERT_EQ(SetXMode(3, 1), 0);
    t = pty.Settings();
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_EQ(t.c_ospeed, 302325u);
    ASSERT_EQ(SetCTSMode(3, 0), 0);
    ASSERT_EQ(SetXMode(3, 0), 0);
    ASSERT_EQ(Open(3, 38400, kParityEven), 0);
    t = pty.Settings();
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & IXON);

    // Pseudo-terminals have no modem lines: DTR changes are accepted and ignored.
    EXPECT_EQ(ComSetEscape(3, kEscapeSetDtr), 0);
    EXPECT_EQ(ComSetEscape(3, kEscapeClearDtr), 0);
    EXPECT_EQ(CloseCom(3), 0);
    EXPECT_EQ(CloseCom(3), kComErrNotOpen);
}

TEST(SerialPty, EveryByteValueCrossesUnchangedBothWays) {
    test::ScratchDir dir;
    PtyPort pty(1);
    ASSERT_EQ(Open(1, 38400, kParityEven), 0);
    ASSERT_EQ(SetComTime(1, 5.0), 0);
    std::vector<std::uint8_t> all(256);
    std::iota(all.begin(), all.end(), 0);
    // Control characters (CR, LF, XON, XOFF, ^C, ^D, DEL) included twice over.
    std::vector<std::uint8_t> twice = all;
    twice.insert(twice.end(), all.rbegin(), all.rend());

    EXPECT_EQ(ComWrt(1, twice.data(), static_cast<int>(twice.size())), 512);
    EXPECT_EQ(ComWrtByte(1, 0x44), 1);
    std::vector<std::uint8_t> expected = twice;
    expected.push_back(0x44);
    EXPECT_EQ(pty.Read(expected.size()), expected);
    EXPECT_EQ(WaitOutQEmpty(1, 1000), 0);
    EXPECT_EQ(GetOutQLen(1), 0);

    pty.Write(twice);
    std::vector<std::uint8_t> got(512, 0);
    EXPECT_EQ(ComRd(1, got.data(), 512), 512);
    EXPECT_EQ(got, twice);
    pty.Write({0xC0, 0x9D});
    EXPECT_EQ(ComRdByte(1), 0xC0);
    EXPECT_EQ(ComRdByte(1), 0x9D);
}

TEST(SerialPty, LargeWriteIsQueuedAndArrivesWholeAsTheDrainWaits) {
    test::ScratchDir dir;
    PtyPort pty(2);
    ASSERT_EQ(Open(2, 115200, kParityNone), 0);
    std::vector<std::uint8_t> block(65536);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = pty.Read(block.size()); });
    EXPECT_EQ(ComWrt(2, block.data(), 65536), 65536);
    EXPECT_EQ(WaitOutQEmpty(2, 10'000), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

TEST(SerialPty, TimeOutThenHangUpAreDistinct) {
    test::ScratchDir dir;
    PtyPort pty(5);
    ASSERT_EQ(Open(5, 38400, kParityEven), 0);
    ASSERT_EQ(SetComTime(5, 0.1), 0);
    EXPECT_EQ(ComRdByte(5), kComTimeout);
    std::uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(ComRd(5, buf, 4), 0);
    EXPECT_EQ(WaitInQ(5, 50), 0);
    EXPECT_EQ(GetInQLen(5), 0);

    // When the phone's end goes away the fault shows at once and every time, however long
    // the time-out (the kernel discards what was waiting).
    pty.Write({0x44, 0xA0});
    ASSERT_EQ(WaitInQ(5, 5000), 1);
    ASSERT_EQ(SetComTime(5, 3600.0), 0);
    pty.CloseMaster();
    for (int i = 0; i < 3; ++i) {
        const int r = ComRdByte(5);
        EXPECT_LT(r, 0);
        EXPECT_NE(r, kComTimeout);
        EXPECT_EQ(r, kComErrUnknown);
    }
    EXPECT_EQ(ComRd(5, buf, 4), kComErrUnknown);
    EXPECT_EQ(WaitInQ(5, 3'600'000), kComErrUnknown);
    EXPECT_EQ(GetInQLen(5), kComErrUnknown);
    EXPECT_EQ(ComWrt(5, buf, 4), kComErrUnknown);
    EXPECT_EQ(CloseCom(5), 0);
}

TEST(SerialPty, AbsentDeviceCannotBeOpened) {
    test::ScratchDir dir;
    fs::create_symlink("/nonexistent/pts/99", "COM6");
    EXPECT_EQ(Open(6, 38400, kParityEven), kComErrCannotOpen);
    EXPECT_EQ(ComRdByte(6), kComErrNotOpen);
    test::WriteFile("COM4", "not a terminal");
    EXPECT_EQ(Open(4, 38400, kParityEven), kComErrCannotOpen);
    EXPECT_EQ(OpenComConfig(4, "/nonexistent/ttyUSB9", 38400, 2, 8, 1, 0, 0), kComErrCannotOpen);
}

TEST(SerialPty, BindingOpensTheBoundDevice) {
    test::ScratchDir dir;
    PtyPort pty(8);
    fs::remove("COM8");
    fs::create_symlink("/nonexistent/pts/99", "COM8");
    platform::BindPortDevice(8, pty.slave());
    EXPECT_EQ(Open(8, 38400, kParityEven), 0);
    platform::ClearPortBindings();
    EXPECT_EQ(ComWrtByte(8, 0x44), 1);
    EXPECT_EQ(pty.Read(1), Bytes("44"));
}

}  // namespace
}  // namespace vbc
