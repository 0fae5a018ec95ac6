// The boot of the phone and the flash identification on the scripted line: what the PC sends,
// how it reads the boot loader and the bootstrap, and every way a boot fails.
#include "link/mfl1boot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "link/mfl12pclib.h"
#include "platform/serial.h"
#include "testing/recordingtoolkit.h"
#include "testing/scriptedserial.h"
#include "tests/testutil.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::Bytes;
using platform::Hex;
using platform::RecordingToolkit;
using platform::ScopedToolkit;
using platform::ScriptedLine;
using Lines = std::vector<std::string>;
using ByteVec = std::vector<std::uint8_t>;

// A bootstrap image of n bytes that never holds 00, so the jump frame 60 00 cannot occur in it.
std::string Image(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(1 + i % 200));
    return s;
}

ByteVec Concat(std::initializer_list<ByteVec> parts) {
    ByteVec all;
    for (const ByteVec& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

ByteVec Of(const std::string& s) {
    return ByteVec(s.begin(), s.end());
}

// The main panel's comment list on a recording toolkit, the global context at its defaults
// and a scratch directory holding the bootstrap files.
class Boot : public ::testing::Test {
  protected:
    Boot() : use_(rec_) {
        ResetDownloadContext();
        _sg_FlashAddr = 0;
        _v_Panel = rec_.LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
    }
    ~Boot() override {
        platform::CloseAllPorts();
        ResetDownloadContext();
        _v_Panel = 0;
        _mv_NbCommentLine = 0;
    }

    Lines Comments() const { return rec_.ListLines(_v_Panel, MAIN_COMMENT_LIST); }
    DownloadContext& Ctx() { return _sg_DownloadContext; }
    DownloadResult Run() {
        DownloadResult r{-1, -1};
        _mfl1_0boot(&r, &_sg_DownloadContext);
        return r;
    }

    test::ScratchDir dir_;
    RecordingToolkit rec_;
    ScopedToolkit use_;
};

// A phone that announces itself when DTR goes up and answers the jump frame with reply.
class BootLine : public Boot {
  protected:
    void Phone(const std::string& announce, const std::string& afterJump) {
        line_.OnDtr([announce](ScriptedLine& l, bool on) {
            if (on && !announce.empty()) l.Send(announce);
        });
        if (!afterJump.empty()) line_.When("60 00", afterJump);
    }

    ScriptedLine line_;
};

const ByteVec kSetAddr0 = Bytes("00 03 00 00 00 00");
const ByteVec kJump = Bytes("60 00");
const std::string kGoodReply = "44 A0 02 05 C2 20 CA 03";
const Lines kGoodLines = {" SPM version:2.5 ", " Flash Device manufacturer 20  ",
                          " ST Flash Device Id ca  ", " ST M36DR864CB Flash ", " Extended bit: 3 "};

TEST_F(BootLine, ProductType1SendsWaitStatesBootstrapAndJump) {
    const std::string image = Image(300);
    test::WriteFile("mfl104_4.spm", image);
    Ctx().productType = 1;
    Ctx().comPort = 4;
    const std::uint8_t ws[4] = {2, 0, 1, 4};
    std::copy(ws, ws + 4, Ctx().csWaitStates);
    Phone("BE", kGoodReply);

    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultSuccess);
    EXPECT_EQ(r.code, 0);

    const ByteVec expected = Concat({Bytes("44"), Bytes("C6 82 96 00 C7 01 D7 84"), kSetAddr0,
                                     Bytes("41 2B"), Of(image), kSetAddr0, kJump});
    EXPECT_EQ(Hex(line_.Sent()), Hex(expected));
    // Boot line settings.
    ASSERT_EQ(line_.Opens().size(), 1u);
    EXPECT_EQ(line_.Opens()[0].deviceName, "COM4");
    EXPECT_EQ(line_.Opens()[0].settings.baudRate, 38400);
    EXPECT_EQ(line_.Opens()[0].settings.parity, kParityEven);
    EXPECT_EQ(line_.TimeoutMs(), 5000);
    // DTR goes up for the wait only: the answer 0x44 is the one thing sent while it is up.
    EXPECT_EQ(line_.DtrChanges(), (std::vector<bool>{false, true, false}));
    const auto& ev = line_.Events();
    const auto on = std::find(ev.begin(), ev.end(), "dtr on");
    ASSERT_NE(on, ev.end());
    EXPECT_EQ(std::vector<std::string>(on, on + 3),
              (std::vector<std::string>{"dtr on", "write 1", "dtr off"}));
    // The block's data goes out in one write.
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "write 300"), 1);

    EXPECT_EQ(Ctx().targetInfo[0], 0);
    EXPECT_EQ(Ctx().targetInfo[1], 0xBE);
    EXPECT_EQ(Ctx().targetInfo[2], 0x20);
    EXPECT_EQ(Ctx().targetInfo[3], 0xCA);
    EXPECT_EQ(_sg_FlashAddr, 0x200000u);
    EXPECT_EQ(Comments(), kGoodLines);
    EXPECT_EQ(rec_.ListIndex(_v_Panel, MAIN_COMMENT_LIST), 4);
    EXPECT_EQ(line_.Pending(), 0u);
    // The port stays open for the download.
    EXPECT_TRUE(line_.IsOpen());
    EXPECT_EQ(line_.Closes(), 0);
}

