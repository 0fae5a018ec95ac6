// The sector download on the scripted line, against a fake bootstrap that answers each
// attempt as the test plans it: frames, data, retries, limits, time-outs and progress.
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "platform/serial.h"
#include "testing/recordingtoolkit.h"
#include "testing/scriptedserial.h"
#include "tests/flashtxt.h"
#include "tests/testutil.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::Hex;
using platform::RecordingToolkit;
using platform::ScopedToolkit;
using platform::ScriptedLine;

constexpr std::uint32_t kBase = 0x200000;

// Chip A is the classic bottom-boot layout; chip B has tiny sectors (29 and 71 bytes first, so
// that 29 bytes of 100 show as 28 %); chip C has 64 KiB sectors and one of 128 KiB.
const std::string kFlashTxt = test::FlashTxt({
    {},
    {.manufacturerName = "MAKER B",
     .deviceName = "TINY",
     .manufacturerId = "2",
     .deviceId = "2",
     .sectorCount = "10",
     .sectors = {"0*29*0", "1*71*0", "2-9*64*0"}},
    {.manufacturerName = "MAKER C",
     .deviceName = "BIG",
     .manufacturerId = "3",
     .deviceId = "3",
     .sectorCount = "5",
     .sectors = {"0-3*65536*0", "4*131072*0"}},
});

struct Chip {
    std::uint8_t manufacturer;
    std::uint8_t device;
};
constexpr Chip kChipA{1, 91};
constexpr Chip kChipB{2, 2};
constexpr Chip kChipC{3, 3};

// What the fake bootstrap does with one attempt.
enum class Reply {
    kGood,                // 0xCB, then 0xCC and the checksum of what came
    kBadChecksum,         // 0xCB, then 0xCC and a checksum one too high
    kBigEndianChecksum,   // 0xCB, then 0xCC and the checksum most significant byte first
    kShortChecksum,       // 0xCB, then 0xCC and the two low bytes of the checksum only
    kFail,                // 0xCB, then 0xCD and the detail byte
    kOther,               // 0xCB, then the other byte
    kNotReady,            // the other byte instead of 0xCB
    kSilentAfterCommand,  // nothing at all
    kSilentAfterData,     // 0xCB, then nothing
    kDropAfterCommand,    // the line disappears
};

class FakeBootstrap {
  public:
    struct Attempt {
        std::uint32_t size = 0;
        std::uint32_t address = 0;
        std::uint32_t length = 0;
        std::vector<std::uint8_t> data;
    };

    explicit FakeBootstrap(ScriptedLine& line) {
        line.OnPcBytes([this](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
            for (std::uint8_t b : bytes) Feed(l, b);
        });
    }

    std::deque<Reply> plan;  // one entry per attempt; kGood once it runs out
    std::uint8_t detail = 0x42;
    std::uint8_t other = 0x77;
    std::vector<Attempt> attempts;
    std::vector<std::string> errors;

  private:
    static std::uint32_t Be32(const std::uint8_t* p) {
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
               p[3];
    }

    void Feed(ScriptedLine& line, std::uint8_t b) {
        if (receiving_) {
            attempts.back().data.push_back(b);
            if (attempts.back().data.size() == attempts.back().length) Finish(line);
            return;
        }
        if (silent_) return;
        header_.push_back(b);
        if (header_[0] != 0xEA) {
            errors.push_back("not a download-sector command: " + Hex(header_));
            header_.clear();
            return;
        }
        if (header_.size() < 13) return;
        Attempt a;
        a.size = Be32(&header_[1]);
        a.address = Be32(&header_[5]);
        a.length = Be32(&header_[9]);
        header_.clear();
        attempts.push_back(a);
        reply_ = Reply::kGood;
        if (!plan.empty()) {
            reply_ = plan.front();
            plan.pop_front();
        }
        switch (reply_) {
            case Reply::kSilentAfterCommand:
                silent_ = true;
                return;
            case Reply::kDropAfterCommand:
                line.Drop();
                silent_ = true;
                return;
            case Reply::kNotReady:
                line.Send({&other, 1});
                return;
            default:
                break;
        }
        line.Send("CB");
        receiving_ = true;
        if (a.length == 0) Finish(line);
    }

