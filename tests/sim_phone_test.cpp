// The simulated phone driven in memory: what the PC sends, what the phone must answer.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "sim/minipc.h"
#include "sim/phone.h"

namespace vbc::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Sectors 0-1 of 64 KiB, then 4 of 8 KiB in bank 1: 160 KiB.
FlashDescription SmallFlash() {
    FlashDescription d{};
    d.manufacturerId = 0x20;
    d.deviceId = 0xCA;
    d.sectorCount = 6;
    for (int s = 0; s < 6; ++s)
        d.sectors[s] = {static_cast<std::uint8_t>(s < 2 ? 0 : 1), s < 2 ? 0x10000u : 0x2000u};
    return d;
}

Bytes Be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

std::uint32_t Sum(const Bytes& b) {
    return std::accumulate(b.begin(), b.end(), 0u);
}

Bytes SectorCommand(std::uint32_t size, std::uint32_t address, std::uint32_t length) {
    return Cat({{0xEA}, Be32(size), Be32(address), Be32(length)});
}

const Bytes kSpm = {0x12, 0x34, 0x56, 0x78, 0x9A};
const std::uint8_t kWaitStates[4] = {2, 0, 1, 4};
// What the bootstrap says after the jump with the default options below.
const Bytes kBootReply = {0x44, 0xA0, 0x02, 0x05, 0xC2, 0x20, 0xCA, 0x03};

class PhoneTest : public ::testing::Test {
  protected:
    PhoneTest() {
        options.extension = 0x03;
        options.pmuByte = 0x5A;
    }

    // The PC answers the first announcement with 0x44 and then says all of pc at once.
    void PcAnswers(const Bytes& pc) {
        line.onWrite = [this, pc](MemoryChannel& ch, const std::uint8_t* d, std::size_t n) {
            if (!answered_ && n == 1 && d[0] == options.answerByte) {
                answered_ = true;
                ch.Feed({0x44});
                ch.Feed(pc);
                ch.FeedHangup();
            }
        };
    }

    // The boot frames of a product type, then the commands.
    void PcBootsThen(int productType, const Bytes& commands) {
        PcAnswers(Cat({MiniPc::BootFrames(productType, kSpm, kWaitStates), commands}));
    }

    JobReport Run() {
        Phone phone(options, &flash);
        return phone.RunJob(line, 1);
    }

    // What the phone sent after the boot (announcement and boot reply checked on the way).
    Bytes AfterBoot() {
        const Bytes& s = line.Sent();
        const Bytes head = Cat({{options.answerByte}, kBootReply});
        EXPECT_GE(s.size(), head.size());
        if (s.size() < head.size()) return {};
        EXPECT_EQ(Bytes(s.begin(), s.begin() + static_cast<long>(head.size())), head);
        return Bytes(s.begin() + static_cast<long>(head.size()), s.end());
    }

    Bytes FlashBytes(std::uint32_t offset, std::uint32_t n) {
        Bytes b(n);
        EXPECT_TRUE(flash.Read(offset, b.data(), n));
        return b;
    }

    PhoneOptions options;
    FlashDescription description = SmallFlash();
    FlashMemory flash{description};
    MemoryChannel line;

  private:
    bool answered_ = false;
};

// ---- ROM boot loader ---------------------------------------------------------------

TEST_F(PhoneTest, ProductType1BootRecordsWaitStatesImageAndBase) {
    // Wait states 2, 0, 1, 4 travel as C6 82 96 00 C7 01 D7 84.
    PcAnswers(Cat({{0xC6, 0x82, 0x96, 0x00, 0xC7, 0x01, 0xD7, 0x84},
                   {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x40, 0x04},
                   kSpm,
                   {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}}));
    const JobReport r = Run();
    EXPECT_EQ(line.Sent(), Cat({{0xBE}, kBootReply}));
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.productType, 1);
    EXPECT_EQ(Bytes(r.waitStates, r.waitStates + 4), Bytes({2, 0, 1, 4}));
    EXPECT_FALSE(r.extendedMode);
    EXPECT_EQ(r.bootImage, kSpm);
    EXPECT_EQ(r.jumpAddress, 0u);
    EXPECT_EQ(r.flashBase, kFlashBaseType1);
    EXPECT_TRUE(r.bootstrapRunning);
    EXPECT_TRUE(r.notes.empty()) << r.notes.front();
}

