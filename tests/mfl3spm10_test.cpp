// The download sequence on the scripted line, against a fake bootstrap that answers the whole
// command set: the order of the commands, the comment lines, the status text, the switch-off
// and the result of every way the sequence can fail.
#include "core/mfl3spm10.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <gmock/gmock.h>
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

using platform::Bytes;
using platform::Hex;
using platform::RecordingToolkit;
using platform::ScopedToolkit;
using platform::ScriptedLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint32_t kBase = 0x800000;
constexpr std::uint8_t kMaker = 0x20;
constexpr std::uint8_t kDevice = 0xCA;

// Sectors of 64, 64, 128 and 128 bytes.
const std::string kFlashTxt = test::FlashTxt({
    {.manufacturerName = "TEST",
     .deviceName = "TINY",
     .manufacturerId = "32",
     .deviceId = "202",
     .sectorCount = "4",
     .sectors = {"0-1*64*0", "2-3*128*0"}},
});

constexpr const char* kCheck = " Check the compatibility ";
constexpr const char* kBySector = " Download sector by sector ";
constexpr const char* kNoRemove = " You do not need to remove the battery to start the mobile ";
constexpr const char* kRemove = " Remove the battery of the mobile  ";

// The bootstrap's side of the command set. Each command the PC sends is recorded as the hex
// of its frame ("E0 00 FF F9 01 F8" for a change of speed with its parameters, "EA ..." for a
// download-sector command without its data).
class FakeBootstrap {
  public:
    enum class Sector { kGood, kNotReady, kSilent, kBadChecksum, kFail };

    explicit FakeBootstrap(ScriptedLine& line) {
        line.OnPcBytes([this](ScriptedLine& l, std::span<const std::uint8_t> bytes) {
            for (std::uint8_t b : bytes) Feed(l, b);
        });
    }

    std::string gpioReply = "C0 C9";
    std::string speedAck = "C0";
    std::string speedVerdict = "C3 00";
    std::string echo = "CA";
    std::string pmuReply = "C0 CF 00";
    std::string offReply = "C0";
    Sector sector = Sector::kGood;

    std::vector<std::string> commands;
    std::vector<std::uint8_t> written;  // the data of every sector answered with 0xCC

  private:
    enum class State { kIdle, kSpeedParameters, kSectorHeader, kSectorData };

    void Feed(ScriptedLine& line, std::uint8_t b) {
        frame_.push_back(b);
        switch (state_) {
            case State::kIdle:
                frame_.assign(1, b);
                switch (b) {
                    case 0xE0:
                        line.Send(speedAck);
                        if (speedAck == "C0") {
                            state_ = State::kSpeedParameters;
                            return;
                        }
                        break;
                    case 0xE9:
                        line.Send(echo);
                        break;
                    case 0xEF:
                        line.Send(pmuReply);
                        break;
                    case 0xEB:
                        line.Send(gpioReply);
                        break;
                    case 0xE8:
                        line.Send(offReply);
                        break;
                    case 0xEA:
                        state_ = State::kSectorHeader;
                        return;
                    default:
                        break;
                }
                commands.push_back(Hex(frame_));
                return;
            case State::kSpeedParameters:
                if (frame_.size() < 6) return;
                commands.push_back(Hex(frame_));
                line.Send(speedVerdict);
                state_ = State::kIdle;
                return;
            case State::kSectorHeader:
                if (frame_.size() < 13) return;
                commands.push_back(Hex(frame_));
                length_ = std::uint32_t{frame_[9]} << 24 | std::uint32_t{frame_[10]} << 16 |
                          std::uint32_t{frame_[11]} << 8 | frame_[12];
                data_.clear();
                state_ = State::kIdle;
                if (sector == Sector::kNotReady) {
                    line.Send("C1");
                } else if (sector != Sector::kSilent) {
                    line.Send("CB");
                    state_ = State::kSectorData;
                    if (length_ == 0) Answer(line);
                }
                return;
            case State::kSectorData:
                data_.push_back(b);
                if (data_.size() == length_) Answer(line);
                return;
        }
    }

    void Answer(ScriptedLine& line) {
        state_ = State::kIdle;
        std::uint32_t sum = 0;
        for (std::uint8_t d : data_) sum += d;
        if (sector == Sector::kFail) {
            line.Send("CD 07");
            return;
        }
        if (sector == Sector::kBadChecksum) ++sum;
        if (sector == Sector::kGood) written.insert(written.end(), data_.begin(), data_.end());
        line.Send(std::vector<std::uint8_t>{
            0xCC, static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
            static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)});
    }

    State state_ = State::kIdle;
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> data_;
    std::uint32_t length_ = 0;
};

std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(0x90 + i * 7);
    return v;
}