    void Finish(ScriptedLine& line) {
        receiving_ = false;
        std::uint32_t sum = 0;
        for (std::uint8_t d : attempts.back().data) sum += d;
        auto le = [](std::uint32_t v) {
            return std::vector<std::uint8_t>{
                0xCC, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        };
        switch (reply_) {
            case Reply::kGood:
                line.Send(le(sum));
                break;
            case Reply::kBadChecksum:
                line.Send(le(sum + 1));
                break;
            case Reply::kBigEndianChecksum:
                line.Send(std::vector<std::uint8_t>{0xCC, static_cast<std::uint8_t>(sum >> 24),
                                                    static_cast<std::uint8_t>(sum >> 16),
                                                    static_cast<std::uint8_t>(sum >> 8),
                                                    static_cast<std::uint8_t>(sum)});
                break;
            case Reply::kShortChecksum:
                line.Send(std::vector<std::uint8_t>{0xCC, static_cast<std::uint8_t>(sum),
                                                    static_cast<std::uint8_t>(sum >> 8)});
                break;
            case Reply::kFail:
                line.Send(std::vector<std::uint8_t>{0xCD, detail});
                break;
            case Reply::kOther:
                line.Send({&other, 1});
                break;
            case Reply::kSilentAfterData:
                silent_ = true;
                break;
            default:
                break;
        }
    }

    std::vector<std::uint8_t> header_;
    bool receiving_ = false;
    bool silent_ = false;
    Reply reply_ = Reply::kGood;
};

// An image whose bytes differ from their neighbours and sum to more than one byte's worth.
std::vector<std::uint8_t> Image(std::size_t n, unsigned seed = 1) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(0x80 | (x >> 24));
    }
    return v;
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from,
                                std::size_t n) {
    return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n)};
}

// The job as the download finds it: flash table loaded, main panel up, COM1 at 115200 bit/s
// without parity and a 10 s time-out, the flash identified.
struct Rig {
    explicit Rig(Chip chip) : use(rec), phone(line) {
        const std::string& t = kFlashTxt;
        EXPECT_EQ(ParseFlashDescription(&_vg_FlashDescritpion,
                                        reinterpret_cast<const std::uint8_t*>(t.data()),
                                        static_cast<std::uint32_t>(t.size())),
                  1);
        _sg_FlashAddr = kBase;
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
        _mv_ResultDownload = DownloadResult{};
        _mv_SoftPourcent = 0;
        context.comPort = 1;
        context.targetInfo[2] = chip.manufacturer;
        context.targetInfo[3] = chip.device;
        EXPECT_EQ(_mfl12_0UartInit(1, 115200, kParityNone, 10), 1);
        line.TakeSent();
        rec.ClearLog();
    }

    DownloadResult Run(const std::vector<std::uint8_t>& image, std::uint32_t start = kBase) {
        DownloadResult r{-1, -1};
        _mfl11_54Download(&r, context, static_cast<std::uint32_t>(image.size()), image.data(),
                          start);
        return r;
    }

    std::vector<std::string> Comments() const { return rec.ListLines(_v_Panel, MAIN_COMMENT_LIST); }
    // The values set into progress indicator `control`, in order.
    std::vector<int> Progress(int control) const {
        std::vector<int> v;
        for (const auto& c : rec.Calls("SetCtrlVal"))
            if (c.control == control) v.push_back(c.value);
        return v;
    }

    ScriptedLine line;
    RecordingToolkit rec;
    ScopedToolkit use;
    FakeBootstrap phone;
    DownloadContext context;
};

void ExpectResult(const DownloadResult& r, std::int32_t category, std::int32_t code) {
    EXPECT_EQ(r.category, category);
    EXPECT_EQ(r.code, code);
}

// ---- success ----