TEST_F(BootLine, ProductType2SendsFixedSequenceAndExtendedModeNeverWaitStates) {
    const std::string image = Image(8191);
    test::WriteFile("mfl104_5.spm", image);
    Ctx().productType = 2;
    const std::uint8_t ws[4] = {3, 3, 3, 3};
    std::copy(ws, ws + 4, Ctx().csWaitStates);
    Phone("BE", kGoodReply);

    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultSuccess);
    EXPECT_EQ(r.code, 0);
    const ByteVec expected =
        Concat({Bytes("44"), Bytes("86 42 56 02 07 00 07 80"), Bytes("00 03 FF FF 80 03"),
                Bytes("40 00 70"), kSetAddr0, Bytes("5F FE"), Of(image), kSetAddr0, kJump});
    EXPECT_EQ(Hex(line_.Sent()), Hex(expected));
    EXPECT_EQ(line_.Opens()[0].deviceName, "COM1");
    EXPECT_EQ(line_.DtrChanges(), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(_sg_FlashAddr, 0x800000u);
    Lines lines = {" Extended mode...  "};
    lines.insert(lines.end(), kGoodLines.begin(), kGoodLines.end());
    EXPECT_EQ(Comments(), lines);
}

TEST_F(BootLine, EmptyBootstrapSendsNoBlockFrame) {
    test::WriteFile("mfl104_4.spm", "");
    Ctx().productType = 1;
    Phone("BE", kGoodReply);
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, 0);
    EXPECT_EQ(Hex(line_.Sent()),
              Hex(Concat({Bytes("44 C6 80 96 00 C7 00 D7 80"), kSetAddr0, kSetAddr0, kJump})));
}

TEST_F(BootLine, NoiseBeforeTheAnswerByteIsSkipped) {
    test::WriteFile("mfl104_5.spm", Image(10));
    Phone("00 FF 44 BF 9C 12 BE", kGoodReply);
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultSuccess);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(Ctx().targetInfo[1], 0xBE);
    EXPECT_EQ(line_.Sent().front(), 0x44);
    EXPECT_EQ(std::count(line_.Sent().begin(), line_.Sent().end(), 0x44), 1);
}