TEST_F(PhoneTest, ProductType2BootNeedsFixedSequenceAndExtendedMode) {
    PcAnswers(Cat({{0x86, 0x42, 0x56, 0x02, 0x07, 0x00, 0x07, 0x80},
                   {0x00, 0x03, 0xFF, 0xFF, 0x80, 0x03, 0x40, 0x00, 0x70},
                   {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x40, 0x04},
                   kSpm,
                   {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}}));
    const JobReport r = Run();
    EXPECT_EQ(line.Sent(), Cat({{0xBE}, kBootReply}));
    EXPECT_EQ(r.productType, 2);
    EXPECT_TRUE(r.extendedMode);
    EXPECT_EQ(r.flashBase, kFlashBaseType2);
    EXPECT_EQ(r.bootImage, kSpm);
}

TEST_F(PhoneTest, LargestBlockFrameLoadsAll8191Bytes) {
    const Bytes spm = Pattern(8191, 9);
    const Bytes frames = MiniPc::BootFrames(1, spm, kWaitStates);
    // Header 5F FE right after the configuration and the first set-address frame.
    ASSERT_EQ(frames[14], 0x5F);
    ASSERT_EQ(frames[15], 0xFE);
    PcAnswers(frames);
    const JobReport r = Run();
    EXPECT_EQ(r.bootImage, spm);
    EXPECT_TRUE(r.bootstrapRunning);
}

