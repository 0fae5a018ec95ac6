// Line set-up and release, the speed tables, and the small conversions of the PC library.
//
// The kernel's termios2 is read here to check the line rates, so <termios.h> stays out.
#include "link/mfl12pclib.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/serial.h"
#include "testing/scriptedserial.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using platform::ScriptedLine;
using Events = std::vector<std::string>;

TEST(UartInit, OpensComNThenSettingsInOrder) {
    ScriptedLine line;
    line.Send("FF");  // noise waiting before the open is flushed
    EXPECT_EQ(_mfl12_0UartInit(3, 38400, 2, 5), 1);
    EXPECT_EQ(line.Events(), (Events{"open COM3 38400 even 8 1", "cts off", "xon off", "flush in",
                                     "flush out", "dtr off", "timeout 5000"}));
    ASSERT_EQ(line.Opens().size(), 1u);
    EXPECT_EQ(line.Opens()[0].port, 3);
    EXPECT_EQ(line.Opens()[0].deviceName, "COM3");
    // Right after the open DTR is low.
    EXPECT_FALSE(line.Dtr());
    EXPECT_EQ(line.DtrChanges(), std::vector<bool>{false});
    EXPECT_EQ(line.Pending(), 0u);
    EXPECT_TRUE(line.Sent().empty());
}

TEST(UartInit, FailedOpenReturnsTheCodeWithBit31AndDoesNothingElse) {
    struct Case {
        int port;
        int openError;
        std::int32_t expected;
    };
    for (Case c : {Case{3, kComErrCannotOpen, kComErrCannotOpen}, Case{3, -5, -5},
                   Case{0, 0, kComErrInvalidPort}, Case{256, 0, kComErrInvalidPort}}) {
        SCOPED_TRACE(c.port);
        ScriptedLine line;
        line.SetOpenError(c.openError);
        const std::int32_t r = _mfl12_0UartInit(c.port, 38400, 2, 5);
        EXPECT_EQ(r, c.expected);
        EXPECT_NE(static_cast<std::uint32_t>(r) & 0x80000000u, 0u);
        EXPECT_EQ(line.Events(), c.openError ? Events{"open failed COM3"} : Events{});
        EXPECT_TRUE(line.DtrChanges().empty());
        EXPECT_EQ(line.TimeoutMs(), -1);
        EXPECT_EQ(ComRdByte(c.port), c.port == 3 ? kComErrNotOpen : kComErrInvalidPort);
    }
}

