// The bootstrap's command set on the scripted line: the exact frames the PC sends, the answers
// it accepts, the codes it returns and the retries.
#include "link/mfl11command.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <memory>
#include <span>

#include "core/resultcodes.h"
#include "link/mfl12pclib.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "testing/recordingtoolkit.h"
#include "testing/scriptedserial.h"
#include "ui/jobevents.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::Bytes;
using platform::Hex;
using platform::ScriptedLine;

// The port as the boot leaves it: COM1 at 38400 bit/s, even parity, 5 s time-out.
void OpenAsBooted(ScriptedLine& line) {
    ASSERT_EQ(_mfl12_0UartInit(1, 38400, kParityEven, 5), 1);
    line.TakeSent();
}

// The port as the speed change leaves it: 115200 bit/s, no parity, 10 s time-out.
void OpenAtSpeed(ScriptedLine& line) {
    ASSERT_EQ(_mfl12_0UartInit(1, 115200, kParityNone, 10), 1);
    line.TakeSent();
}

std::size_t CountByte(const std::vector<std::uint8_t>& bytes, std::uint8_t b) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), b));
}

std::size_t IndexOf(const std::vector<std::string>& events, const std::string& e,
                    std::size_t from = 0) {
    for (std::size_t i = from; i < events.size(); ++i)
        if (events[i] == e) return i;
    return events.size();
}

// ---- change speed ----

TEST(ChangeSpeed, Row1ExchangeThenReopensTheSamePortAt115200NoParity) {
    ScriptedLine line;
    OpenAsBooted(line);
    const std::size_t before = line.Events().size();
    line.Expect("E0", "C0");
    line.Expect("00 FF F9 01 F8", "C3 00");
    line.Expect("E9", "CA");

    EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, 1), 1);

    EXPECT_EQ(Hex(line.Sent()), "E0 00 FF F9 01 F8 E9");
    EXPECT_TRUE(line.ScriptDone()) << ::testing::PrintToString(line.ScriptErrors());
    // One open (the boot's) and one reopen on the open device: the port is never closed.
    ASSERT_EQ(line.Opens().size(), 2u);
    EXPECT_TRUE(line.Opens()[1].reopen);
    EXPECT_EQ(line.Opens()[1].port, 1);
    EXPECT_EQ(line.Settings().baudRate, 115200);
    EXPECT_EQ(line.Settings().parity, kParityNone);
    EXPECT_EQ(line.TimeoutMs(), 10000);
    EXPECT_EQ(line.Closes(), 0);
    const std::vector<std::string> events(line.Events().begin() + static_cast<long>(before),
                                          line.Events().end());
    EXPECT_EQ(events,
              (std::vector<std::string>{"write 1", "write 5", "configure COM1 115200 none 8 1",
                                        "cts off", "xon off", "flush in", "flush out", "dtr off",
                                        "timeout 10000", "write 1"}));
}

TEST(ChangeSpeed, FrameIsTheRowThenItsSumHighByteFirstAtTheRowsPcRate) {
    struct Case {
        int row;
        const char* frame;
        long rate;
    };
    for (const Case& c : {Case{0, "00 FF EB 01 EA", 38400}, Case{1, "00 FF F9 01 F8", 115200},
                          Case{2, "00 FF FB 01 FA", 162500}, Case{4, "B0 FF FD 02 AC", 220338},
                          Case{8, "B0 FF FE 02 AD", 302325}}) {
        SCOPED_TRACE(c.row);
        ScriptedLine line;
        OpenAsBooted(line);
        line.Expect("E0", "C0");
        line.Expect(c.frame, "C3 00");
        line.Expect("E9", "CA");
        EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, c.row), 1);
        EXPECT_EQ(Hex(line.Sent()), std::string("E0 ") + c.frame + " E9");
        EXPECT_EQ(line.Settings().baudRate, c.rate);
    }
}