// Nothing may reach the phone, and DTR never goes up, when the port or the file fails.
TEST_F(BootLine, PortAndBootstrapFileFailuresSendNothing) {
    struct Case {
        const char* what;
        int productType;
        int openError;
        std::size_t fileSize;  // 0: no file at all
        DownloadResult expected;
    };
    const Case cases[] = {
        {"port cannot open", 2, kComErrCannotOpen, 100, {5, kComErrCannotOpen}},
        {"port busy", 1, -5, 100, {5, -5}},
        {"no bootstrap file", 2, 0, 0, {5, 3}},
        {"8192 bytes", 2, 0, 8192, {5, 4}},
        {"8192 bytes, type 1", 1, 0, 8192, {5, 4}},
        {"product type 0", 0, 0, 100, {5, 3}},
        {"product type 3", 3, 0, 100, {5, 3}},
        {"product type -1", -1, 0, 100, {5, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScratchDir dir;
        ScriptedLine line;
        line.SetOpenError(c.openError);
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        ResetDownloadContext();
        Ctx().productType = c.productType;
        Ctx().targetInfo[1] = 0x77;
        if (c.fileSize) {
            test::WriteFile("mfl104_4.spm", Image(c.fileSize));
            test::WriteFile("mfl104_5.spm", Image(c.fileSize));
        }
        _mv_NbCommentLine = 0;
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, c.expected.category);
        EXPECT_EQ(r.code, c.expected.code);
        EXPECT_TRUE(line.Sent().empty());
        EXPECT_EQ(std::count(line.DtrChanges().begin(), line.DtrChanges().end(), true), 0);
        EXPECT_EQ(Ctx().targetInfo[1], 0x77);
        // A port that cannot be opened is explained in one line; nothing else is said.
        if (c.openError == kComErrCannotOpen) {
            ASSERT_EQ(_mv_NbCommentLine, 1);
            EXPECT_THAT(rec_.ListLines(_v_Panel, MAIN_COMMENT_LIST).back(),
                        ::testing::MatchesRegex(" COM1( \\(.*\\))?: cannot be opened "));
        } else {
            EXPECT_EQ(_mv_NbCommentLine, 0);
        }
        platform::CloseAllPorts();
    }
}

TEST_F(BootLine, SilentPhoneStillGetsTheAnswerThenTimeOut) {
    test::WriteFile("mfl104_5.spm", Image(10));
    const std::int64_t t0 = line_.Clock().NowMs();
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kNoAnswer);
    EXPECT_EQ(line_.Clock().NowMs() - t0, 5000);
    EXPECT_EQ(Hex(line_.Sent()), "44");
    EXPECT_EQ(line_.DtrChanges(), (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(line_.Dtr());
    EXPECT_EQ(Ctx().targetInfo[1], 0x9D);
    EXPECT_TRUE(Comments().empty());
    EXPECT_TRUE(line_.IsOpen());
}

TEST_F(BootLine, GenuineTimeOutByteIsTakenForATimeOut) {
    test::WriteFile("mfl104_5.spm", Image(10));
    Phone("12 9D BE", kGoodReply);
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kNoAnswer);
    EXPECT_EQ(Hex(line_.Sent()), "44");
    EXPECT_EQ(Ctx().targetInfo[1], 0x9D);
}

TEST_F(BootLine, LineDroppedDuringTheWaitEndsAsTimeOut) {
    test::WriteFile("mfl104_5.spm", Image(10));
    line_.OnDtr([](ScriptedLine& l, bool on) {
        if (on) l.Drop();
    });
    const std::int64_t t0 = line_.Clock().NowMs();
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kNoAnswer);
    EXPECT_EQ(Ctx().targetInfo[1], 0x9D);
    EXPECT_EQ(line_.Clock().NowMs(), t0);  // it did not even wait for a time-out
    EXPECT_TRUE(line_.Sent().empty());
}

TEST_F(BootLine, EndlessNoiseEndsTheWaitAfterAMinute) {
    test::WriteFile("mfl104_5.spm", Image(10));
    line_.OnDtr([](ScriptedLine& l, bool on) {
        if (!on) return;
        for (int i = 1; i <= 1000; ++i) l.SendAfter(100 * i, "55");
    });
    const std::int64_t t0 = line_.Clock().NowMs();
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kNoAnswer);
    EXPECT_EQ(Ctx().targetInfo[1], 0x9D);
    EXPECT_GE(line_.Clock().NowMs() - t0, 59'000);
    EXPECT_LE(line_.Clock().NowMs() - t0, 61'000);
    EXPECT_GT(line_.Pending(), 0u);
    EXPECT_EQ(Hex(line_.Sent()), "44");
}

// What arrives after the jump frame, up to the version.
TEST_F(BootLine, AcknowledgementFailures) {
    struct Case {
        std::string reply;
        std::int32_t code;
        int timeouts;  // reads that ran into the time-out
    };
    std::string noise256;
    for (int i = 0; i < 256; ++i) noise256 += "55 ";
    const Case cases[] = {
        {"", 0x000A019D, 2},          // silence: a second read after the first time-out
        {"55", 0x000A019D, 1},        // one further read
        {"55 55 55", 0x000A039D, 1},  // three further reads
        {"9D", 0x000A019D, 1},        // a genuine 0x9D first is read past
        {"55 9D 44", 0x000A019D, 0},  // ...but one after it ends the wait
        {noise256, 0x000A009D, 1},    // the count is 8 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 12));
        test::ScratchDir dir;
        ScriptedLine line;
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        line.When("60 00", c.reply);
        ResetDownloadContext();
        test::WriteFile("mfl104_5.spm", Image(10));
        const int lines = _mv_NbCommentLine;
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, 6);
        EXPECT_EQ(r.code, c.code) << std::hex << r.code;
        EXPECT_EQ(line.TimeoutsFired(), c.timeouts);
        EXPECT_EQ(Ctx().targetInfo[1], 0xBE);
        EXPECT_EQ(Ctx().targetInfo[2], 0);
        EXPECT_EQ(_mv_NbCommentLine - lines, 1);  // "Extended mode... " only
        EXPECT_FALSE(line.Dtr());
        platform::CloseAllPorts();
    }
}