struct RefusalCase {
    const char* name;
    Bytes frames;  // everything after the 0x44
    bool checkSpm;
    const char* reasonPart;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class BootRefusal : public PhoneTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(BootRefusal, BootstrapStaysSilent) {
    const RefusalCase& c = GetParam();
    options.checkSpm = c.checkSpm;
    options.expectedSpm = {0x12, 0x34, 0x56, 0x78, 0x9B};
    // A command after the jump must not be answered either.
    PcAnswers(Cat({c.frames, {0xE8}}));
    const JobReport r = Run();
    EXPECT_EQ(line.Sent(), Bytes({0xBE}));
    EXPECT_FALSE(r.bootstrapRunning);
    EXPECT_NE(r.bootRefusal.find(c.reasonPart), std::string::npos) << r.bootRefusal;
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
}

const Bytes kJumpTail = {0x00, 0x03, 0,    0,    0, 0, 0x40, 0x04, 0x12, 0x34, 0x56,
                         0x78, 0x9A, 0x00, 0x03, 0, 0, 0,    0,    0x60, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Phone, BootRefusal,
    ::testing::Values(
        RefusalCase{"type2WithoutExtendedMode",
                    Cat({{0x86, 0x42, 0x56, 0x02, 0x07, 0x00, 0x07, 0x80}, kJumpTail}), false,
                    "neither product type"},
        RefusalCase{"mixedConfiguration",
                    Cat({{0xC6, 0x80, 0x96, 0x00, 0xC7, 0x00, 0xD7, 0x80, 0x86, 0x42}, kJumpTail}),
                    false, "not a boot-loader frame: 86"},
        RefusalCase{"wrongType2Sequence",
                    Cat({{0x86, 0x42, 0x56, 0x02, 0x07, 0x01, 0x07, 0x80}, kJumpTail}), false,
                    "not a boot-loader frame: 86 42 56 02 07 01"},
        RefusalCase{"missingChipSelect", Cat({{0xC6, 0x80, 0x96, 0x00, 0xC7, 0x00}, kJumpTail}),
                    false, "neither product type"},
        RefusalCase{"spmDiffers",
                    Cat({{0xC6, 0x80, 0x96, 0x00, 0xC7, 0x00, 0xD7, 0x80}, kJumpTail}), true,
                    "first difference at byte 4"},
        RefusalCase{
            "nothingLoaded",
            {0xC6, 0x80, 0x96, 0x00, 0xC7, 0x00, 0xD7, 0x80, 0x00, 0x03, 0, 0, 0, 0, 0x60, 0x00},
            false,
            "nothing was loaded"},
        RefusalCase{
            "unknownFrame", {0xC6, 0x80, 0x33, 0x00}, false, "not a boot-loader frame: 33"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PhoneTest, AnnouncesUntilAnsweredAndSkipsOtherBytes) {
    options.answerByte = 0xBF;
    int announcements = 0;
    line.onWrite = [&](MemoryChannel& ch, const std::uint8_t* d, std::size_t n) {
        if (n == 1 && d[0] == 0xBF && ++announcements == 3) {
            ch.Feed({0x13, 0x44});  // a stray byte first: the boot loader skips it
            ch.Feed(MiniPc::BootFrames(1, kSpm, kWaitStates));
            ch.FeedHangup();
        }
    };
    const JobReport r = Run();
    // The stray byte costs one more announcement before the 0x44 is read.
    EXPECT_EQ(line.Sent(), Cat({{0xBF, 0xBF, 0xBF, 0xBF}, kBootReply}));
    EXPECT_TRUE(r.bootstrapRunning);
}

TEST_F(PhoneTest, NoiseComesOnceBeforeTheFirstAnswerByte) {
    options.faults.noiseBytes = 40;
    PcBootsThen(1, {});
    Run();
    const Bytes& s = line.Sent();
    ASSERT_EQ(s.size(), 40u + 1 + kBootReply.size());
    for (int i = 0; i < 40; ++i) {
        EXPECT_NE(s[i], 0xBE);
        EXPECT_NE(s[i], 0x9D);  // a PC takes it for a time-out
        EXPECT_NE(s[i], 0x44);
    }
    EXPECT_EQ(s[40], 0xBE);
}

TEST_F(PhoneTest, NeverAnsweringPhoneSaysNothingAtAll) {
    options.faults.neverAnswer = true;
    line.Feed({0x44});
    line.Feed(MiniPc::BootFrames(1, kSpm, kWaitStates));
    line.FeedHangup();
    const JobReport r = Run();
    EXPECT_TRUE(line.Sent().empty());
    EXPECT_FALSE(r.answered);
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
}

TEST_F(PhoneTest, NoPcNoJob) {
    line.idleLimitMs = 1000;
    line.SetPeerPresent(false);
    const JobReport r = Run();
    EXPECT_EQ(r.end, JobEnd::kNotStarted);
    EXPECT_TRUE(line.Sent().empty());  // nobody to announce to
}

TEST_F(PhoneTest, PcClosingBeforeSayingAnythingIsNoJob) {
    line.idleLimitMs = 1000;
    line.FeedHangup();
    EXPECT_EQ(Run().end, JobEnd::kNotStarted);
}

// ---- bootstrap: version and identification -----------------------------------------

struct IdentCase {
    std::uint8_t man, dev;
    bool extension;
};

void PrintTo(const IdentCase& c, std::ostream* os) {
    *os << std::hex << int(c.man) << ":" << int(c.dev);
}

class Identification : public PhoneTest, public ::testing::WithParamInterface<IdentCase> {};

TEST_P(Identification, ExtensionByteOnlyForTheDevicesThatHaveOne) {
    const IdentCase& c = GetParam();
    options.manufacturer = c.man;
    options.device = c.dev;
    options.extension = 0x07;
    PcBootsThen(1, {});
    Run();
    Bytes expect = {0xBE, 0x44, 0xA0, 0x02, 0x05, 0xC2, c.man, c.dev};
    if (c.extension) expect.push_back(0x07);
    EXPECT_EQ(line.Sent(), expect);
}

INSTANTIATE_TEST_SUITE_P(
    Phone, Identification,
    ::testing::Values(IdentCase{0x2C, 0xB6, true}, IdentCase{0x2C, 0x20, false},
                      IdentCase{0x01, 0xE3, true}, IdentCase{0x01, 0xE4, true},
                      IdentCase{0x01, 0x22, false}, IdentCase{0x20, 0xCA, true},
                      IdentCase{0x89, 0x64, true}, IdentCase{0x20, 0x10, true},
                      IdentCase{0x89, 0x11, false}, IdentCase{0x98, 0x5D, false},
                      IdentCase{0x55, 0x10, false}));

TEST_F(PhoneTest, WrongFirstIdentificationByteAndOtherVersion) {
    options.identByte = 0x00;
    options.versionMajor = 3;
    options.versionMinor = 17;
    PcBootsThen(1, {});
    Run();
    EXPECT_EQ(line.Sent(), Bytes({0xBE, 0x44, 0xA0, 3, 17, 0x00, 0x20, 0xCA, 0x03}));
}

TEST_F(PhoneTest, SilentAfterJump) {
    options.faults.silentAfterJump = true;
    PcBootsThen(1, {0xE8});
    const JobReport r = Run();
    EXPECT_EQ(line.Sent(), Bytes({0xBE}));
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
}

// ---- command set -------------------------------------------------------------------

TEST_F(PhoneTest, ChangeSpeedAcceptsTheExampleFrameAndRunsAtTheNewRate) {
    PcBootsThen(1, {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9, 0xE8});
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xC0, 0xC3, 0x00, 0xCA, 0xC0}));
    EXPECT_EQ(r.speedChanges, 1);
    EXPECT_EQ(r.phoneRate, 116071);  // within 1 % of the PC's 115200
    EXPECT_EQ(line.BitsPerByte(), 10);
    EXPECT_EQ(r.end, JobEnd::kSwitchedOff);
}

