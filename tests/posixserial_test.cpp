// The raw-mode frame the POSIX backend asks the driver for (a pseudo-terminal does not keep
// the parity bits, so they are checked here, on the termios that is built).
#include <termios.h>

#include <gtest/gtest.h>

#include "platform/posixserial.h"

namespace vbc::platform {
namespace {

struct FrameCase {
    int parity, dataBits, stopBits;
    tcflag_t set, clear;
};

TEST(PosixSerialFrame, EveryParityDataAndStopBitSetting) {
    const tcflag_t all = PARENB | PARODD | CMSPAR | CSTOPB;
    for (FrameCase c : {
             FrameCase{kParityEven, 8, 1, PARENB | CS8, PARODD | CMSPAR | CSTOPB},
             FrameCase{kParityNone, 8, 1, CS8, all},
             FrameCase{1, 8, 1, PARENB | PARODD | CS8, CMSPAR | CSTOPB},
             FrameCase{3, 7, 1, PARENB | PARODD | CMSPAR | CS7, CSTOPB},
             FrameCase{4, 7, 2, PARENB | CMSPAR | CSTOPB | CS7, PARODD},
             FrameCase{kParityNone, 5, 2, CSTOPB | CS5, PARENB | PARODD | CMSPAR},
             FrameCase{kParityNone, 6, 1, CS6, all},
         }) {
        SCOPED_TRACE(testing::Message() << c.parity << " " << c.dataBits << " " << c.stopBits);
        termios t{};
        // Start from a cooked, flow-controlled terminal with odd parity and 2 stop bits.
        t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
        LineSettings s;
        s.parity = c.parity;
        s.dataBits = c.dataBits;
        s.stopBits = c.stopBits;
        ASSERT_EQ(detail::MakeRaw(s, false, false, &t), 0);
        EXPECT_EQ(t.c_cflag & c.set, c.set);
        EXPECT_EQ(t.c_cflag & c.clear, 0u);
        EXPECT_EQ(t.c_cflag & CSIZE, c.set & CSIZE);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST(PosixSerialFrame, FlowControlOnRequestAndNonsenseRefused) {
    termios t{};
    LineSettings s;
    ASSERT_EQ(detail::MakeRaw(s, true, true, &t), 0);
    EXPECT_EQ(t.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    for (auto [parity, data, stop] : {std::tuple{5, 8, 1}, {0, 9, 1}, {0, 8, 3}, {-1, 8, 1}}) {
        s.parity = parity;
        s.dataBits = data;
        s.stopBits = stop;
        EXPECT_EQ(detail::MakeRaw(s, false, false, &t), kComErrInvalidParameter);
    }
}

TEST(PosixSerialFrame, RatesOfThePhoneTableThatNeedAnArbitraryRate) {
    for (long rate : {38400L, 115200L, 9600L, 230400L}) EXPECT_TRUE(detail::IsStandardRate(rate));
    for (long rate : {162500L, 203125L, 220338L, 240740L, 260000L, 270833L, 302325L}) {
        EXPECT_FALSE(detail::IsStandardRate(rate)) << rate;
    }
}

}  // namespace
}  // namespace vbc::platform