TEST_F(BootLine, AcknowledgementAfterAFirstTimeOutOrLeftoverBytes) {
    struct Case {
        std::string reply;
        int delayMs;
    };
    for (const Case& c : {Case{kGoodReply, 6000}, Case{"BE BE 12 " + kGoodReply, 0}}) {
        SCOPED_TRACE(c.reply);
        test::ScratchDir dir;
        ScriptedLine line;
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        // A slow bootstrap answers after one time-out; announcements may still be queued.
        line.When("60 00", c.reply, c.delayMs);
        ResetDownloadContext();
        test::WriteFile("mfl104_5.spm", Image(10));
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, ResultSuccess);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(Ctx().targetInfo[3], 0xCA);
        EXPECT_EQ(line.Pending(), 0u);
        platform::CloseAllPorts();
    }
}

TEST_F(BootLine, LineDroppedAfterTheJumpEndsTheAcknowledgementWait) {
    test::WriteFile("mfl104_5.spm", Image(10));
    Phone("BE", "");
    line_.OnPcBytes([](ScriptedLine& l, std::span<const std::uint8_t>) {
        const auto& s = l.Sent();
        if (s.size() >= 2 && s[s.size() - 2] == 0x60 && s.back() == 0x00) l.Drop();
    });
    const std::int64_t t0 = line_.Clock().NowMs();
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, 6);
    // Two reads that found the line gone, counted as two time-outs would be.
    EXPECT_EQ(r.code, 0x000A019D);
    EXPECT_EQ(line_.Clock().NowMs(), t0);
}

TEST_F(BootLine, EndlessNoiseEndsTheAcknowledgementWaitAfterAMinute) {
    test::WriteFile("mfl104_5.spm", Image(10));
    Phone("BE", "");
    line_.OnPcBytes([](ScriptedLine& l, std::span<const std::uint8_t>) {
        const auto& s = l.Sent();
        if (s.size() >= 2 && s[s.size() - 2] == 0x60 && s.back() == 0x00) {
            for (int i = 1; i <= 1000; ++i) l.SendAfter(100 * i, "55");
        }
    });
    const DownloadResult r = Run();
    EXPECT_EQ(r.category, 6);
    // About 600 further reads (one every 100 ms) in an 8-bit count, ended as a time-out.
    EXPECT_EQ(r.code & 0xFFFF00FF, 0x000A009D) << std::hex << r.code;
    EXPECT_GT(line_.Pending(), 0u);
}

TEST_F(BootLine, TargetErrorAfterTheAcknowledgement) {
    struct Case {
        const char* reply;
        const char* line;
    };
    for (Case c : {Case{"44 55", " Target error:55 "}, Case{"44", " Target error:9d "},
                   Case{"44 0A A0", " Target error:a "}}) {
        SCOPED_TRACE(c.reply);
        test::ScratchDir dir;
        ScriptedLine line;
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        line.When("60 00", c.reply);
        ResetDownloadContext();
        test::WriteFile("mfl104_5.spm", Image(10));
        const std::size_t before = Comments().size();
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, ResultBoot);
        EXPECT_EQ(r.code, BootCode::kBadVersionMarker);
        const Lines all = Comments();
        ASSERT_EQ(all.size(), before + 2);
        EXPECT_EQ(all[before], " Extended mode...  ");
        EXPECT_EQ(all[before + 1], c.line);
        platform::CloseAllPorts();
    }
}