TEST(ChangeSpeed, FailuresReturnTheirCodeAndOnlyAGoodVerdictReopens) {
    struct Case {
        const char* name;
        const char* answerToE0;
        const char* answerToFrame;
        bool speedControlAnswers;
        std::int32_t code;
        const char* sent;
        bool reopened;
    };
    const Case cases[] = {
        {"first answer wrong", "C1", "", false, 2, "E0", false},
        {"first answer missing", "", "", false, 2, "E0", false},
        {"parameters not acknowledged", "C0", "C0 00", false, 7, "E0 00 FF F9 01 F8", false},
        {"checksum refused", "C0", "C3 01", false, 8, "E0 00 FF F9 01 F8", false},
        {"verdict missing", "C0", "C3", false, 8, "E0 00 FF F9 01 F8", false},
        {"no speed control", "C0", "C3 00", false, 9, "E0 00 FF F9 01 F8 E9 E9 E9 E9", true},
        {"speed control", "C0", "C3 00", true, 1, "E0 00 FF F9 01 F8 E9", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("E0", c.answerToE0);
        line.When("00 FF F9 01 F8", c.answerToFrame);
        if (c.speedControlAnswers) line.When("E9", "CA");
        EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, 1), c.code);
        EXPECT_EQ(Hex(line.Sent()), c.sent);
        EXPECT_EQ(line.Opens().size(), c.reopened ? 2u : 1u);
    }
}

TEST(ChangeSpeed, SpeedControlStopsAtTheFirstCaWithinFourTries) {
    struct Case {
        const char* answers;  // one answer per 0xE9, in order
        std::int32_t code;
        std::size_t e9;
    };
    for (const Case& c : {Case{"CA", 1, 1}, Case{"00 CA", 1, 2}, Case{"00 11 22 CA", 1, 4},
                          Case{"00 11 22 33 CA", 9, 4}, Case{"", 9, 4}}) {
        SCOPED_TRACE(c.answers);
        ScriptedLine line;
        OpenAtSpeed(line);
        const std::vector<std::uint8_t> answers = Bytes(c.answers);
        std::size_t next = 0;
        line.OnPcBytes([&](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
            for (std::uint8_t b : bytes) {
                if (b == 0xE9 && next < answers.size()) l.Send({&answers[next++], 1});
            }
        });
        EXPECT_EQ(_mfl11_51SpeedControl(1), c.code);
        EXPECT_EQ(line.Sent(), std::vector<std::uint8_t>(c.e9, 0xE9));
    }
}

TEST(ChangeSpeed, RowsWithoutAPcRateAreNeverSent) {
    for (int row : {-1, 9, 12, 13}) {
        SCOPED_TRACE(row);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("E0", "C0");
        EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, row), 9);
        EXPECT_TRUE(line.Sent().empty());
        EXPECT_EQ(line.Opens().size(), 1u);
    }
}

TEST(ChangeSpeed, WaitsForTheOutputQueueBeforeTheReopen) {
    ScriptedLine line;
    OpenAsBooted(line);
    line.SetOutQueueReadings({5, 4, 2, 1});
    line.Expect("E0", "C0");
    line.Expect("00 FF F9 01 F8", "C3 00");
    line.Expect("E9", "CA");
    const std::int64_t start = line.Clock().NowMs();
    EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, 1), 1);
    EXPECT_GT(line.OutQueuePolls(), 0);
    EXPECT_LT(line.Clock().NowMs() - start, 1000);
}

TEST(ChangeSpeed, AnOutputQueueThatNeverDrainsIsGivenUpAfterTenSeconds) {
    ScriptedLine line;
    OpenAsBooted(line);
    // The queue reports 5 bytes for far longer than any drain may last.
    line.SetOutQueueReadings(std::vector<int>(60000, 5));
    line.Expect("E0", "C0");
    line.Expect("00 FF F9 01 F8", "C3 00");
    line.Expect("E9", "CA");
    const std::int64_t start = line.Clock().NowMs();
    EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, 1), 1);
    const std::int64_t waited = line.Clock().NowMs() - start;
    EXPECT_GT(waited, 10000);
    EXPECT_LT(waited, 12100);
    // The wait slept on the device rather than polling the queue length in a loop.
    EXPECT_LT(line.OutQueuePolls(), 1000);
    EXPECT_EQ(line.Settings().baudRate, 115200);
}