TEST_F(PhoneTest, ChangeSpeedRefusesAWrongSumAndKeepsTheBootLine) {
    PcBootsThen(1, {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF9});
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xC0, 0xC3, 0x01}));
    EXPECT_EQ(r.speedChanges, 0);
    EXPECT_EQ(r.phoneRate, 38400);
    EXPECT_EQ(line.BitsPerByte(), 11);
}

TEST_F(PhoneTest, BadSpeedVerdictOnChosenAttempts) {
    options.faults.badSpeedVerdict.Add(1);
    options.faults.badSpeedVerdict.Add(3);
    const Bytes change = {0xE0, 0x00, 0xFF, 0xFB, 0x01, 0xFA};
    PcBootsThen(1, Cat({change, change, change}));
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xC0, 0xC3, 0x01, 0xC0, 0xC3, 0x00, 0xC0, 0xC3, 0x01}));
    EXPECT_EQ(r.phoneRate, 162500);
}

TEST_F(PhoneTest, SpeedControlGpioPmuAndSwitchOff) {
    PcBootsThen(1, {0xE9, 0xEB, 0xEF, 0xE8, 0xE9});
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xCA, 0xC0, 0xC9, 0xC0, 0xCF, 0x5A, 0xC0}));
    EXPECT_EQ(r.end, JobEnd::kSwitchedOff);  // nothing after the switch-off is answered
}

TEST_F(PhoneTest, FaultsOnSpeedControlAndSwitchOff) {
    options.faults.noSpeedControl = true;
    options.faults.noSwitchOffAnswer = true;
    PcBootsThen(1, {0xE9, 0xE9, 0xEB, 0xE8});
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xC0, 0xC9}));
    EXPECT_EQ(r.end, JobEnd::kSwitchedOff);
}

TEST_F(PhoneTest, UnknownCommandIsIgnored) {
    PcBootsThen(1, {0x77, 0xE9});
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xCA}));
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0], "unknown command byte 0x77 ignored");
}

TEST_F(PhoneTest, LineMismatchIsNoted) {
    line.SetPcLineRate(38400);
    // The PC never reopens at the new rate.
    PcBootsThen(1, {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9});
    const JobReport r = Run();
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0],
              "line mismatch: the PC sends at 38400 bit/s while the phone runs at 116071 bit/s");
}

// ---- sector download ---------------------------------------------------------------