TEST_F(BootLine, VersionBytesAreNotTestedForATimeOut) {
    test::WriteFile("mfl104_5.spm", Image(10));
    Phone("BE", "44 A0");
    const DownloadResult r = Run();
    // The identification then finds silence where 0xC2 should be.
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kBadIdentificationAck);
    EXPECT_EQ(Comments(), (Lines{" Extended mode...  ", " SPM version:157.157 "}));
}

TEST_F(BootLine, IdentificationFailureBecomesBootCategory) {
    struct Case {
        const char* ident;
        std::int32_t code;
    };
    for (Case c : {Case{"00", 12}, Case{"C2", 13}, Case{"C2 55 77", 15}}) {
        SCOPED_TRACE(c.ident);
        test::ScratchDir dir;
        ScriptedLine line;
        line.OnDtr([](ScriptedLine& l, bool on) {
            if (on) l.Send("BE");
        });
        line.When("60 00", std::string("44 A0 01 00 ") + c.ident);
        ResetDownloadContext();
        test::WriteFile("mfl104_5.spm", Image(10));
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, 6);
        EXPECT_EQ(r.code, c.code);
        platform::CloseAllPorts();
    }
}

// ---- the frames and the configuration on their own ----

class Frames : public Boot {
  protected:
    Frames() { EXPECT_EQ(_mfl12_0UartInit(2, 38400, 2, 5), 1); }
    ScriptedLine line_;
};

TEST_F(Frames, BlockHeaderHoldsLengthMinusOne) {
    struct Case {
        std::int32_t length;
        const char* header;  // nullptr: nothing at all is sent
    };
    const std::string data = Image(8192);
    for (Case c : {Case{1, "40 00"}, Case{2, "40 01"}, Case{256, "40 FF"}, Case{257, "41 00"},
                   Case{4096, "4F FF"}, Case{8191, "5F FE"}, Case{0, nullptr}, Case{8192, nullptr},
                   Case{-1, nullptr}}) {
        SCOPED_TRACE(c.length);
        line_.TakeSent();
        _mfl1_51DownloadBlock(2, reinterpret_cast<const std::uint8_t*>(data.data()), c.length);
        if (!c.header) {
            EXPECT_TRUE(line_.Sent().empty());
            continue;
        }
        EXPECT_EQ(Hex(line_.Sent()), Hex(Concat({Bytes(c.header), Of(data.substr(0, c.length))})));
    }
}

TEST_F(Frames, SetAddressIsBigEndianAndJumpIsTwoBytes) {
    _mfl1_50SetStartAddr(2, 0xFFFF8003);
    _mfl1_50SetStartAddr(2, 0x00012345);
    _mfl1_52JumpToStartAddress(2);
    EXPECT_EQ(Hex(line_.Sent()), "00 03 FF FF 80 03 00 03 00 01 23 45 60 00");
}

TEST_F(Frames, WaitStatesAreMaskedToThreeBits) {
    const std::uint8_t ws[4] = {0x0F, 0xFF, 0x08, 7};
    std::copy(ws, ws + 4, Ctx().csWaitStates);
    const std::uint8_t image[1] = {0xAB};
    EXPECT_EQ(_mfl1_1ConfigurationBootstrap(2, 1, image, 1), 1);
    EXPECT_EQ(Hex(line_.Sent()),
              "C6 87 96 07 C7 00 D7 87 00 03 00 00 00 00 40 00 AB 00 03 00 00 00 00 60 00");
    EXPECT_TRUE(Comments().empty());
}

TEST_F(Frames, OtherProductTypesAreRefusedWithNothingSent) {
    const std::uint8_t image[1] = {0xAB};
    for (std::int32_t type : {0, 3, -1, 100}) {
        EXPECT_EQ(_mfl1_1ConfigurationBootstrap(2, type, image, 1), 9);
    }
    EXPECT_TRUE(line_.Sent().empty());
    EXPECT_TRUE(Comments().empty());
}