TEST(UartInit, TimeOutIsUnsigned) {
    struct Case {
        std::uint32_t seconds;
        int timeoutMs;
    };
    for (Case c : {Case{5, 5'000}, Case{10, 10'000}, Case{0, 0}, Case{2'147'483, 2'147'483'000},
                   Case{0x80000001u, kMaxComTimeoutMs}, Case{0xFFFFFFFFu, kMaxComTimeoutMs}}) {
        SCOPED_TRACE(c.seconds);
        ScriptedLine line;
        ASSERT_EQ(_mfl12_0UartInit(1, 38400, 2, c.seconds), 1);
        EXPECT_EQ(line.TimeoutMs(), c.timeoutMs);
        // A read waits the whole time-out: never a negative (instant) one.
        const std::int64_t t0 = line.Clock().NowMs();
        EXPECT_EQ(ComRdByte(1), kComTimeout);
        EXPECT_EQ(line.Clock().NowMs() - t0, c.timeoutMs);
    }
}

TEST(UartInit, SpeedChangeRetunesTheOpenPort) {
    ScriptedLine line;
    ASSERT_EQ(_mfl12_0UartInit(1, 38400, 2, 5), 1);
    ComSetEscape(1, kEscapeSetDtr);
    ASSERT_EQ(_mfl12_0UartInit(1, 115200, 0, 10), 1);
    EXPECT_EQ(line.Closes(), 0);
    const Events& e = line.Events();
    ASSERT_GE(e.size(), 7u);
    EXPECT_EQ(Events(e.end() - 7, e.end()),
              (Events{"configure COM1 115200 none 8 1", "cts off", "xon off", "flush in",
                      "flush out", "dtr off", "timeout 10000"}));
    EXPECT_EQ(line.Settings().baudRate, 115200);
    EXPECT_EQ(line.Settings().parity, kParityNone);
}

TEST(UartStop, DropsDtrThenCloses) {
    ScriptedLine line;
    ASSERT_EQ(_mfl12_0UartInit(2, 38400, 2, 5), 1);
    ComSetEscape(2, kEscapeSetDtr);
    const std::size_t before = line.Events().size();
    _mfl12_1UartStop(2);
    EXPECT_EQ(
        Events(line.Events().begin() + static_cast<std::ptrdiff_t>(before), line.Events().end()),
        (Events{"dtr off", "close"}));
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(ComRdByte(2), kComErrNotOpen);
    // Stopping a port that is not open does nothing and fails nothing.
    _mfl12_1UartStop(2);
    _mfl12_1UartStop(0);
    EXPECT_EQ(line.Events().size(), before + 2);
}

// Every PC rate of the speed table on a real pseudo-terminal, each on the already open port.
TEST(UartInit, EveryPcRateOfTheSpeedTableReachesThePort) {
    test::ScratchDir dir;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    std::filesystem::create_symlink(::ptsname(master), "COM4");
    ASSERT_EQ(_mfl12_0UartInit(4, 38400, 2, 5), 1);
    for (const speed_t rate :
         {38400, 115200, 162500, 203125, 220338, 240740, 260000, 270833, 302325}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(_mfl12_0UartInit(4, static_cast<std::int32_t>(rate), 0, 10), 1);
        termios2 t{};
        ASSERT_EQ(::ioctl(master, TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, rate);
        EXPECT_EQ(t.c_ispeed, rate);
    }
    // The line still carries bytes at the last rate.
    EXPECT_EQ(ComWrtByte(4, 0xE9), 1);
    std::uint8_t b = 0;
    EXPECT_EQ(::read(master, &b, 1), 1);
    EXPECT_EQ(b, 0xE9);
    _mfl12_1UartStop(4);
    EXPECT_EQ(ComRdByte(4), kComErrNotOpen);
    ::close(master);
}

TEST(ConversionLittleBig, SwapsTheGivenNumberOfBytes) {
    struct Case {
        std::uint32_t value;
        std::int32_t length;
        std::int32_t status;
        std::uint32_t result;
    };
    for (Case c : {Case{0x12345678, 1, 1, 0x12345678}, Case{0x1234, 2, 1, 0x3412},
                   Case{0x123456, 3, 1, 0x563412}, Case{0x12345678, 4, 1, 0x78563412},
                   Case{0xFF000001, 4, 1, 0x010000FF}, Case{0x12345678, 0, 5, 0},
                   Case{0x12345678, 5, 5, 0}, Case{0x12345678, -1, 5, 0}}) {
        SCOPED_TRACE(c.length);
        std::uint32_t out = 0xDEADBEEF;
        EXPECT_EQ(_mfl12_5ConversionLittleBig(c.value, &out, c.length), c.status);
        EXPECT_EQ(out, c.result);
    }
}

TEST(InitializeDefaultPath, KeepsTheDirectoryOfTheFile) {
    struct Case {
        std::string file;
        std::string directory;
    };
    const std::string longDir(300, 'd');
    for (const Case& c :
         {Case{"C:\\sw\\v2\\phone.cla", "C:\\sw\\v2"}, Case{"/home/op/sw/phone.cla", "/home/op/sw"},
          Case{"/home/op\\x/phone.cla", "/home/op\\x"}, Case{"C:\\sw/v2\\phone.cla", "C:\\sw/v2"},
          Case{"\\phone.cla", ""}, Case{"phone.cla", "unchanged"},
          Case{longDir + "/f.cla", std::string(259, 'd')}}) {
        char dir[260];
        std::strcpy(dir, "unchanged");
        EXPECT_EQ(_mfl12_6InitializeDefaultPath(dir, c.file.c_str()), 1);
        EXPECT_EQ(std::string(dir), c.directory);
    }
}

}  // namespace
}  // namespace vbc