TEST(ChangeSpeed, ARefusedReopenAddsOneCommentLineAndChangesNothingElse) {
    // Row 1's frame is 00 FF F9 and their sum 0x01F8; row 8's B0 FF FE and 0x02AD.
    const std::string kRow1 = "00 FF F9 01 F8";
    const std::string kRow8 = "B0 FF FE 02 AD";
    struct Case {
        const char* what;
        int row;
        std::string frame;
        std::string device;
        int code, systemError;
        const char* configure;
        const char* comment;
    };
    const Case cases[] = {
        {"rate refused", 8, kRow8, "/dev/ttyUSB0", kComErrCannotOpen, EINVAL,
         "configure failed COM1 302325 none 8 1",
         " Cannot set COM1 (/dev/ttyUSB0) to 302325 bit/s: Invalid argument "},
        {"drain timed out, device not told", 1, kRow1, "", kComTimeout, ETIMEDOUT,
         "configure failed COM1 115200 none 8 1",
         " Cannot set COM1 to 115200 bit/s: Connection timed out "},
        {"no system reason", 1, kRow1, "COM1", kComErrUnknown, 0,
         "configure failed COM1 115200 none 8 1", " Cannot set COM1 to 115200 bit/s: error -1 "},
        {"long path shortened from the front", 1, kRow1,
         "/dev/serial/by-id/usb-Acme_USB_Serial_Bridge_A1B2C3D4E5F6G7H8I9J0-if00-port0",
         kComErrUnknown, EIO, "configure failed COM1 115200 none 8 1",
         " Cannot set COM1 (...l_Bridge_A1B2C3D4E5F6G7H8I9J0-if00-port0) to 115200 bit/s: "
         "Input/output error "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine line;
        platform::RecordingToolkit rec;
        platform::ScopedToolkit use(rec);
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
        line.SetDevicePath(c.device);
        OpenAsBooted(line);
        const std::size_t before = line.Events().size();
        line.SetReopenError(c.code, c.systemError);
        line.Expect("E0", "C0");
        line.Expect(c.frame, "C3 00");

        // The speed control still runs, at the old rate, and fails as it always has.
        EXPECT_EQ(_mfl11_50ChangeSpeed(10, 1, c.row), 9);
        EXPECT_EQ(Hex(line.Sent()), "E0 " + c.frame + " E9 E9 E9 E9");
        EXPECT_EQ(rec.ListLines(_v_Panel, MAIN_COMMENT_LIST), std::vector<std::string>{c.comment});
        EXPECT_EQ(line.Settings().baudRate, 38400);
        EXPECT_EQ(line.Closes(), 0);
        const std::vector<std::string> events(line.Events().begin() + static_cast<long>(before),
                                              line.Events().end());
        EXPECT_EQ(events.at(2), c.configure);
        EXPECT_EQ(events.at(3), "write 1");  // none of the set-up that follows a good reopen
    }
}

// ---- speed change and PMU ----

DownloadContext Context(int speedIndex, int pmuOption) {
    DownloadContext c;
    c.comPort = 1;
    c.speedIndex = speedIndex;
    c.pmuOption = pmuOption;
    return c;
}

TEST(SetSpeedAndPmu, RetriesTheSpeedChangeFourTimes) {
    struct Case {
        const char* name;
        int goodVerdictFrom;  // attempt whose verdict is good; 0: none
        bool speedControl;
        std::int32_t code;
        std::size_t e0;
        std::size_t e9;
    };
    const Case cases[] = {
        {"first attempt", 1, true, 1, 1, 1},
        {"third attempt", 3, true, 1, 3, 1},
        {"fourth attempt", 4, true, 1, 4, 1},
        {"checksum always refused", 0, true, 8, 4, 0},
        {"never a speed control answer", 1, false, 9, 4, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        OpenAsBooted(line);
        int attempt = 0;
        line.When("E0", "C0");
        line.OnPcBytes([&](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
            if (bytes.size() != 5) return;
            ++attempt;
            const bool good = c.goodVerdictFrom != 0 && attempt >= c.goodVerdictFrom;
            l.Send(good ? "C3 00" : "C3 01");
        });
        if (c.speedControl) line.When("E9", "CA");
        EXPECT_EQ(_mfl11_0SetSpeedAndPMU(Context(1, 0)), c.code);
        EXPECT_EQ(CountByte(line.Sent(), 0xE0), c.e0);
        EXPECT_EQ(CountByte(line.Sent(), 0xE9), c.e9);
        EXPECT_EQ(CountByte(line.Sent(), 0xEF), 0u);
    }
}

TEST(SetSpeedAndPmu, SendsThePmuCommandOnlyForOptionOne) {
    for (int option : {0, 1, 2, -1}) {
        SCOPED_TRACE(option);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("E0", "C0");
        line.When("00 FF F9 01 F8", "C3 00");
        line.When("E9", "CA");
        line.When("EF", "C0 CF 00");
        EXPECT_EQ(_mfl11_0SetSpeedAndPMU(Context(1, option)), 1);
        EXPECT_EQ(Hex(line.Sent()),
                  option == 1 ? "E0 00 FF F9 01 F8 E9 EF" : "E0 00 FF F9 01 F8 E9");
        // The PMU command goes out at the new speed.
        if (option == 1) {
            const auto& ev = line.Events();
            EXPECT_LT(IndexOf(ev, "configure COM1 115200 none 8 1"), ev.size() - 1);
        }
    }
}

TEST(SetSpeedAndPmu, PmuTriedThreeTimesAndNoPmuAfterAFailedSpeedChange) {
    struct Case {
        const char* name;
        const char* verdict;
        const char* pmuAnswer;
        std::int32_t code;
        std::size_t ef;
    };
    const Case cases[] = {
        {"PMU not accepted", "C3 00", "C1", 2, 3},
        {"PMU not set", "C3 00", "C0 C0 00", 10, 3},
        {"speed change failed", "C3 01", "C0 CF 00", 8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("E0", "C0");
        line.When("00 FF F9 01 F8", c.verdict);
        line.When("E9", "CA");
        line.When("EF", c.pmuAnswer);
        EXPECT_EQ(_mfl11_0SetSpeedAndPMU(Context(1, 1)), c.code);
        EXPECT_EQ(CountByte(line.Sent(), 0xEF), c.ef);
    }
}

TEST(SetPmu, ConsumesExactlyThreeAnswerBytes) {
    ScriptedLine line;
    OpenAtSpeed(line);
    line.Expect("EF", "C0 CF 5A 77");
    EXPECT_EQ(_mfl11_52SetPMU(1), 1);
    EXPECT_EQ(Hex(line.Sent()), "EF");
    EXPECT_EQ(line.Pending(), 1u);  // the 0x77 is left for the next command
    EXPECT_EQ(ComRdByte(1), 0x77);
}

// ---- GPIO and switch-off ----

TEST(SetGpio, SentOnlyForSpeedRowsAboveTwo) {
    for (int row = 0; row <= 8; ++row) {
        SCOPED_TRACE(row);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("EB", "C0 C9");
        EXPECT_EQ(_mfl11_8SetGPIO(Context(row, 0)), 1);
        EXPECT_EQ(Hex(line.Sent()), row > 2 ? "EB" : "");
    }
}

TEST(SetGpio, AnswersAndCodes) {
    struct Case {
        const char* answer;
        std::int32_t code;
    };
    for (const Case& c :
         {Case{"C0 C9", 1}, Case{"C1 C9", 2}, Case{"", 2}, Case{"C0 C0", 21}, Case{"C0", 21}}) {
        SCOPED_TRACE(c.answer);
        ScriptedLine line;
        OpenAsBooted(line);
        line.When("EB", c.answer);
        EXPECT_EQ(_mfl11_53SetGPIO(1), c.code);
        EXPECT_EQ(_mfl11_8SetGPIO(Context(3, 0)), c.code);
        EXPECT_EQ(Hex(line.Sent()), "EB EB");
    }
}

TEST(SwitchOff, AnswersAndCodes) {
    struct Case {
        const char* answer;
        std::int32_t code;
    };
    for (const Case& c : {Case{"C0", 1}, Case{"C1", 20}, Case{"", 20}}) {
        SCOPED_TRACE(c.answer);
        ScriptedLine line;
        OpenAtSpeed(line);
        line.When("E8", c.answer);
        EXPECT_EQ(_mfl11_7SwitchOffCommand(1), c.code);
        EXPECT_EQ(Hex(line.Sent()), "E8");
    }
}

// ---- download-sector command ----

TEST(DownloadSectorCommand, SizeThenAddressThenLengthBigEndianAndNothingRead) {
    ScriptedLine line;
    OpenAtSpeed(line);
    line.Send("CB");
    const std::size_t before = line.Events().size();
    EXPECT_EQ(_mfl11_3DownloadSectorCommand(0x200000, 0x10000, 0x8000, 1), 1);
    EXPECT_EQ(Hex(line.Sent()), "EA 00 01 00 00 00 20 00 00 00 00 80 00");
    EXPECT_EQ(line.Pending(), 1u);
    const std::vector<std::string> events(line.Events().begin() + static_cast<long>(before),
                                          line.Events().end());
    EXPECT_EQ(events, (std::vector<std::string>{"write 1", "write 4", "write 4", "write 4"}));

    line.TakeSent();
    EXPECT_EQ(_mfl11_3DownloadSectorCommand(0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 1), 1);
    EXPECT_EQ(Hex(line.Sent()), "EA 9A BC DE F0 12 34 56 78 0F 1E 2D 3C");
}

// ---- erase ----

TEST(EraseFlash, FramesAndCodes) {
    struct Case {
        std::uint8_t opcode;
        const char* status;
        std::int32_t code;
        const char* sent;
    };
    const Case cases[] = {
        {0xE2, "C0", 1, "E2"},
        {0xE2, "C1", 11, "E2"},
        {0xE2, "", 11, "E2"},
        {0xE3, "C0", 1, "E3 12 34 56 78"},
        {0xE3, "C1", 11, "E3"},
        {0xE3, "C5", 11, "E3 12 34 56 78"},
        {0xE4, "C0", 1, "E4 07 AA BB CC DD 12 34 56 78"},
        {0xE4, "C1", 11, "E4"},
        {0xE4, "33", 11, "E4 07 AA BB CC DD 12 34 56 78"},
        {0xE5, "C0", 11, ""},
        {0xE0, "C0", 11, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex({&c.opcode, 1}) + " " + c.status);
        ScriptedLine line;
        OpenAtSpeed(line);
        line.When({&c.opcode, 1}, Bytes(c.status));
        EXPECT_EQ(_mfl11_4EraseFlash(c.opcode, 0x12345678, 0xAABBCCDD, 0x07, 1), c.code);
        EXPECT_EQ(Hex(line.Sent()), c.sent);
    }
}

TEST(FlashEraseResult, Codes) {
    struct Case {
        std::int32_t expectStatus;
        const char* answer;
        std::int32_t code;
        std::size_t left;  // answer bytes not consumed
    };
    const Case cases[] = {
        {1, "C5 F6", 1, 0},  {1, "C5 F3", 13, 0}, {1, "C5 F4", 14, 0}, {1, "C5 F5", 15, 0},
        {1, "C5 00", 16, 0}, {1, "C5", 16, 0},    {1, "F6", 12, 0},    {1, "C0 F6", 12, 1},
        {0, "F6", 1, 0},     {0, "F3 F6", 13, 1}, {0, "C5 F6", 16, 1}, {0, "", 16, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.expectStatus) + " " + c.answer);
        ScriptedLine line;
        OpenAtSpeed(line);
        line.Send(c.answer);
        EXPECT_EQ(_mfl11_5FlashEraseResult(1, c.expectStatus), c.code);
        EXPECT_TRUE(line.Sent().empty());
        EXPECT_EQ(line.Pending(), c.left);
    }
}

// ---- read memory ----

TEST(ReadCommand, FramesChecksumOrderAndCodes) {
    struct Case {
        const char* name;
        const char* firstAnswer;
        const char* reply;  // after the parameters
        std::int32_t code;
        const char* sent;
    };
    // 0xFF + 0xFF + 0x12 = 0x0210: the checksum arrives as 10 02 00 00.
    const char* params = "E6 00 00 00 03 00 20 00 40";
    const Case cases[] = {
        {"good", "C0", "C7 FF FF 12 10 02 00 00", 1, params},
        {"checksum big-endian", "C0", "C7 FF FF 12 00 00 02 10", 19, params},
        {"checksum off by one", "C0", "C7 FF FF 12 11 02 00 00", 19, params},
        {"checksum short, the rest taken as 0", "C0", "C7 FF FF 12 10 02", 1, params},
        {"command refused", "C1", "", 17, "E6"},
        {"parameters refused", "C0", "C1 FF FF 12 10 02 00 00", 18, params},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        OpenAtSpeed(line);
        line.Expect("E6", c.firstAnswer);
        line.Expect("00 00 00 03 00 20 00 40", c.reply);
        std::uint8_t buffer[3] = {0, 0, 0};
        EXPECT_EQ(_mfl11_6ReadCommand(0x200040, 3, buffer, 1), c.code);
        EXPECT_EQ(Hex(line.Sent()), c.sent);
        if (c.code == 1) {
            EXPECT_EQ(Hex(buffer), "FF FF 12");
        }
    }
}

TEST(ReadCommand, DataThatStopsComingFailsAfterOneTimeOut) {
    ScriptedLine line;
    OpenAtSpeed(line);
    line.Expect("E6", "C0");
    line.Expect("00 01 00 00 00 20 00 00", "C7 01 02 03");
    std::vector<std::uint8_t> buffer(0x10000, 0);
    const std::int64_t start = line.Clock().NowMs();
    EXPECT_EQ(_mfl11_6ReadCommand(0x200000, 0x10000, buffer.data(), 1), 19);
    EXPECT_EQ(line.TimeoutsFired(), 1);
    EXPECT_LE(line.Clock().NowMs() - start, 10000);
    EXPECT_EQ(Hex({buffer.data(), 4}), "01 02 03 00");
}

TEST(ReadCommand, ZeroLengthReadsOnlyTheChecksum) {
    ScriptedLine line;
    OpenAtSpeed(line);
    line.Expect("E6", "C0");
    line.Expect("00 00 00 00 00 80 00 00", "C7 00 00 00 00");
    EXPECT_EQ(_mfl11_6ReadCommand(0x800000, 0, nullptr, 1), 1);
    EXPECT_EQ(line.Pending(), 0u);
}

// ---- reading the flash in chunks, read back and compared ----

TEST(ReadFlash, AChunkThatFailsIsReadAgainUpToThreeTimes) {
    // 0xFF + 0xFF + 0x12 = 0x0210: the checksum arrives as 10 02 00 00.
    const char* good = "C7 FF FF 12 10 02 00 00";
    const char* badSum = "C7 FF FF 12 11 02 00 00";
    const std::string frame = "E6 00 00 00 03 00 20 00 40";
    struct Attempt {
        const char* firstAnswer;
        const char* reply;  // after the parameters; none go when the first answer is not C0
    };
    struct Case {
        const char* name;
        std::vector<Attempt> attempts;
        std::int32_t code;
        std::vector<int> retried;  // the codes of the comment lines, in order
    };
    const Case cases[] = {
        {"good at once", {{"C0", good}}, 1, {}},
        {"a bad checksum, then good", {{"C0", badSum}, {"C0", good}}, 1, {19}},
        {"each code once, then good",
         {{"C1", ""}, {"C0", "C1"}, {"C0", badSum}, {"C0", good}},
         1,
         {17, 18, 19}},
        {"four bad checksums",
         {{"C0", badSum}, {"C0", badSum}, {"C0", badSum}, {"C0", badSum}},
         19,
         {19, 19, 19}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetCommentLines();
        ScriptedLine line;
        OpenAtSpeed(line);
        std::string sent;
        for (const Attempt& a : c.attempts) {
            line.Expect("E6", a.firstAnswer);
            sent += sent.empty() ? "E6" : " E6";
            if (std::string(a.firstAnswer) == "C0") {
                line.Expect(frame.substr(3), a.reply);
                sent = sent.substr(0, sent.size() - 2) + frame;
            }
        }
        std::uint8_t buffer[3] = {0, 0, 0};
        EXPECT_EQ(_mfl11_55ReadFlash(0x200040, 3, buffer, 1), c.code);
        EXPECT_EQ(Hex(line.Sent()), sent);
        EXPECT_TRUE(line.ScriptDone()) << ::testing::PrintToString(line.ScriptErrors());
        std::vector<std::string> expected;
        for (int code : c.retried)
            expected.push_back(" Read error " + std::to_string(code) +
                               " at 0x00200040 -> read again ");
        EXPECT_EQ(CommentLines(), expected);
        if (c.code == 1) {
            EXPECT_EQ(Hex(buffer), "FF FF 12");
        }
    }
}

// A phone whose memory, from base on, answers every read command.
void ServeReads(ScriptedLine& line, const std::vector<std::uint8_t>& memory, std::uint32_t base) {
    auto frame = std::make_shared<std::vector<std::uint8_t>>();
    line.OnPcBytes([frame, &memory, base](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
        frame->insert(frame->end(), bytes.begin(), bytes.end());
        if (frame->size() == 1) {
            l.Send("C0");
            return;
        }
        if (frame->size() < 9) return;
        const auto field = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (std::size_t i = 0; i < 4; ++i) v = v << 8 | (*frame)[at + i];
            return v;
        };
        const std::uint32_t length = field(1);
        const std::uint32_t from = field(5) - base;
        std::vector<std::uint8_t> reply = {0xC7};
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            reply.push_back(memory[from + i]);
            sum += memory[from + i];
        }
        for (int i = 0; i < 4; ++i) reply.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
        l.Send(reply);
        frame->clear();
    });
}

TEST(ReadFlash, ReadsInChunksOf64KiBAndVerifyStopsAtTheFirstDifference) {
    std::vector<std::uint8_t> memory(0x20010);
    for (std::size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));

    ScriptedLine line;
    OpenAtSpeed(line);
    ServeReads(line, memory, 0x800000);
    std::vector<std::uint8_t> read(memory.size(), 0);
    EXPECT_EQ(_mfl11_55ReadFlash(0x800000, static_cast<std::uint32_t>(read.size()), read.data(), 1),
              1);
    EXPECT_EQ(read, memory);
    EXPECT_EQ(Hex(line.TakeSent()),
              "E6 00 01 00 00 00 80 00 00 E6 00 01 00 00 00 81 00 00 E6 00 00 00 10 00 82 00 00");

    std::uint32_t difference = 0;
    EXPECT_EQ(_mfl11_56VerifyFlash(0x800000, static_cast<std::uint32_t>(memory.size()),
                                   memory.data(), 1, &difference),
              1);
    line.TakeSent();
    std::vector<std::uint8_t> image = memory;
    image[0x11170] ^= 0x40;
    image[0x11171] ^= 0x40;
    EXPECT_EQ(_mfl11_56VerifyFlash(0x800000, static_cast<std::uint32_t>(image.size()), image.data(),
                                   1, &difference),
              CommandCode::kVerify);
    EXPECT_EQ(difference, 0x811170u);
    // The chunk after the difference is not read.
    EXPECT_EQ(Hex(line.Sent()), "E6 00 01 00 00 00 80 00 00 E6 00 01 00 00 00 81 00 00");
}