TEST(BootCoherence, AnswerByteThenProductType) {
    struct Case {
        std::uint8_t answer;
        std::int32_t type;
        std::int32_t expected;
    };
    for (Case c : {Case{0xBE, 1, 1}, Case{0xBE, 2, 1}, Case{0xBE, 0, 7}, Case{0xBE, 3, 7},
                   Case{0xBE, -1, 7}, Case{0x9D, 1, 8}, Case{0x00, 2, 8}, Case{0xBF, 0, 8}}) {
        EXPECT_EQ(_mfl1_2BootCoherence(c.answer, c.type), c.expected)
            << int(c.answer) << " " << c.type;
    }
}

// ---- the bootstrap file ----

TEST_F(Boot, LoadSpmFileReadsUpTo8191Bytes) {
    struct Case {
        std::int32_t productType;
        const char* file;
        std::size_t size;
        std::int32_t expected;
        std::uint32_t flashAddr;
    };
    const Case cases[] = {
        {1, "mfl104_4.spm", 8191, 1, 0x200000}, {2, "mfl104_5.spm", 8191, 1, 0x800000},
        {2, "mfl104_5.spm", 1, 1, 0x800000},    {1, "mfl104_4.spm", 0, 1, 0x200000},
        {1, "mfl104_4.spm", 8192, 4, 0x200000}, {2, "mfl104_5.spm", 100000, 4, 0x800000},
        {1, "mfl104_5.spm", 10, 3, 0x200000},  // the other type's file does not count
        {2, "MFL104_5.SPM", 10, 3, 0x800000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.size));
        test::ScratchDir dir;
        const std::string image = Image(c.size);
        test::WriteFile(c.file, image);
        std::vector<std::uint8_t> buffer(SPM_BUFFER_SIZE, 0xEE);
        std::int32_t length = -7;
        _sg_FlashAddr = 0;
        EXPECT_EQ(_mfl12_4LoadSpmFile(&length, buffer.data(), c.productType), c.expected);
        EXPECT_EQ(_sg_FlashAddr, c.flashAddr);
        if (c.expected == 1) {
            EXPECT_EQ(length, static_cast<std::int32_t>(c.size));
            EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), image);
            EXPECT_EQ(buffer[c.size], 0xEE);
        } else {
            EXPECT_EQ(length, -7);
        }
    }
}

TEST_F(Boot, LoadSpmFileHasNoFileForOtherProductTypes) {
    test::WriteFile("mfl104_4.spm", "x");
    test::WriteFile("mfl104_5.spm", "x");
    for (std::int32_t type : {0, 3, -1}) {
        std::uint8_t buffer[SPM_BUFFER_SIZE];
        std::int32_t length = -7;
        _sg_FlashAddr = 0x1234;
        EXPECT_EQ(_mfl12_4LoadSpmFile(&length, buffer, type), 3);
        EXPECT_EQ(_sg_FlashAddr, 0x1234u);
        EXPECT_EQ(length, -7);
    }
}

TEST_F(Boot, LoadSpmFileRefusesWhatCannotBeRead) {
    // A directory opens on some systems but reads nothing: it is not an empty bootstrap.
    std::filesystem::create_directory("mfl104_5.spm");
    std::uint8_t buffer[SPM_BUFFER_SIZE];
    std::int32_t length = -7;
    EXPECT_EQ(_mfl12_4LoadSpmFile(&length, buffer, 2), 3);
    EXPECT_EQ(length, -7);
}

// ---- the flash identification ----

// A line that answers reads from a list of results (bytes, time-outs or faults), then
// fails every read as a port that has gone.
class ReadList : public platform::SerialProvider {
  public:
    explicit ReadList(std::vector<int> reads) : reads_(reads.begin(), reads.end()) {
        platform::SetSerialProvider(this);
    }
    ~ReadList() override { platform::SetSerialProvider(nullptr); }
    int Reads() const { return reads_count_; }

    std::unique_ptr<platform::SerialDevice> Open(int, const std::string&,
                                                 const platform::LineSettings&, int*) override {
        return std::make_unique<Device>(this);
    }