// The job as the sequence finds it after a boot of product type 2: the flash table loaded,
// the main panel up and locked, COM1 open at 38400 bit/s with even parity, the flash
// identified, Start pressed elapsed seconds ago.
struct Rig {
    explicit Rig(std::size_t imageSize = 200) : use(rec), phone(line), image(Pattern(imageSize)) {
        const std::string& t = kFlashTxt;
        EXPECT_EQ(ParseFlashDescription(&_vg_FlashDescritpion,
                                        reinterpret_cast<const std::uint8_t*>(t.data()),
                                        static_cast<std::uint32_t>(t.size())),
                  1);
        _sg_FlashAddr = kBase;
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
        _mv_ResultDownload = DownloadResult{};
        context.comPort = 1;
        context.productType = 2;
        context.targetInfo[1] = 0xBE;
        context.targetInfo[2] = kMaker;
        context.targetInfo[3] = kDevice;
        context.fileBuffer = image.data();
        context.fileSize = static_cast<std::int32_t>(image.size());
        SetElapsed(125);
        EXPECT_EQ(_mfl12_0UartInit(1, 38400, kParityEven, 5), 1);
        line.TakeSent();
        rec.ClearLog();
    }

    void SetElapsed(std::int64_t seconds) {
        context.startTime = static_cast<std::int32_t>(line.Clock().Now() - seconds);
        context.stepTime = context.startTime;
    }

    DownloadResult Run() {
        DownloadResult r{-1, -1};
        _mfl3_0Generic4410(&r, context);
        return r;
    }

    std::vector<std::string> Comments() const { return rec.ListLines(_v_Panel, MAIN_COMMENT_LIST); }
    // Every text set into the status text, in order.
    std::vector<std::string> Status() const {
        std::vector<std::string> v;
        for (const auto& c : rec.Calls("SetCtrlAttribute"))
            if (c.control == MAIN_STATUS_TEXT && c.attribute == ATTR_STATUS_TEXT)
                v.push_back(c.text);
        return v;
    }
    int SwitchOffs() const {
        int n = 0;
        for (const auto& c : phone.commands) n += c == "E8";
        return n;
    }

    ScriptedLine line;
    RecordingToolkit rec;
    ScopedToolkit use;
    FakeBootstrap phone;
    std::vector<std::uint8_t> image;
    DownloadContext context;
};

void ExpectResult(const DownloadResult& r, std::int32_t category, std::int32_t code) {
    EXPECT_EQ(r.category, category);
    EXPECT_EQ(r.code, code);
}

TEST(Sequence, SuccessfulDownload) {
    Rig rig;
    ExpectResult(rig.Run(), ResultSuccess, 0);
    // No GPIO at speed row 1; the speed change at 38400 bit/s, the echo at 115200; three
    // sectors (64, 64, then 72 of 128 bytes); the switch-off.
    EXPECT_THAT(rig.phone.commands,
                ElementsAre("E0 00 FF F9 01 F8", "E9", "EA 00 00 00 40 00 80 00 00 00 00 00 40",
                            "EA 00 00 00 40 00 80 00 40 00 00 00 40",
                            "EA 00 00 00 80 00 80 00 80 00 00 00 48", "E8"));
    EXPECT_EQ(rig.phone.written, rig.image);
    EXPECT_EQ(rig.line.Settings().baudRate, 115200);
    EXPECT_EQ(rig.line.Settings().parity, kParityNone);
    EXPECT_THAT(rig.Comments(), ElementsAre(kCheck, kBySector, kNoRemove));
    // Blank at the start; the elapsed time when the last sector is confirmed, and again at
    // the end.
    EXPECT_THAT(rig.Status(), ElementsAre(" ", "2 min 5 sec", "2 min 5 sec"));
    EXPECT_EQ(rig.rec.TextAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT), "2 min 5 sec");
    EXPECT_EQ(rig.line.Pending(), 0u);
    EXPECT_THAT(rig.rec.Errors(), IsEmpty());
}

TEST(Sequence, StatusTextIsBlankFirstAndTheLastWordBeforeTheBatteryLine) {
    Rig rig;
    rig.Run();
    const auto log = rig.rec.LogLines();
    const std::string p = std::to_string(_v_Panel);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "SetCtrlAttribute " + p + " 13 630 \" \"");
    // The elapsed time, the battery advice, and nothing on the panel after it (the switch-off
    // goes to the phone only).
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "SetCtrlAttribute " + p + " 13 630 \"2 min 5 sec\"");
    EXPECT_EQ(log[log.size() - 2], "InsertListItem " + p + " 10 2 \"" + kNoRemove + "\" 0");
    EXPECT_EQ(log.back(), "SetCtrlIndex " + p + " 10 2");
}