TEST_F(PhoneTest, SectorFrameExampleProgramsTheData) {
    // Old content in the sector must not survive: the bootstrap erases it first.
    const Bytes old(0x10000, 0x0F);
    ASSERT_TRUE(flash.Program(0, old.data(), old.size()));
    const Bytes data = Pattern(0x8000, 1);
    const Bytes command = {0xEA, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20,
                           0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
    PcBootsThen(1, Cat({command, data, {0xE8}}));
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Cat({{0xCB, 0xCC}, Le32(Sum(data)), {0xC0}}));
    EXPECT_EQ(FlashBytes(0, 0x8000), data);
    EXPECT_EQ(FlashBytes(0x8000, 0x8000 + 0x28000 - 0x10000), Bytes(0x20000, 0xFF));
    EXPECT_EQ(r.sectorWrites, 1);
    EXPECT_EQ(r.sectorsWritten, 1);
    EXPECT_EQ(r.bytesWritten, 0x8000u);
    EXPECT_EQ(r.bytesReceived, 0x8000u);
}

TEST_F(PhoneTest, SectorsOfProductType2AreAddressedFromItsBase) {
    const Bytes data = Pattern(0x2000, 5);
    PcBootsThen(2, Cat({SectorCommand(0x2000, 0x800000 + 0x22000, 0x2000), data}));
    Run();
    EXPECT_EQ(AfterBoot(), Cat({{0xCB, 0xCC}, Le32(Sum(data))}));
    EXPECT_EQ(FlashBytes(0x22000, 0x2000), data);
}

struct SectorRefusalCase {
    const char* name;
    bool knownFlash;
    std::uint32_t size, address, length;
    std::uint8_t detail;
};