  private:
    struct Device : platform::SerialDevice {
        explicit Device(ReadList* l) : list(l) {}
        int Configure(const platform::LineSettings&) override { return 0; }
        int SetDtr(bool) override { return 0; }
        int SetHardwareHandshake(bool) override { return 0; }
        int SetSoftwareFlowControl(bool) override { return 0; }
        int SetTimeoutMs(int) override { return 0; }
        int FlushInput() override { return 0; }
        int FlushOutput() override { return 0; }
        int Write(const std::uint8_t*, std::size_t count) override {
            return static_cast<int>(count);
        }
        int ReadByte(int) override {
            ++list->reads_count_;
            if (list->reads_.empty()) return kComErrUnknown;
            const int v = list->reads_.front();
            list->reads_.pop_front();
            return v;
        }
        int InputQueueLength() override { return 0; }
        int OutputQueueLength() override { return 0; }
        int WaitInput(int) override { return 0; }
        int WaitOutputEmpty(int) override { return 0; }
        ReadList* list;
    };
    std::deque<int> reads_;
    int reads_count_ = 0;
};

class Identification : public Boot {
  protected:
    Identification() {
        Ctx().comPort = 3;
        Ctx().targetInfo[0] = 0x11;
        Ctx().targetInfo[1] = 0xBE;
        Ctx().targetInfo[2] = 0x5A;
        Ctx().targetInfo[3] = 0x5A;
    }
};

TEST_F(Identification, ReplyDecidesTheLinesTheStoredCodesAndTheBytesRead) {
    struct Case {
        const char* reply;
        std::int32_t expected;
        std::uint8_t manufacturer;
        std::uint8_t device;
        Lines lines;
        std::size_t left;  // bytes of the reply not read
    };
    const std::string m = " Flash Device manufacturer ";
    const std::string st = " ST Flash Device Id ";
    const Case cases[] = {
        {"C2 20 CA 03 77",
         1,
         0x20,
         0xCA,
         {m + "20  ", st + "ca  ", " ST M36DR864CB Flash ", " Extended bit: 3 "},
         1},
        {"C2 89 64 07",
         1,
         0x89,
         0x64,
         {m + "89  ", st + "64  ", " INTEL 28F640W18 Flash ", " Extended bit: 7 "},
         0},
        {"C2 20 10 FF",
         1,
         0x20,
         0x10,
         {m + "20  ", st + "10  ", " ST M58WR064ET Flash ", " Extended bit: ff "},
         0},
        {"C2 89 CA 00",
         1,
         0x89,
         0xCA,
         {m + "89  ", st + "ca  ", " ST M36DR864CB Flash ", " Extended bit: 0 "},
         0},
        {"C2 20 22 77", 1, 0x20, 0x22, {m + "20  ", st + "22  "}, 1},
        {"C2 01 E3 77", 1, 0x01, 0xE3, {m + "1  "}, 0},
        {"C2 01 E4 77", 1, 0x01, 0xE4, {m + "1  "}, 0},
        {"C2 01 22 77", 1, 0x01, 0x22, {m + "1  "}, 1},
        {"C2 2C B6 77", 1, 0x2C, 0xB6, {m + "2c  "}, 0},
        {"C2 2C B7 77", 1, 0x2C, 0xB7, {m + "2c  "}, 1},
        {"C2 04 E3 77", 1, 0x04, 0xE3, {m + "4  "}, 1},
        {"C2 07 CA 77", 1, 0x07, 0xCA, {m + "7  "}, 1},
        {"C2 98 B6 77", 1, 0x98, 0xB6, {m + "98  "}, 1},
        // Failures: what was read stays, the rest keeps its earlier value.
        {"00 20 CA", 12, 0x5A, 0x5A, {}, 2},
        {"", 12, 0x5A, 0x5A, {}, 0},
        {"C2", 13, 0x9D, 0x5A, {}, 0},
        {"C2 9D 10", 13, 0x9D, 0x5A, {}, 1},
        {"C2 55 77", 15, 0x55, 0x5A, {m + "55  "}, 1},
        {"C2 00 77", 15, 0x00, 0x5A, {m + "0  "}, 1},
        // Time-outs after the manufacturer code are not tested.
        {"C2 20", 1, 0x20, 0x9D, {m + "20  ", st + "9d  "}, 0},
        {"C2 20 CA",
         1,
         0x20,
         0xCA,
         {m + "20  ", st + "ca  ", " ST M36DR864CB Flash ", " Extended bit: 9d "},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedLine line;
        ASSERT_EQ(_mfl12_0UartInit(3, 38400, 2, 5), 1);
        line.Send(c.reply);
        Ctx().targetInfo[2] = 0x5A;
        Ctx().targetInfo[3] = 0x5A;
        const std::size_t before = Comments().size();
        EXPECT_EQ(_mfl1_3GetTypeFlash(&Ctx()), c.expected);
        EXPECT_EQ(Ctx().targetInfo[0], 0x11);
        EXPECT_EQ(Ctx().targetInfo[1], 0xBE);
        EXPECT_EQ(Ctx().targetInfo[2], c.manufacturer);
        EXPECT_EQ(Ctx().targetInfo[3], c.device);
        const Lines all = Comments();
        EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), c.lines);
        EXPECT_EQ(line.Pending(), c.left);
        EXPECT_TRUE(line.Sent().empty());
        platform::CloseAllPorts();
    }
}

