// The scripted line's own behaviour: the protocol tests play the phone on it, so its script,
// its manual clock, its queues and its clean-up must do what they say. It is reached through the
// RS-232 operations by port number, as the modules reach it.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"
#include "testing/scriptedserial.h"

namespace vbc {
namespace {

using platform::Bytes;
using platform::ScriptedLine;

TEST(ScriptedLine, BytesSentLaterArriveOnTheManualClock) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    ASSERT_EQ(SetComTime(1, 5.0), 0);
    const std::int64_t t0 = line.Clock().NowMs();
    // A byte that comes within the time-out is read when it comes.
    line.SendAfter(4'000, "BE");
    EXPECT_EQ(ComRdByte(1), 0xBE);
    EXPECT_EQ(line.Clock().NowMs() - t0, 4'000);
    // A byte that comes later than the time-out is the next read's.
    line.SendAfter(6'000, "44");
    EXPECT_EQ(ComRdByte(1), kComTimeout);
    EXPECT_EQ(line.Clock().NowMs() - t0, 9'000);
    EXPECT_EQ(ComRdByte(1), 0x44);
    EXPECT_EQ(line.Clock().NowMs() - t0, 10'000);
    // Bytes sent after others never overtake them, whatever their delay.
    line.SendAfter(3'000, "01");
    line.SendAfter(1'000, "02");
    EXPECT_EQ(ComRdByte(1), 0x01);
    EXPECT_EQ(ComRdByte(1), 0x02);
    EXPECT_EQ(line.Clock().NowMs() - t0, 13'000);
}

TEST(ScriptedLine, QueueLengthsAndWaitsOnTheManualClock) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 115200, 0, 8, 1, 65536, 65536), 0);
    const std::int64_t t0 = line.Clock().NowMs();
    EXPECT_EQ(WaitInQ(1, 250), 0);
    EXPECT_EQ(line.Clock().NowMs() - t0, 250);
    line.SendAfter(100, "CB");
    EXPECT_EQ(GetInQLen(1), 0);  // not there yet; the empty poll moves the clock 1 ms
    EXPECT_EQ(WaitInQ(1, 1000), 1);
    EXPECT_EQ(line.Clock().NowMs() - t0, 350);
    EXPECT_EQ(GetInQLen(1), 1);
    ASSERT_EQ(FlushInQ(1), 0);
    EXPECT_EQ(GetInQLen(1), 0);
    EXPECT_EQ(line.Pending(), 0u);

    // A loop that polls the input queue against the clock always ends.
    const std::int64_t start = Time();
    int polls = 0;
    while (GetInQLen(1) == 0 && Time() - start <= 10) ++polls;
    EXPECT_GT(polls, 10'000);

    line.SetOutQueueReadings({4096, 100});
    std::vector<std::uint8_t> block(8192, 0x5A);
    ASSERT_EQ(ComWrt(1, block.data(), 8192), 8192);
    EXPECT_EQ(GetOutQLen(1), 4096);
    EXPECT_EQ(GetOutQLen(1), 100);
    EXPECT_EQ(GetOutQLen(1), 0);
    EXPECT_EQ(line.OutQueuePolls(), 3);
    ASSERT_EQ(ComWrt(1, block.data(), 10), 10);
    EXPECT_EQ(WaitOutQEmpty(1, 1), 100);  // one reading drained, the other still there
    EXPECT_EQ(WaitOutQEmpty(1, 1000), 0);
}

TEST(ScriptedLine, CoarseIdleWaitsEndAtTheNextArrivalOrWholeSecondNeverEarly) {
    struct Case {
        const char* name;
        int startMs;    // into a whole second of the clock
        int arrivalMs;  // from the start; -1: nothing on its way
        int waitMs;
        int result;
        int endMs;  // from the start
    };
    const Case cases[] = {
        {"nothing to come: to the next whole second", 250, -1, 20, 0, 750},
        {"a byte after the second: the second", 250, 2'000, 20, 0, 750},
        {"a byte before the second: the byte", 250, 300, 20, 1, 300},
        {"a byte within the wait: as without", 250, 10, 20, 1, 10},
        {"a wait past the second: the wait", 250, -1, 1'500, 0, 1'500},
        {"on a whole second: the next one", 0, -1, 20, 0, 1'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        line.SetCoarseIdleWaits(true);
        ASSERT_EQ(OpenComConfig(1, "COM1", 115200, 0, 8, 1, 65536, 65536), 0);
        line.Clock().AdvanceMs(c.startMs);
        const std::int64_t t0 = line.Clock().NowMs();
        if (c.arrivalMs >= 0) line.SendAfter(c.arrivalMs, "CB");
        EXPECT_EQ(WaitInQ(1, c.waitMs), c.result);
        EXPECT_EQ(line.Clock().NowMs() - t0, c.endMs);
    }
}

TEST(ScriptedLine, OutQueueReadingsDueKeepTheirValuesWhenTheReadingsChange) {
    ScriptedLine line;
    ASSERT_EQ(OpenComConfig(1, "COM1", 115200, 0, 8, 1, 65536, 65536), 0);
    line.SetOutQueueReadings({300, 200, 100});
    const std::uint8_t byte = 0x5A;
    ASSERT_EQ(ComWrt(1, &byte, 1), 1);
    EXPECT_EQ(GetOutQLen(1), 300);
    line.SetOutQueueReadings({7});
    EXPECT_EQ(GetOutQLen(1), 200);
    EXPECT_EQ(GetOutQLen(1), 100);
    EXPECT_EQ(GetOutQLen(1), 0);
    ASSERT_EQ(ComWrt(1, &byte, 1), 1);
    EXPECT_EQ(GetOutQLen(1), 7);
    ASSERT_EQ(FlushOutQ(1), 0);
    EXPECT_EQ(GetOutQLen(1), 0);
}

TEST(ScriptedLine, ScriptAnswersThePcAndReportsWhereItWasBroken) {
    ScriptedLine line;
    line.Expect("E0", "C0");
    line.Expect("00 FF F9 01 F8", "C3 00");
    line.When("E9", "CA", 5);
    ASSERT_EQ(OpenComConfig(1, "COM1", 38400, 2, 8, 1, 65536, 65536), 0);
    ComWrtByte(1, 0xE0);
    EXPECT_EQ(ComRdByte(1), 0xC0);
    const std::vector<std::uint8_t> frame = Bytes("00 FF F9 01 F8");
    ComWrt(1, frame.data(), 5);
    EXPECT_EQ(ComRdByte(1), 0xC3);
    EXPECT_EQ(ComRdByte(1), 0x00);
    EXPECT_TRUE(line.ScriptDone());
    for (int i = 0; i < 3; ++i) {
        ComWrtByte(1, 0xE9);
        EXPECT_EQ(ComRdByte(1), 0xCA);
    }
    int seen = 0;
    line.OnPcBytes([&](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
        seen += static_cast<int>(bytes.size());
        if (bytes.size() == 1 && bytes[0] == 0xE8) l.Send("C0");
    });
    line.Expect("E8", "");
    line.Expect("EA", "CB");
    ComWrtByte(1, 0xE8);
    EXPECT_EQ(ComRdByte(1), 0xC0);
    ComWrtByte(1, 0xEB);  // not what the script says
    EXPECT_EQ(seen, 2);
    ASSERT_EQ(line.ScriptErrors().size(), 1u);
    EXPECT_EQ(line.ScriptErrors()[0], "PC byte 11 is EB, the script expects EA (byte 1 of EA)");
    EXPECT_FALSE(line.ScriptDone());
    EXPECT_EQ(line.Sent(), Bytes("E0 00 FF F9 01 F8 E9 E9 E9 E8 EB"));
}

TEST(ScriptedLine, HexHelpers) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(platform::ParseHex("e0 00,ff:F9-01\tf8", &out));
    EXPECT_EQ(platform::Hex(out), "E0 00 FF F9 01 F8");
    EXPECT_TRUE(platform::ParseHex("", &out));
    EXPECT_TRUE(out.empty());
    for (const char* bad : {"E", "E0 0", "G0", "E 0", "0x10"}) {
        EXPECT_FALSE(platform::ParseHex(bad, &out)) << bad;
    }
}

TEST(ScriptedLine, DestroyedLineRestoresClockAndProvider) {
    platform::Clock* before = &platform::CurrentClock();
    platform::SerialProvider* providerBefore = &platform::CurrentSerialProvider();
    {
        ScriptedLine line;
        EXPECT_EQ(&platform::CurrentClock(), &line.Clock());
        ASSERT_EQ(OpenComConfig(4, "COM4", 38400, 2, 8, 1, 65536, 65536), 0);
    }
    EXPECT_EQ(&platform::CurrentClock(), before);
    EXPECT_EQ(&platform::CurrentSerialProvider(), providerBefore);
    EXPECT_EQ(ComRdByte(4), kComErrNotOpen);
}

}  // namespace
}  // namespace vbc