void PrintTo(const SectorRefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SectorRefusal : public PhoneTest, public ::testing::WithParamInterface<SectorRefusalCase> {};

TEST_P(SectorRefusal, RefusedWithCdAndADetailThenCommandsGoOn) {
    const SectorRefusalCase& c = GetParam();
    FlashMemory unknown;
    Phone phone(options, c.knownFlash ? &flash : &unknown);
    PcBootsThen(1, Cat({SectorCommand(c.size, c.address, c.length), {0xE9}}));
    const JobReport r = phone.RunJob(line, 1);
    EXPECT_EQ(AfterBoot(), Bytes({0xCD, c.detail, 0xCA}));
    EXPECT_EQ(r.bytesReceived, 0u);
    EXPECT_EQ(flash.Image(), Bytes(0x28000, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(
    Phone, SectorRefusal,
    ::testing::Values(
        SectorRefusalCase{"unknownFlash", false, 0x10000, 0x200000, 0x100, kRefuseUnknownFlash},
        SectorRefusalCase{"insideASector", true, 0x10000, 0x200100, 0x100, kRefuseNotSectorStart},
        SectorRefusalCase{"belowTheBase", true, 0x10000, 0x1F0000, 0x100, kRefuseNotSectorStart},
        SectorRefusalCase{"pastTheEnd", true, 0x2000, 0x228000, 0x100, kRefuseNotSectorStart},
        SectorRefusalCase{"wrongSize", true, 0x2000, 0x210000, 0x100, kRefuseSizeMismatch},
        SectorRefusalCase{"tooLong", true, 0x2000, 0x220000, 0x2001, kRefuseLengthTooLong}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PhoneTest, BadChecksumOnChosenAttemptThenAResendProgramsCleanly) {
    options.faults.badChecksum.Add(1, 1);
    const Bytes data = Pattern(0x10000, 3);
    const Bytes attempt = Cat({SectorCommand(0x10000, 0x210000, 0x10000), data});
    PcBootsThen(1, Cat({attempt, attempt}));
    const JobReport r = Run();
    Bytes corrupted = data;
    corrupted[0x8000] ^= 0x01;
    EXPECT_EQ(AfterBoot(),
              Cat({{0xCB, 0xCC}, Le32(Sum(corrupted)), {0xCB, 0xCC}, Le32(Sum(data))}));
    EXPECT_EQ(FlashBytes(0x10000, 0x10000), data);
    EXPECT_EQ(r.resends, 1);
    EXPECT_EQ(r.sectorWrites, 2);
    EXPECT_EQ(r.sectorsWritten, 1);
    EXPECT_EQ(r.bytesReceived, 0x20000u);
}

TEST_F(PhoneTest, OnlyIntactSectorsCountAsWritten) {
    // Sector 0 arrives corrupted; sector 2 is written, then erased by command; sector 3 stays.
    options.faults.badChecksum.Add(0, 1);
    PcBootsThen(1, Cat({SectorCommand(0x10000, 0x200000, 8),
                        Pattern(8, 1),
                        SectorCommand(0x2000, 0x220000, 8),
                        Pattern(8, 2),
                        SectorCommand(0x2000, 0x222000, 6),
                        Pattern(6, 3),
                        {0xE3},
                        Be32(0x220000)}));
    const JobReport r = Run();
    EXPECT_EQ(r.sectorWrites, 3);
    EXPECT_EQ(r.sectorsWritten, 1);
    EXPECT_EQ(r.bytesWritten, 6u);
    EXPECT_EQ(r.bytesReceived, 22u);
}

TEST_F(PhoneTest, SectorFailAnswersCdWithDetailAndLeavesTheSectorErased) {
    options.faults.sectorFail.Add(kAny, 2, 0x42);
    const Bytes data = Pattern(0x2000, 7);
    const Bytes attempt = Cat({SectorCommand(0x2000, 0x224000, 0x2000), data});
    PcBootsThen(1, Cat({attempt, attempt, attempt}));
    const JobReport r = Run();
    EXPECT_EQ(
        AfterBoot(),
        Cat({{0xCB, 0xCC}, Le32(Sum(data)), {0xCB, 0xCD, 0x42, 0xCB, 0xCC}, Le32(Sum(data))}));
    EXPECT_EQ(r.resends, 2);
    EXPECT_EQ(FlashBytes(0x24000, 0x2000), data);
}

TEST_F(PhoneTest, SectorFailDetailLeavesErasedFlash) {
    options.faults.sectorFail.Add(4, 1, 0x10);
    const Bytes data = Pattern(0x2000, 7);
    PcBootsThen(1, Cat({SectorCommand(0x2000, 0x224000, 0x2000), data}));
    Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xCB, 0xCD, 0x10}));
    EXPECT_EQ(FlashBytes(0x24000, 0x2000), Bytes(0x2000, 0xFF));
}

TEST_F(PhoneTest, SilentAfterCommandHangsThePhone) {
    options.faults.silentAfterCommand.Add(0, 1);
    PcBootsThen(1, Cat({SectorCommand(0x10000, 0x200000, 4), {1, 2, 3, 4, 0xE9, 0xE8}}));
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes());
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
    EXPECT_EQ(r.bytesReceived, 0u);
}

TEST_F(PhoneTest, SilentAfterDataProgramsButNeverAnswers) {
    options.faults.silentAfterData.Add(kAny, kAny);
    const Bytes data = Pattern(16, 2);
    PcBootsThen(1, Cat({SectorCommand(0x10000, 0x200000, 16), data, {0xE8}}));
    const JobReport r = Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xCB}));
    EXPECT_EQ(FlashBytes(0, 16), data);
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
}

TEST_F(PhoneTest, HangupInTheMiddleOfSectorDataEndsTheJob) {
    const Bytes data = Pattern(100, 2);
    PcBootsThen(1, Cat({SectorCommand(0x10000, 0x200000, 200), data}));
    const JobReport r = Run();
    EXPECT_EQ(r.end, JobEnd::kPcClosed);
    EXPECT_EQ(r.sectorWrites, 0);
}

// ---- dropped line ------------------------------------------------------------------

struct DropCase {
    const char* name;
    DropPoint drop;
    Bytes sentAfterAnnouncement;  // everything the phone said before the drop
    std::uint32_t programmed;     // bytes of sector 2's data in the flash afterwards
};

void PrintTo(const DropCase& c, std::ostream* os) {
    *os << c.name;
}