TEST(Download, TwoSectorsExactFramesDataAndProgress) {
    Rig rig(kChipB);
    const auto image = Image(100);
    ExpectResult(rig.Run(image), ResultSuccess, 0);

    std::vector<std::uint8_t> wire = platform::Bytes("EA 00 00 00 1D 00 20 00 00 00 00 00 1D");
    wire.insert(wire.end(), image.begin(), image.begin() + 29);
    const auto second = platform::Bytes("EA 00 00 00 47 00 20 00 1D 00 00 00 47");
    wire.insert(wire.end(), second.begin(), second.end());
    wire.insert(wire.end(), image.begin() + 29, image.end());
    EXPECT_EQ(Hex(rig.line.Sent()), Hex(wire));
    EXPECT_TRUE(rig.phone.errors.empty());

    // 29 of 100 is 28 % (29.0 / 100 * 100 is just below 29 in double), then 100 %.
    EXPECT_EQ(rig.Progress(MAIN_PROGRESS_A), (std::vector<int>{28, 100}));
    EXPECT_EQ(rig.Progress(MAIN_PROGRESS_B), (std::vector<int>{28, 100}));
    EXPECT_EQ(rig.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
    EXPECT_EQ(rig.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_B), 100);
    EXPECT_EQ(_mv_SoftPourcent, 100u);
    // Indicator 12 first, then 11, then the panel repaints.
    const auto log = rig.rec.LogLines();
    const std::string a = "SetCtrlVal " + std::to_string(_v_Panel) + " 12 100";
    const std::string b = "SetCtrlVal " + std::to_string(_v_Panel) + " 11 100";
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], a);
    EXPECT_EQ(log[log.size() - 2], b);
    EXPECT_EQ(log[log.size() - 1], "ProcessSystemEvents");
    EXPECT_TRUE(rig.Comments().empty());
}