TEST(Sequence, ElapsedTimeInMinutesAndSeconds) {
    struct Case {
        std::int64_t seconds;
        const char* text;
    };
    for (const Case& c :
         {Case{0, "0 min 0 sec"}, Case{59, "0 min 59 sec"}, Case{60, "1 min 0 sec"},
          Case{125, "2 min 5 sec"}, Case{3600, "60 min 0 sec"}, Case{3661, "61 min 1 sec"},
          // A clock set back during the job: the difference taken unsigned.
          Case{-1, "71582788 min 15 sec"}}) {
        SCOPED_TRACE(c.seconds);
        Rig rig;
        rig.SetElapsed(c.seconds);
        ExpectResult(rig.Run(), ResultSuccess, 0);
        EXPECT_THAT(rig.Status(), ElementsAre(" ", c.text, c.text));
    }
}

TEST(Sequence, PmuOptionSendsThePmuCommandAndAsksToRemoveTheBattery) {
    for (std::int32_t pmu : {1, 2}) {
        SCOPED_TRACE(pmu);
        Rig rig;
        rig.context.pmuOption = pmu;
        ExpectResult(rig.Run(), ResultSuccess, 0);
        ASSERT_GE(rig.phone.commands.size(), 3u);
        EXPECT_EQ(rig.phone.commands[0], "E0 00 FF F9 01 F8");
        EXPECT_EQ(rig.phone.commands[1], "E9");
        // Only option 1 is the PMU command; any other value still asks for the battery.
        EXPECT_EQ(rig.phone.commands[2],
                  pmu == 1 ? "EF" : "EA 00 00 00 40 00 80 00 00 00 00 00 40");
        EXPECT_THAT(rig.Comments(), ElementsAre(kCheck, kBySector, kRemove));
        EXPECT_EQ(rig.SwitchOffs(), 1);
        EXPECT_EQ(rig.line.Pending(), 0u);  // the byte after 0xCF was read
    }
}

TEST(Sequence, GpioGoesFirstAboveSpeedRowTwo) {
    Rig rig;
    rig.context.speedIndex = 3;
    ExpectResult(rig.Run(), ResultSuccess, 0);
    ASSERT_GE(rig.phone.commands.size(), 3u);
    EXPECT_THAT(
        std::vector<std::string>(rig.phone.commands.begin(), rig.phone.commands.begin() + 3),
        ElementsAre("EB", "E0 00 FF FC 01 FB", "E9"));
    EXPECT_EQ(rig.line.Settings().baudRate, 203125);
}

TEST(Sequence, OtherDownloadTypesWriteNothing) {
    for (std::int32_t type : {1, 2, 3, 4, -1}) {
        SCOPED_TRACE(type);
        Rig rig;
        rig.context.downloadType = type;
        ExpectResult(rig.Run(), ResultDownloadError, 0);
        EXPECT_THAT(rig.phone.commands, ElementsAre("E0 00 FF F9 01 F8", "E9"));
        EXPECT_THAT(rig.phone.written, IsEmpty());
        EXPECT_THAT(rig.Comments(), ElementsAre(kCheck, kRemove));
        EXPECT_THAT(rig.Status(), ElementsAre(" ", "2 min 5 sec"));
    }
}