class Drop : public PhoneTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(Drop, LineGoesAtTheChosenStage) {
    const DropCase& c = GetParam();
    options.faults.drop = c.drop;
    const Bytes data = Pattern(0x2000, 4);
    PcBootsThen(1, Cat({{0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9},
                        SectorCommand(0x2000, 0x220000, 0x2000),
                        data,
                        {0xE8}}));
    const JobReport r = Run();
    EXPECT_TRUE(line.Dropped());
    EXPECT_EQ(r.end, JobEnd::kDropped);
    const Bytes& s = line.Sent();
    if (c.drop.stage == DropStage::kBootWait) {
        EXPECT_TRUE(s.empty());
    } else {
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(Bytes(s.begin() + 1, s.end()), c.sentAfterAnnouncement);
    }
    EXPECT_EQ(FlashBytes(0x20000, c.programmed), Bytes(data.begin(), data.begin() + c.programmed));
    EXPECT_EQ(FlashBytes(0x20000 + c.programmed, 0x2000 - c.programmed),
              Bytes(0x2000 - c.programmed, 0xFF));
}

const Bytes kAfterSpeed = {0x44, 0xA0, 0x02, 0x05, 0xC2, 0x20, 0xCA, 0x03, 0xC0, 0xC3, 0x00, 0xCA};