TEST(Download, SectorLengthsForImagesEndingInsideAtAndBeforeASectorEnd) {
    struct Case {
        const char* name;
        Chip chip;
        std::uint32_t start;
        std::size_t length;
        std::vector<FakeBootstrap::Attempt> frames;  // size, address, length
    };
    const Case cases[] = {
        {"shorter than the first sector", kChipA, kBase, 10, {{0x4000, kBase, 10, {}}}},
        {"ends inside the third sector",
         kChipA,
         kBase,
         16384 + 8192 + 101,
         {{0x4000, kBase, 0x4000, {}},
          {0x2000, kBase + 0x4000, 0x2000, {}},
          {0x2000, kBase + 0x6000, 101, {}}}},
        {"ends on a sector boundary",
         kChipA,
         kBase,
         16384 + 8192,
         {{0x4000, kBase, 0x4000, {}}, {0x2000, kBase + 0x4000, 0x2000, {}}}},
        {"starts at a later sector",
         kChipA,
         kBase + 0x8000,
         0x8001,
         {{0x8000, kBase + 0x8000, 0x8000, {}}, {0x10000, kBase + 0x10000, 1, {}}}},
        {"one 64 KiB sector and a little more",
         kChipC,
         kBase,
         65536 + 7,
         {{0x10000, kBase, 0x10000, {}}, {0x10000, kBase + 0x10000, 7, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.chip);
        const auto image = Image(c.length, 7);
        ExpectResult(rig.Run(image, c.start), ResultSuccess, 0);
        ASSERT_EQ(rig.phone.attempts.size(), c.frames.size());
        std::size_t offset = 0;
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& got = rig.phone.attempts[i];
            EXPECT_EQ(got.size, c.frames[i].size);
            EXPECT_EQ(got.address, c.frames[i].address);
            EXPECT_EQ(got.length, c.frames[i].length);
            EXPECT_EQ(got.data, Slice(image, offset, got.length));
            offset += got.length;
        }
        EXPECT_EQ(rig.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
    }
}

TEST(Download, EmptyImageSendsNothingAndSucceeds) {
    Rig rig(kChipA);
    ExpectResult(rig.Run({}), ResultSuccess, 0);
    EXPECT_TRUE(rig.line.Sent().empty());
    EXPECT_TRUE(rig.Progress(MAIN_PROGRESS_A).empty());
}

TEST(Download, BlocksOf64KiBAreDrainedAndTheRestIsNot) {
    struct Case {
        const char* name;
        std::uint32_t start;
        std::size_t length;
        std::vector<std::string> writes;  // data writes after each command
        bool drained;
    };
    const Case cases[] = {
        // The empty rest after a whole block costs no write on the line.
        {"one 64 KiB sector", kBase, 65536, {"write 65536"}, true},
        {"one 128 KiB sector", kBase + 0x40000, 131072, {"write 65536", "write 65536"}, true},
        {"a 100-byte rest", kBase, 100, {"write 100"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(kChipC);
        rig.line.SetOutQueueReadings({4000, 1500});
        const auto image = Image(c.length, 3);
        ExpectResult(rig.Run(image, c.start), ResultSuccess, 0);
        std::vector<std::string> writes;
        for (const auto& e : rig.line.Events())
            if (e.rfind("write ", 0) == 0 && e != "write 1" && e != "write 4") writes.push_back(e);
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(rig.line.OutQueuePolls() > 0, c.drained);
        ASSERT_EQ(rig.phone.attempts.size(), 1u);
        EXPECT_EQ(rig.phone.attempts[0].data, image);
    }
}

TEST(Download, TheDrainLetsTheInterfaceRunAfterEachNonZeroReading) {
    Rig rig(kChipC);
    rig.line.SetOutQueueReadings({60000});
    int eventsBeforeChecksum = -1;
    rig.line.OnPcBytes([&](ScriptedLine&, std::span<const std::uint8_t> bytes) {
        if (bytes.size() == 65536) eventsBeforeChecksum = rig.rec.EventCount();
    });
    ExpectResult(rig.Run(Image(65536)), ResultSuccess, 0);
    // The answer wait after the command pumped nothing (0xCB was there), the drain pumped once,
    // the answer after the data nothing, and the progress once.
    EXPECT_EQ(eventsBeforeChecksum, 0);
    EXPECT_EQ(rig.rec.EventCount(), 2);
}

TEST(Download, AnOutputQueueThatNeverDrainsEndsAsATimeOut) {
    Rig rig(kChipC);
    rig.line.SetOutQueueReadings(std::vector<int>(60000, 4096));
    const std::int64_t start = rig.line.Clock().NowMs();
    ExpectResult(rig.Run(Image(65536)), ResultDownloadTimeout, 0);
    const std::int64_t waited = rig.line.Clock().NowMs() - start;
    EXPECT_GT(waited, 10000);
    EXPECT_LT(waited, 12100);
    EXPECT_GT(rig.rec.EventCount(), 100);
    EXPECT_LT(rig.line.OutQueuePolls(), 2000);
}

// ---- retries and their limits ----

TEST(Download, RetriesResendTheSameFrameAndBytesUntilTheLimits) {
    struct Case {
        const char* name;
        Chip chip;
        std::uint32_t start;
        std::size_t length;
        std::vector<Reply> plan;
        std::int32_t category;
        std::int32_t code;
        std::size_t attempts;
        std::vector<std::string> comments;
    };
    const std::string nok = " CkeckSum NOK -> try again ";
    const std::string cd = " Bad Ack: cd ";
    using R = Reply;
    // Chip B from offset 100: eight sectors of 64 bytes.
    const std::uint32_t b64 = kBase + 100;
    const Case cases[] = {
        {"two checksum failures, then good",
         kChipB,
         b64,
         3 * 64,
         {R::kBadChecksum, R::kBadChecksum},
         0,
         0,
         5,
         {nok, nok}},
        {"checksum sent big-endian",
         kChipB,
         b64,
         64,
         {R::kBigEndianChecksum, R::kGood},
         0,
         0,
         2,
         {nok}},
        {"three checksum failures on one sector",
         kChipB,
         b64,
         3 * 64,
         {R::kGood, R::kBadChecksum, R::kBadChecksum, R::kBadChecksum},
         12,
         0xCC,
         4,
         {nok, nok, nok}},
        {"one checksum failure on each of five sectors",
         kChipB,
         b64,
         8 * 64,
         {R::kBadChecksum, R::kGood, R::kBadChecksum, R::kGood, R::kBadChecksum, R::kGood,
          R::kBadChecksum, R::kGood, R::kBadChecksum},
         12,
         0xCC,
         9,
         {nok, nok, nok, nok, nok}},
        {"0xCD, then good", kChipB, b64, 2 * 64, {R::kFail}, 0, 0, 3, {cd}},
        {"0xCD three times on one sector",
         kChipB,
         b64,
         2 * 64,
         {R::kFail, R::kFail, R::kFail},
         10,
         0x42,
         3,
         {cd, cd, cd}},
        {"two kinds of failure count together, fifth is 0xCD",
         kChipB,
         b64,
         8 * 64,
         {R::kFail, R::kGood, R::kBadChecksum, R::kGood, R::kFail, R::kGood, R::kBadChecksum,
          R::kGood, R::kFail},
         10,
         0x42,
         9,
         {cd, nok, cd, nok, cd}},
        {"two kinds of failure count together, fifth is a checksum",
         kChipB,
         b64,
         8 * 64,
         {R::kFail, R::kBadChecksum, R::kGood, R::kFail, R::kBadChecksum, R::kGood,
          R::kBadChecksum},
         12,
         0xCC,
         7,
         {cd, nok, cd, nok, nok}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.chip);
        rig.phone.plan.assign(c.plan.begin(), c.plan.end());
        const auto image = Image(c.length, 5);
        ExpectResult(rig.Run(image, c.start), c.category, c.code);
        EXPECT_EQ(rig.phone.attempts.size(), c.attempts);
        EXPECT_EQ(rig.Comments(), c.comments);
        EXPECT_EQ(rig.line.Pending(), 0u);  // the checksum or the detail byte was consumed

        // Every attempt goes to the address of its data, and a retry repeats its predecessor.
        for (std::size_t i = 0; i < rig.phone.attempts.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& a = rig.phone.attempts[i];
            const std::uint32_t offset = a.address - c.start;
            EXPECT_EQ(a.size, 64u);
            EXPECT_EQ(a.data, Slice(image, offset, a.length));
        }
        if (c.category == 0) {
            EXPECT_EQ(rig.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
        }
    }
}

TEST(Download, ProgressKeepsItsLastValueAfterAFailure) {
    Rig rig(kChipB);
    rig.phone.plan = {Reply::kGood, Reply::kGood, Reply::kOther};
    // Sectors of 64 bytes from offset 100: 2 of 3 done is 66 %.
    ExpectResult(rig.Run(Image(3 * 64), kBase + 100), ResultSectorAck, 0x77);
    EXPECT_EQ(rig.Progress(MAIN_PROGRESS_A), (std::vector<int>{33, 66}));
    EXPECT_EQ(rig.Progress(MAIN_PROGRESS_B), (std::vector<int>{33, 66}));
    EXPECT_EQ(_mv_SoftPourcent, 66u);
}

// ---- other answers ----

TEST(Download, UnexpectedAnswers) {
    struct Case {
        const char* name;
        Reply reply;
        std::uint8_t other;
        std::int32_t category;
        std::int32_t code;
        std::vector<std::string> comments;
        std::size_t sentAfterCommand;
    };
    const Case cases[] = {
        {"no 0xCB", Reply::kNotReady, 0xC0, 9, 0, {}, 0},
        {"no 0xCB, 0xCC instead", Reply::kNotReady, 0xCC, 9, 0, {}, 0},
        {"another answer after the data", Reply::kOther, 0x77, 11, 0x77, {" Bad Ack: 77 "}, 29},
        {"a small one, no leading zero", Reply::kOther, 0x05, 11, 0x05, {" Bad Ack: 5 "}, 29},
        {"0xCB again", Reply::kOther, 0xCB, 11, 0xCB, {" Bad Ack: cb "}, 29},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(kChipB);
        rig.phone.plan = {c.reply};
        rig.phone.other = c.other;
        ExpectResult(rig.Run(Image(100)), c.category, c.code);
        EXPECT_EQ(rig.line.Sent().size(), 13 + c.sentAfterCommand);
        EXPECT_EQ(rig.Comments(), c.comments);
        EXPECT_TRUE(rig.Progress(MAIN_PROGRESS_A).empty());
    }
}

TEST(Download, ChecksumBytesThatDoNotArriveCountAsZero) {
    struct Case {
        std::size_t length;
        bool sumFitsTwoBytes;
    };
    // 29 bytes of at least 0x80 sum to less than 0x10000; 8 KiB of them to more.
    for (const Case& c : {Case{29, true}, Case{8192, false}}) {
        SCOPED_TRACE(c.length);
        Rig rig(c.sumFitsTwoBytes ? kChipB : kChipA);
        rig.phone.plan = {Reply::kShortChecksum, Reply::kShortChecksum, Reply::kShortChecksum};
        const std::int64_t start = rig.line.Clock().NowMs();
        const auto r = rig.Run(Image(c.length));
        if (c.sumFitsTwoBytes) {
            ExpectResult(r, ResultSuccess, 0);
            EXPECT_EQ(rig.phone.attempts.size(), 1u);
        } else {
            ExpectResult(r, ResultChecksum, 0xCC);
            EXPECT_EQ(rig.phone.attempts.size(), 3u);
        }
        // Each short checksum costs one read time-out of the port.
        EXPECT_GE(rig.line.Clock().NowMs() - start,
                  10000 * static_cast<std::int64_t>(rig.phone.attempts.size()));
    }
}

// ---- time-outs and a dead line ----

TEST(Download, SilenceEndsTheWaitBetweenTenAndElevenSecondsWithTheInterfaceLive) {
    struct Case {
        const char* name;
        Reply reply;
        std::int64_t startMs;  // position of the wait's start within its second
    };
    const Case cases[] = {
        {"after the command, start of a second", Reply::kSilentAfterCommand, 0},
        {"after the command, middle of a second", Reply::kSilentAfterCommand, 500},
        {"after the command, end of a second", Reply::kSilentAfterCommand, 999},
        {"after the data", Reply::kSilentAfterData, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(kChipB);
        rig.phone.plan = {c.reply};
        const std::int64_t now = rig.line.Clock().NowMs();
        rig.line.Clock().AdvanceMs((1000 - now % 1000 + c.startMs) % 1000);
        const std::int64_t start = rig.line.Clock().NowMs();
        ExpectResult(rig.Run(Image(100)), ResultDownloadTimeout, 0);
        const std::int64_t waited = rig.line.Clock().NowMs() - start;
        // More than 10 whole seconds between the two readings.
        EXPECT_GE(waited, 11000 - c.startMs);
        EXPECT_LT(waited, 11000 - c.startMs + 100);
        // The interface ran all along, and the wait slept between its polls.
        EXPECT_GT(rig.rec.EventCount(), 100);
        EXPECT_LT(rig.rec.EventCount(), 2000);
        EXPECT_EQ(_mv_ResultDownload.category, 13);
    }
}

TEST(Download, ALineThatDisappearsEndsTheDownloadAtOnce) {
    Rig rig(kChipB);
    rig.phone.plan = {Reply::kDropAfterCommand};
    const std::int64_t start = rig.line.Clock().NowMs();
    ExpectResult(rig.Run(Image(100)), ResultDownloadTimeout, 0);
    EXPECT_LT(rig.line.Clock().NowMs() - start, 100);
    EXPECT_LT(rig.rec.EventCount(), 3);
}

TEST(Download, EveryTimeOutReportsCategory13Code0) {
    Rig rig(kChipB);
    _mv_ResultDownload = DownloadResult{};
    rig.phone.plan = {Reply::kSilentAfterCommand};
    ExpectResult(rig.Run(Image(10)), ResultDownloadTimeout, 0);
    ExpectResult(_mv_ResultDownload, ResultDownloadTimeout, 0);
}

// ---- the sector list ----

TEST(Download, SectorListFailuresAreFlashDescriptionResultsAndSendNothing) {
    struct Case {
        const char* name;
        Chip chip;
        std::uint32_t start;
        std::size_t length;
        std::int32_t code;
    };
    const Case cases[] = {
        {"flash not described", Chip{9, 9}, kBase, 10, 15},
        {"no sector starts there", kChipA, kBase + 1, 10, 18},
        {"longer than the flash", kChipB, kBase, 29 + 71 + 8 * 64 + 1, 20},
        {"below the flash base", kChipA, kBase - 0x1000, 10, 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.chip);
        ExpectResult(rig.Run(Image(c.length), c.start), 2, c.code);
        EXPECT_TRUE(rig.line.Sent().empty());
    }
}

}  // namespace
}  // namespace vbc