// A stop before the write: the result at once, the status text left blank, no comment line
// of the sequence, no switch-off.
TEST(Sequence, FailuresBeforeTheWrite) {
    struct Case {
        const char* name;
        std::int32_t speedIndex;
        std::string FakeBootstrap::*reply;
        std::string value;
        std::uint8_t device;
        std::int32_t pmu;
        std::int32_t category;
        std::int32_t code;
    };
    const Case cases[] = {
        {"GPIO not acknowledged", 3, &FakeBootstrap::gpioReply, "C1", kDevice, 0, 8, 2},
        {"GPIO not set", 3, &FakeBootstrap::gpioReply, "C0 00", kDevice, 0, 8, 21},
        {"speed change refused", 1, &FakeBootstrap::speedAck, "00", kDevice, 0, 8, 2},
        {"speed parameters refused", 1, &FakeBootstrap::speedVerdict, "C4", kDevice, 0, 8, 7},
        {"speed checksum wrong", 1, &FakeBootstrap::speedVerdict, "C3 01", kDevice, 0, 8, 8},
        {"no echo at the new speed", 1, &FakeBootstrap::echo, "00", kDevice, 0, 8, 9},
        {"PMU not acknowledged", 1, &FakeBootstrap::pmuReply, "00", kDevice, 1, 8, 2},
        {"PMU not set", 1, &FakeBootstrap::pmuReply, "C0 00 00", kDevice, 1, 8, 10},
        {"flash not described", 1, &FakeBootstrap::offReply, "C0", 0x99, 0, 2, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.context.speedIndex = c.speedIndex;
        rig.context.pmuOption = c.pmu;
        rig.context.targetInfo[3] = c.device;
        rig.phone.*c.reply = c.value;
        ExpectResult(rig.Run(), c.category, c.code);
        EXPECT_THAT(rig.Status(), ElementsAre(" "));
        EXPECT_THAT(rig.Comments(), IsEmpty());
        EXPECT_EQ(rig.SwitchOffs(), 0);
        for (const auto& cmd : rig.phone.commands) EXPECT_NE(cmd.substr(0, 2), "EA");
    }
}

// A failed write: the download's result unchanged, the elapsed time shown once, the battery
// line, and the phone left on.
TEST(Sequence, FailedWrite) {
    struct Case {
        FakeBootstrap::Sector sector;
        std::int32_t category;
        std::int32_t code;
        std::vector<std::string> between;  // comment lines of the sector download
    };
    const std::string ck = " CkeckSum NOK -> try again ";
    const std::string cd = " Bad Ack: cd ";
    const Case cases[] = {
        {FakeBootstrap::Sector::kNotReady, 9, 0, {}},
        {FakeBootstrap::Sector::kSilent, 13, 0, {}},
        {FakeBootstrap::Sector::kBadChecksum, 12, 0xCC, {ck, ck, ck}},
        {FakeBootstrap::Sector::kFail, 10, 7, {cd, cd, cd}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.category);
        Rig rig;
        rig.phone.sector = c.sector;
        ExpectResult(rig.Run(), c.category, c.code);
        std::vector<std::string> comments = {kCheck, kBySector};
        comments.insert(comments.end(), c.between.begin(), c.between.end());
        comments.push_back(kRemove);
        EXPECT_EQ(rig.Comments(), comments);
        EXPECT_EQ(rig.SwitchOffs(), 0);
        const std::string elapsed = c.category == 13 ? "2 min 16 sec" : "2 min 5 sec";
        EXPECT_THAT(rig.Status(), ElementsAre(" ", elapsed));
    }
}

TEST(Sequence, SwitchOffNotAcknowledged) {
    for (const char* reply : {"00", ""}) {
        SCOPED_TRACE(reply);
        Rig rig;
        rig.phone.offReply = reply;
        ExpectResult(rig.Run(), ResultCommand, CommandCode::kSwitchOff);
        EXPECT_EQ(rig.SwitchOffs(), 1);
        // The advice was given while the download still counted as a success.
        EXPECT_THAT(rig.Comments(), ElementsAre(kCheck, kBySector, kNoRemove));
        EXPECT_EQ(rig.phone.written, rig.image);
    }
}

TEST(Sequence, EmptyImageSendsNoSector) {
    Rig rig(0);
    ExpectResult(rig.Run(), ResultSuccess, 0);
    EXPECT_THAT(rig.phone.commands, ElementsAre("E0 00 FF F9 01 F8", "E9", "E8"));
}

// The sequence runs on a copy: its own stamp of stepTime stays in that copy.
TEST(Sequence, GlobalContextUnchanged) {
    Rig rig;
    ResetDownloadContext();
    DownloadContext& g = _sg_DownloadContext;
    std::memcpy(&g, &rig.context, sizeof g);
    DownloadContext before;
    std::memcpy(&before, &g, sizeof before);
    DownloadResult r{-1, -1};
    _mfl3_0Generic4410(&r, g);
    ExpectResult(r, ResultSuccess, 0);
    EXPECT_EQ(std::memcmp(&before, &g, sizeof before), 0);
    EXPECT_EQ(g.stepTime, g.startTime);
    // Not ours to free: the image lives in the rig.
    g = DownloadContext{};
}

TEST(DownloadSoftware, WritesAtTheFlashBaseAndShowsTheTime) {
    Rig rig(64);
    _sg_FlashAddr = 0x200000;  // product type 1
    DownloadResult r{-1, -1};
    _mfl3_1DownloadSoftware(&r, rig.context);
    ExpectResult(r, ResultSuccess, 0);
    EXPECT_THAT(rig.phone.commands, ElementsAre("EA 00 00 00 40 00 20 00 00 00 00 00 40"));
    EXPECT_THAT(rig.Status(), ElementsAre("2 min 5 sec"));

    Rig failing(64);
    failing.phone.sector = FakeBootstrap::Sector::kNotReady;
    _mfl3_1DownloadSoftware(&r, failing.context);
    ExpectResult(r, ResultSectorStartAck, 0);
    EXPECT_THAT(failing.Status(), IsEmpty());
}

}  // namespace
}  // namespace vbc