INSTANTIATE_TEST_SUITE_P(
    Phone, Drop,
    ::testing::Values(
        DropCase{"bootWait", {DropStage::kBootWait, kAny}, {}, 0},
        DropCase{"bootFrames", {DropStage::kBootFrames, kAny}, {}, 0},
        DropCase{"afterJump", {DropStage::kAfterJump, kAny}, {}, 0},
        DropCase{"identification",
                 {DropStage::kIdentification, kAny},
                 {0x44, 0xA0, 0x02, 0x05, 0xC2},
                 0},
        DropCase{"speedChange",
                 {DropStage::kSpeedChange, kAny},
                 {0x44, 0xA0, 0x02, 0x05, 0xC2, 0x20, 0xCA, 0x03, 0xC0},
                 0},
        DropCase{"sectorCommand", {DropStage::kSectorCommand, 2}, kAfterSpeed, 0},
        DropCase{"sectorData", {DropStage::kSectorData, kAny}, Cat({kAfterSpeed, {0xCB}}), 0x1000},
        DropCase{"checksumWait", {DropStage::kChecksumWait, 2}, Cat({kAfterSpeed, {0xCB}}), 0x2000},
        DropCase{"switchOff",
                 {DropStage::kSwitchOff, kAny},
                 Cat({kAfterSpeed, {0xCB, 0xCC}, Le32(Sum(Pattern(0x2000, 4)))}),
                 0x2000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PhoneTest, DropAtAnotherSectorLeavesThisOneAlone) {
    options.faults.drop = {DropStage::kSectorData, 3};
    const Bytes data = Pattern(0x2000, 4);
    PcBootsThen(1, Cat({SectorCommand(0x2000, 0x220000, 0x2000), data}));
    const JobReport r = Run();
    EXPECT_FALSE(line.Dropped());
    EXPECT_EQ(r.sectorWrites, 1);
}

// ---- erase and read ----------------------------------------------------------------

TEST_F(PhoneTest, EraseForms) {
    const Bytes ones(0x28000, 0x00);
    ASSERT_TRUE(flash.Program(0, ones.data(), ones.size()));
    PcBootsThen(1, Cat({{0xE3},
                        Be32(0x210000),  // sector 1
                        {0xE3},
                        Be32(0x210004),  // inside sector 1: refused
                        {0xE4, 0x01},
                        Be32(0x14000),
                        Be32(0x210000),  // bank 1 of sectors 1-3
                        {0xE4, 0x01},
                        Be32(0x30000),
                        Be32(0x220000)}));  // past the end
    Run();
    EXPECT_EQ(AfterBoot(),
              Bytes({0xC0, 0xC5, 0xF6, 0xC0, 0xC5, 0xF3, 0xC0, 0xC5, 0xF6, 0xC0, 0xC5, 0xF3}));
    EXPECT_EQ(FlashBytes(0, 0x10000), Bytes(0x10000, 0x00));
    EXPECT_EQ(FlashBytes(0x10000, 0x10000), Bytes(0x10000, 0xFF));
    EXPECT_EQ(FlashBytes(0x20000, 0x4000), Bytes(0x4000, 0xFF));  // sectors 2 and 3 (bank 1)
    EXPECT_EQ(FlashBytes(0x24000, 0x4000), Bytes(0x4000, 0x00));
}

TEST_F(PhoneTest, WholeFlashEraseAndRefusalWithoutAFlash) {
    const Bytes zeros(0x28000, 0x00);
    ASSERT_TRUE(flash.Program(0, zeros.data(), zeros.size()));
    PcBootsThen(1, {0xE2});
    Run();
    EXPECT_EQ(AfterBoot(), Bytes({0xC0, 0xC5, 0xF6}));
    EXPECT_EQ(flash.Image(), Bytes(0x28000, 0xFF));
}

TEST_F(PhoneTest, EraseRefusedWithC1TakesNoParameters) {
    FlashMemory unknown;
    Phone phone(options, &unknown);
    // After 0xC1 the PC sends nothing: the next byte is a command again.
    PcBootsThen(1, {0xE3, 0xE9});
    phone.RunJob(line, 1);
    EXPECT_EQ(AfterBoot(), Bytes({0xC1, 0xCA}));
}

TEST_F(PhoneTest, ReadSendsDataAndLittleEndianSum) {
    const Bytes data = Pattern(300, 8);
    ASSERT_TRUE(flash.Program(0x20010, data.data(), data.size()));
    PcBootsThen(1, Cat({{0xE6},
                        Be32(300),
                        Be32(0x220010),  // in the flash
                        {0xE6},
                        Be32(0x10),
                        Be32(0x227FF8)}));  // runs past its end
    Run();
    EXPECT_EQ(AfterBoot(), Cat({{0xC0, 0xC7}, data, Le32(Sum(data)), {0xC0, 0xC1}}));
}

// ---- flash memory ------------------------------------------------------------------

TEST(FlashMemory, NorSemantics) {
    FlashMemory f(SmallFlash());
    ASSERT_TRUE(f.Known());
    EXPECT_EQ(f.Size(), 0x28000u);
    EXPECT_EQ(f.SectorCount(), 6);
    EXPECT_EQ(f.SectorStartingAt(0x22000), 3);
    EXPECT_EQ(f.SectorStartingAt(0x22001), -1);
    EXPECT_EQ(f.SectorStartingAt(0x28000), -1);
    const std::uint8_t a[2] = {0xF0, 0x3C};
    const std::uint8_t b[2] = {0x0F, 0xFF};
    ASSERT_TRUE(f.Program(0x21FFF, a, 2));
    ASSERT_TRUE(f.Program(0x21FFF, b, 2));  // programming only clears bits
    std::uint8_t out[2];
    ASSERT_TRUE(f.Read(0x21FFF, out, 2));
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x3C);
    f.EraseSector(3);  // only sector 3 comes back to 0xFF
    ASSERT_TRUE(f.Read(0x21FFF, out, 2));
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_FALSE(f.Program(0x27FFF, a, 2));  // leaves the flash: nothing written
    ASSERT_TRUE(f.Read(0x27FFF, out, 1));
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_FALSE(f.Read(0x28000, out, 1));
}

TEST(FlashMemory, LoadSumAndCrc) {
    FlashMemory f(SmallFlash());
    EXPECT_EQ(f.Sum(), 0x28000u * 0xFF);
    std::string why;
    EXPECT_FALSE(f.Load(Bytes(0x28001, 0), &why));
    EXPECT_EQ(why, "the image holds 163841 bytes but the flash only 163840");
    ASSERT_TRUE(f.Load({1, 2, 3}, &why));
    EXPECT_EQ(f.Sum(), 6u + (0x28000u - 3) * 0xFF);
    const std::uint8_t check[] = "123456789";
    EXPECT_EQ(Crc32(check, 9), 0xCBF43926u);
    FlashMemory none;
    EXPECT_FALSE(none.Known());
    EXPECT_EQ(none.Size(), 0u);
    EXPECT_EQ(none.SectorStartingAt(0), -1);
}

}  // namespace
}  // namespace vbc::sim