TEST_F(Identification, LineGoneIsAFailureNeverASuccess) {
    struct Case {
        std::vector<int> reads;  // then the port is gone
        std::int32_t expected;
        std::uint8_t manufacturer;
        std::uint8_t device;
        int reads_made;
    };
    const Case cases[] = {
        {{}, 12, 0x5A, 0x5A, 1},
        {{0xC2}, 13, 0x9D, 0x5A, 2},
        {{0xC2, 0x20}, 13, 0x20, 0x5A, 3},
        {{0xC2, 0x20, 0xCA}, 13, 0x20, 0xCA, 4},
        {{0xC2, 0x01, 0xE3}, 13, 0x01, 0xE3, 4},
        {{0xC2, 0x20, 0x22}, 1, 0x20, 0x22, 3},  // nothing more was to be read
        {{0xC2, 0x20, kComTimeout}, 1, 0x20, 0x9D, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reads.size());
        ReadList line(c.reads);
        ASSERT_EQ(_mfl12_0UartInit(3, 38400, 2, 5), 1);
        Ctx().targetInfo[2] = 0x5A;
        Ctx().targetInfo[3] = 0x5A;
        EXPECT_EQ(_mfl1_3GetTypeFlash(&Ctx()), c.expected);
        EXPECT_EQ(Ctx().targetInfo[2], c.manufacturer);
        EXPECT_EQ(Ctx().targetInfo[3], c.device);
        EXPECT_EQ(line.Reads(), c.reads_made);
        platform::CloseAllPorts();
    }
}

// The whole boot on a line that goes at a chosen read: every wait ends.
TEST_F(Boot, PortGoneAtAnyReadEndsTheBoot) {
    test::WriteFile("mfl104_5.spm", Image(10));
    const std::vector<int> good = {0xBE, 0x44, 0xA0, 0x02, 0x05, 0xC2, 0x20, 0xCA, 0x03};
    struct Case {
        std::size_t goneAt;  // reads answered before the port goes
        DownloadResult expected;
        std::uint8_t answer;
    };
    const Case cases[] = {
        {0, {6, 4}, 0x9D},  {1, {6, 0x000A019D}, 0xBE}, {2, {6, 11}, 0xBE},
        {3, {6, 12}, 0xBE}, {5, {6, 12}, 0xBE},         {6, {6, 13}, 0xBE},
        {7, {6, 13}, 0xBE}, {8, {6, 13}, 0xBE},         {9, {0, 0}, 0xBE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.goneAt);
        ReadList line(std::vector<int>(good.begin(), good.begin() + c.goneAt));
        ResetDownloadContext();
        const DownloadResult r = Run();
        EXPECT_EQ(r.category, c.expected.category);
        EXPECT_EQ(r.code, c.expected.code) << std::hex << r.code;
        EXPECT_EQ(Ctx().targetInfo[1], c.answer);
        // A few single reads past the point where the port went (the version bytes are read
        // whatever comes), never a loop.
        EXPECT_LE(line.Reads(), static_cast<int>(c.goneAt) + 3);
        platform::CloseAllPorts();
    }
}

}  // namespace
}  // namespace vbc