TEST(ReadFlash, AStoppedJobReadsNothingMore) {
    ForgetCommentLines();
    ScriptedLine line;
    OpenAtSpeed(line);
    RequestJobStop();
    std::uint8_t buffer[3] = {};
    // The read command never went out, so its acknowledgement never came.
    EXPECT_EQ(_mfl11_55ReadFlash(0x200040, 3, buffer, 1), CommandCode::kBadReadAck);
    ClearJobStop();
    EXPECT_TRUE(line.Sent().empty());
    EXPECT_TRUE(CommentLines().empty());
}

// An empty pass (the verify of an empty software file) reads nothing and shows the whole bar at
// once: never 0 / 0 on the way (a NaN made an integer), nor a byte that was never there.
TEST(ReadFlash, AnEmptyPassReadsNothingAndShowsTheWholeBar) {
    platform::RecordingToolkit rec;
    platform::ScopedToolkit use(rec);
    _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
    struct Passes : JobObserver {
        std::vector<std::string> seen;
        void Progress(const char* pass, std::uint32_t bytes, std::uint32_t total) override {
            seen.push_back(std::string(pass) + " " + std::to_string(bytes) + "/" +
                           std::to_string(total));
        }
    } passes;
    SetJobObserver(&passes);
    ScriptedLine line;
    OpenAtSpeed(line);
    rec.ClearLog();

    std::uint32_t difference = 7;
    EXPECT_EQ(_mfl11_56VerifyFlash(0x800000, 0, nullptr, 1, &difference), 1);
    EXPECT_EQ(_mfl11_55ReadFlash(0x800000, 0, nullptr, 1), 1);
    SetJobObserver(nullptr);

    EXPECT_TRUE(line.Sent().empty());
    EXPECT_EQ(difference, 7u);
    EXPECT_EQ(passes.seen, (std::vector<std::string>{"verify 0/0", "read 0/0"}));
    std::vector<int> bar;
    for (const auto& c : rec.Calls("SetCtrlVal"))
        if (c.control == MAIN_PROGRESS_A || c.control == MAIN_PROGRESS_B) bar.push_back(c.value);
    EXPECT_EQ(bar, (std::vector<int>{100, 100, 100, 100}));
}

}  // namespace
}  // namespace vbc
