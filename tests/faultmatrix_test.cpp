// The fault matrix: whole Start jobs against the simulated phone, one row for every fault the
// simulator can commit (and a few the PC's own side can meet), each with its exact result,
// what the flash holds afterwards and how long the job may take.
//
// Every row runs twice: in-process (the Start command of the main panel with the recording
// toolkit, against the simulator on a pseudo-terminal), where the result pair, the comment list
// and the progress indicators can be read; and, when the command-line front end is built, as
// the operator would run it: vbcflash-cli against vbcsim, two processes, checking the exit
// status, the final message and the flash the simulator writes out.
//
// Rows whose faults sit through time-outs take that long; ctest runs each row as its own
// process in its own scratch directory, so the rows overlap when ctest runs them in parallel.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "data/mfl51loadfile.h"
#include "link/mfl12pclib.h"
#include "platform/serial.h"
#include "platform/uiresources.h"
#include "platform/uniquefd.h"
#include "sim/faults.h"
#include "sim/simulator.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

extern char** environ;

namespace vbc {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Seconds = std::chrono::duration<double>;

// ---- the phone's flash, the software and the bootstraps ------------------------------

// Manufacturer 0x20, device 0xCA: six 8 KiB sectors, then two of 64 KiB (a sector of 64 KiB is
// sent as one whole block, a drain of the output queue and an empty rest).
const std::string kFlashTxt = test::Crlf({
    "# the fault matrix's chip",
    "NEW_FLASH",
    "MANUFACTURER_NAME : MATRIX",
    "DEVICE_NAME : SMALL",
    "NORVANE_PRODUCT : handset",
    "MANUFACTURER_ID : 32",
    "DEVICE_ID : 202",
    "NB_BANKS : 1",
    "NB_SECTORS : 8",
    "START_SECTOR_DESCRITPION",
    "0-5*8192*0",
    "6-7*65536*0",
    "END_SECTOR_DESCRIPTION",
    "END_FLASH",
});
constexpr std::uint32_t kSectorSizes[] = {8192, 8192, 8192, 8192, 8192, 8192, 65536, 65536};
constexpr std::uint32_t kFlashSize = 6 * 8192 + 2 * 65536;
// Every sector but the last, the last one in part: sector 6 goes out as a whole block.
constexpr std::uint32_t kImageSize = 6 * 8192 + 65536 + 1000;

std::uint32_t SectorOffset(int sector) {
    std::uint32_t offset = 0;
    for (int k = 0; k < sector; ++k) offset += kSectorSizes[k];
    return offset;
}

Bytes Pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    std::uint32_t x = seed;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
}

// What the phone's flash holds before the job: older software, so that a sector the job never
// touched is told apart from one it erased.
const Bytes& OldFlash() {
    static const Bytes old = Pattern(kFlashSize, 0x01D);
    return old;
}
const Bytes& Software() {
    static const Bytes image = Pattern(kImageSize, 0x50F7);
    return image;
}

std::string AsString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// ---- the rows ------------------------------------------------------------------------

enum class FlashAfter {
    kNone,       // the phone has no flash it knows: nothing to look at
    kUntouched,  // the old content everywhere: nothing was erased or written
    kImage,      // the software from the start, the rest of its last sector erased, then old
    kPrefix,     // the first `sectors` sectors hold the software; the failing sector may be
                 // erased or half-written, the sectors after it still hold the old content
};

// Something the PC's side meets besides the phone's faults.
enum class Setup {
    kNone,
    kNoPhone,           // nothing on port 1
    kNoBootstrap,       // the bootstrap file is missing
    kLongBootstrap,     // the bootstrap file is 8192 bytes
    kSoftwareTooLarge,  // the software is longer than the flash
    kProductType1,      // product type 1 (the other bootstrap, flash at 0x200000)
};

struct Row {
    const char* name;
    std::vector<std::string> sim;  // vbcsim's options for the fault
    std::int32_t category;
    std::int32_t code;
    // The text of the message panel; for the success and time-out panels (their texts live in
    // the panel resources) the panel that must be on screen instead.
    const char* message;
    FlashAfter flash;
    int sectors;   // kPrefix: sectors confirmed before the fault
    int timeouts;  // seconds of time-outs the job must sit through before it may end
    std::vector<std::string> lines = {};  // comment lines that must appear, in this order
    Setup setup = Setup::kNone;
};

constexpr const char* kSuccessPanel = "<success panel>";
constexpr const char* kTimeoutPanel = "<time-out panel>";
constexpr const char* kBattery = " You do not need to remove the battery to start the mobile ";
constexpr const char* kRemoveBattery = " Remove the battery of the mobile  ";
constexpr const char* kTimeoutMessage = "Timeout during the download";

// Time-outs of the job: the boot's port time-out, the port time-out after the speed change,
// and the answer wait of the sector download (more than 10 whole-second clock readings).
constexpr int kBootTimeout = 5;
constexpr int kPortTimeout = 10;
constexpr int kAnswerWait = 10;

// clang-format off
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
    // name, vbcsim options, category, code, message, flash afterwards, sectors confirmed,
    // time-outs sat through, comment lines, set-up

    // ---- no fault, and faults the tool rides out ----
    {"NoFault", {}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, 0,
     {" Check the compatibility ", " Download sector by sector ", kBattery}},
    {"ProductType1", {}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, 0,
     {kBattery}, Setup::kProductType1},
    {"LineNoiseBeforeTheAnswer", {"--noise", "700"}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, 0,
     {kBattery}},
    {"OneBadChecksum", {"--bad-checksum", "1:1"}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, 0,
     {" CkeckSum NOK -> try again ", kBattery}},
    {"TwoBadChecksumsOnOneSector", {"--bad-checksum", "6:1,6:2"}, 0, 0, kSuccessPanel,
     FlashAfter::kImage, 0, 0,
     {" CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ", kBattery}},
    {"OneSectorFailure", {"--sector-fail", "2:1:0x21"}, 0, 0, kSuccessPanel, FlashAfter::kImage,
     0, 0, {" Bad Ack: cd ", kBattery}},
    {"OneBadSpeedVerdict", {"--bad-speed-verdict", "1"}, 0, 0, kSuccessPanel, FlashAfter::kImage,
     0, 0, {kBattery}},

    // ---- the boot ----
    {"PhoneNeverAnswers", {"--never-answer"}, 6, 4, kTimeoutPanel, FlashAfter::kUntouched, 0,
     kBootTimeout},
    {"AnswerByteIsTheTimeoutByte", {"--answer-byte", "0x9D"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, 0},
    // Another processor keeps announcing itself with a byte the tool does not take: the boot
    // gives up after a minute of it.
    {"AnswerByteOfAnotherProcessor", {"--answer-byte", "0x55"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, 60},
    {"BootstrapSilentAfterJump", {"--silent-after-jump"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, 2 * kBootTimeout},
    {"BootstrapNotTheExpectedOne", {"--expect-spm", "other.spm"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, 2 * kBootTimeout},
    {"WrongIdentificationByte", {"--ident-byte", "0x00"}, 6, 12,
     "BOOT : Bad acknowledgement during the identification of the flash",
     FlashAfter::kUntouched, 0, 0, {" SPM version:2.5 "}},
    {"UnknownManufacturer", {"--unknown-manufacturer"}, 6, 15,
     "BOOT : The manufacturer of terminal GSM flash is unknown", FlashAfter::kNone, 0, 0,
     {" Flash Device manufacturer 55  "}},
    {"FlashNotDescribed", {"--unlisted-flash"}, 2, 15,
     "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)",
     FlashAfter::kNone, 0, 0},

    // ---- the speed change ----
    {"SpeedVerdictAlwaysBad", {"--bad-speed-verdict", "*"}, 8, 8,
     "COMMAND : Bad change speed checksum ", FlashAfter::kUntouched, 0, 0},
    // Four attempts of four unanswered speed controls, each read waiting the port's time-out
    // at the new speed.
    {"NoSpeedControl", {"--no-speed-control"}, 8, 9, "COMMAND : Speed control err ",
     FlashAfter::kUntouched, 0, 16 * kPortTimeout},

    // ---- the sector download ----
    {"ChecksumAlwaysBad", {"--bad-checksum", "1:*"}, 12, 0xCC, "Problem : Bad checksum",
     FlashAfter::kPrefix, 1, 0,
     {" CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ",
      kRemoveBattery}},
    {"FiveBadChecksumsOnFiveSectors", {"--bad-checksum", "0:1,1:1,2:1,3:1,4:1"}, 12, 0xCC,
     "Problem : Bad checksum", FlashAfter::kPrefix, 4, 0, {kRemoveBattery}},
    {"SectorAlwaysFails", {"--sector-fail", "1:*:0x33"}, 10, 0x33,
     "Problem : Error during the sector donwload", FlashAfter::kPrefix, 1, 0,
     {" Bad Ack: cd ", " Bad Ack: cd ", " Bad Ack: cd ", kRemoveBattery}},
    {"SilentAfterSectorCommand", {"--silent-after-command", "2:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 2, kAnswerWait, {kRemoveBattery}},
    {"SilentAfterSectorData", {"--silent-after-data", "6:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 6, kAnswerWait, {kRemoveBattery}},
    {"NoSwitchOffAnswer", {"--no-switch-off-answer"}, 8, 20, "COMMAND : Switch off error ",
     FlashAfter::kImage, 0, kPortTimeout, {kBattery}},

    // ---- the line dropped at each stage ----
    {"DropWhileBootLoaderWaits", {"--drop-at", "boot-wait"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, 0},
    {"DropDuringBootstrapBlock", {"--drop-at", "boot-frames"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, 0},
    {"DropAfterJump", {"--drop-at", "after-jump"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, 0},
    {"DropDuringIdentification", {"--drop-at", "identification"}, 6, 13,
     "BOOT : Timeout during the flash identification", FlashAfter::kUntouched, 0, 0},
    // The verdict never comes (7); the three further attempts find no acknowledge (2).
    {"DropDuringSpeedChange", {"--drop-at", "speed-change"}, 8, 2,
     "COMMAND : Bad command acknowledge ", FlashAfter::kUntouched, 0, 0},
    {"DropAfterSectorCommand", {"--drop-at", "sector-command:3"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 3, 0, {kRemoveBattery}},
    {"DropDuringSectorData", {"--drop-at", "sector-data:6"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 6, 0, {kRemoveBattery}},
    {"DropWhileWaitingForChecksum", {"--drop-at", "checksum-wait:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 1, 0, {kRemoveBattery}},
    {"DropBeforeSwitchOffAnswer", {"--drop-at", "switch-off"}, 8, 20,
     "COMMAND : Switch off error ", FlashAfter::kImage, 0, 0, {kBattery}},

    // ---- the PC's own side ----
    {"NoPhoneOnThePort", {}, 5, kComErrCannotOpen, "LIB_PC : Default error number _ 0xfffffffa",
     FlashAfter::kUntouched, 0, 0, {}, Setup::kNoPhone},
    {"BootstrapFileMissing", {}, 5, 3, "LIB_PC : File not found", FlashAfter::kUntouched, 0, 0,
     {}, Setup::kNoBootstrap},
    {"BootstrapFileTooLong", {}, 5, 4, "LIB_PC : The size of the SPM is too long",
     FlashAfter::kUntouched, 0, 0, {}, Setup::kLongBootstrap},
    {"SoftwareLongerThanTheFlash", {}, 2, 20,
     "FLASH DESCRIPTION : Not enough sector to download this software", FlashAfter::kUntouched,
     0, 0, {kRemoveBattery}, Setup::kSoftwareTooLarge},
    };
    return rows;
}
// clang-format on

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

bool Has(const Row& row, const std::string& option) {
    return std::find(row.sim.begin(), row.sim.end(), option) != row.sim.end();
}

// Whether the phone ends the job switched off: after a success, and when it switches off
// without telling.
bool EndsSwitchedOff(const Row& row) {
    return row.category == 0 || Has(row, "--no-switch-off-answer");
}

// Whether the job gets as far as saying anything to the phone.
bool ReachesPhone(const Row& row) {
    return row.setup != Setup::kNoPhone && row.setup != Setup::kNoBootstrap &&
           row.setup != Setup::kLongBootstrap;
}

// A job may take its time-outs, one second more for the answer wait's whole-second clock, and
// this much for the work itself (boot and download of the small image over an unpaced line,
// under the sanitizers and a loaded machine included).
constexpr double kJobWorkSeconds = 3.0;

// ---- the job's working directory -----------------------------------------------------

// Writes what the tool and the simulator read; returns the software the job loads.
Bytes PrepareDirectory(const Row& row) {
    test::WriteFile("flash.txt", kFlashTxt);
    test::WriteFile("old.bin", AsString(OldFlash()));
    test::WriteFile("mfl104_4.spm", AsString(Pattern(3000, 4)));
    test::WriteFile("mfl104_5.spm", AsString(Pattern(5000, 5)));
    test::WriteFile("other.spm", AsString(Pattern(5000, 6)));
    if (row.setup == Setup::kNoBootstrap) fs::remove("mfl104_5.spm");
    // Port 1 names a device that is not there (a cable to an adapter that was unplugged).
    if (row.setup == Setup::kNoPhone) fs::create_symlink("unplugged-adapter", "COM1");
    if (row.setup == Setup::kLongBootstrap)
        test::WriteFile("mfl104_5.spm", AsString(Pattern(8192, 5)));
    Bytes software = Software();
    if (row.setup == Setup::kSoftwareTooLarge) software = Pattern(kFlashSize + 1, 0x50F7);
    test::WriteFile("phone.cla", AsString(software));
    return software;
}

int ProductType(const Row& row) {
    return row.setup == Setup::kProductType1 ? 1 : 2;
}

// vbcsim's whole command line for a row, after the program's name.
std::vector<std::string> SimArguments(const Row& row) {
    std::vector<std::string> args = {"--once", "--flash-txt", "flash.txt", "--flash-out",
                                     "flash.bin"};
    if (row.flash != FlashAfter::kNone) {
        args.push_back("--flash-in");
        args.push_back("old.bin");
    }
    args.insert(args.end(), row.sim.begin(), row.sim.end());
    return args;
}

// The same options for the simulator started in-process.
void ApplySimArguments(const std::vector<std::string>& args, sim::SimulatorOptions* o) {
    sim::Faults& f = o->phone.faults;
    std::string why;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            EXPECT_LT(i + 1, args.size()) << a << " needs a value";
            return i + 1 < args.size() ? args[++i] : std::string();
        };
        if (a == "--once") {
            o->once = true;
        } else if (a == "--flash-txt") {
            o->flashTxt = value();
        } else if (a == "--flash-in") {
            o->flashIn = value();
        } else if (a == "--flash-out") {
            o->flashOut = value();
        } else if (a == "--never-answer") {
            f.neverAnswer = true;
        } else if (a == "--answer-byte") {
            EXPECT_TRUE(sim::ParseByte(value(), &o->phone.answerByte));
        } else if (a == "--ident-byte") {
            EXPECT_TRUE(sim::ParseByte(value(), &o->phone.identByte));
        } else if (a == "--noise") {
            f.noiseBytes = std::stoi(value());
        } else if (a == "--silent-after-jump") {
            f.silentAfterJump = true;
        } else if (a == "--expect-spm") {
            const std::string text = test::ReadFile(value());
            o->phone.expectedSpm.assign(text.begin(), text.end());
            o->phone.checkSpm = true;
        } else if (a == "--unknown-manufacturer") {
            o->unknownManufacturer = true;
        } else if (a == "--unlisted-flash") {
            o->unlistedFlash = true;
        } else if (a == "--bad-checksum") {
            EXPECT_TRUE(f.badChecksum.Parse(value(), false, &why)) << why;
        } else if (a == "--sector-fail") {
            EXPECT_TRUE(f.sectorFail.Parse(value(), true, &why)) << why;
        } else if (a == "--silent-after-command") {
            EXPECT_TRUE(f.silentAfterCommand.Parse(value(), false, &why)) << why;
        } else if (a == "--silent-after-data") {
            EXPECT_TRUE(f.silentAfterData.Parse(value(), false, &why)) << why;
        } else if (a == "--bad-speed-verdict") {
            EXPECT_TRUE(f.badSpeedVerdict.Parse(value(), &why)) << why;
        } else if (a == "--no-speed-control") {
            f.noSpeedControl = true;
        } else if (a == "--no-switch-off-answer") {
            f.noSwitchOffAnswer = true;
        } else if (a == "--drop-at") {
            EXPECT_TRUE(sim::ParseDropPoint(value(), &f.drop, &why)) << why;
        } else {
            ADD_FAILURE() << "no in-process counterpart for vbcsim option " << a;
        }
    }
}

// ---- shared checks -------------------------------------------------------------------

void ExpectFlash(const Row& row, const Bytes& software, const Bytes& flash) {
    if (row.flash == FlashAfter::kNone) return;
    ASSERT_EQ(flash.size(), kFlashSize);
    const Bytes& old = OldFlash();
    auto same = [&](std::uint32_t from, std::uint32_t to, const Bytes& want, std::uint32_t at) {
        return std::equal(flash.begin() + from, flash.begin() + to, want.begin() + at);
    };
    switch (row.flash) {
        case FlashAfter::kNone:
            break;
        case FlashAfter::kUntouched:
            EXPECT_TRUE(flash == old) << "the flash was changed by a job that never wrote";
            break;
        case FlashAfter::kImage: {
            ASSERT_EQ(software.size(), kImageSize);
            EXPECT_TRUE(same(0, kImageSize, software, 0)) << "the flash does not hold the software";
            int last = 0;
            while (SectorOffset(last + 1) < kImageSize) ++last;
            const std::uint32_t end = SectorOffset(last + 1);
            EXPECT_TRUE(std::all_of(flash.begin() + kImageSize, flash.begin() + end,
                                    [](std::uint8_t b) { return b == 0xFF; }))
                << "the rest of the last sector is not erased";
            EXPECT_TRUE(same(end, kFlashSize, old, end)) << "sectors past the software changed";
            break;
        }
        case FlashAfter::kPrefix: {
            const std::uint32_t confirmed = SectorOffset(row.sectors);
            EXPECT_TRUE(same(0, confirmed, software, 0))
                << "a sector confirmed before the fault does not hold the software";
            if (row.sectors + 2 <= 8) {
                const std::uint32_t untouched = SectorOffset(row.sectors + 1);
                EXPECT_TRUE(same(untouched, kFlashSize, old, untouched))
                    << "sectors after the failing one were touched";
            }
            break;
        }
    }
}

// lineStays: the phone keeps the line open through the job's waits (vbcsim, serving one job,
// leaves the line as soon as it has switched off; the tool's read then fails at once).
void ExpectDuration(const Row& row, Seconds took, bool lineStays = true) {
    // Waits measured on the whole-second clock may end up to a second early.
    if (lineStays && row.timeouts > 0) {
        EXPECT_GE(took.count(), row.timeouts - 1.0) << "the job gave up before its time-outs";
    }
    const double limit = row.timeouts + (row.timeouts > 0 ? 1.0 : 0.0) + kJobWorkSeconds;
    EXPECT_LE(took.count(), limit) << "the job outlasted its time-outs plus a second";
}

// Comment lines, in order, not necessarily next to one another.
void ExpectLinesInOrder(const std::vector<std::string>& said,
                        const std::vector<std::string>& want) {
    auto at = said.begin();
    for (const std::string& line : want) {
        at = std::find(at, said.end(), line);
        ASSERT_NE(at, said.end()) << "missing, or out of order: \"" << line << "\"";
        ++at;
    }
}

// ---- in-process: the Start command of the main panel ---------------------------------

class FaultMatrix : public ::testing::TestWithParam<Row> {
  protected:
    ~FaultMatrix() override { platform::CloseAllPorts(); }
    test::ScratchDir dir;
};

TEST_P(FaultMatrix, StartCommand) {
    const Row& row = GetParam();
    test::MainPanelUp ui;  // after the scratch directory: it resets the context
    const Bytes software = PrepareDirectory(row);
    ASSERT_EQ(_mfl10_100InitFlashDescription(), 1);

    sim::SimulatorOptions options;
    ApplySimArguments(SimArguments(row), &options);
    std::unique_ptr<sim::Simulator> sim;
    if (row.setup != Setup::kNoPhone) {
        sim = std::make_unique<sim::Simulator>(options);
        std::string why;
        ASSERT_TRUE(sim->Start(&why)) << why;
    }

    std::strcpy(_sg_DownloadContext.claFileName, "phone.cla");
    _sg_DownloadContext.productType = ProductType(row);
    _mfl51_0InitLoadFile();
    ASSERT_EQ(_sg_DownloadContext.fileSize, static_cast<std::int32_t>(software.size()));
    ClearLastDisplayedResult();

    const auto start = std::chrono::steady_clock::now();
    _mfl51_50MMIStart(_v_Panel, MAIN_START, EVENT_COMMIT, nullptr, 0, 0);
    const Seconds took = std::chrono::steady_clock::now() - start;

    DownloadResult result{-1, -1};
    ASSERT_TRUE(LastDisplayedResult(&result)) << "the job ended without showing a result";
    EXPECT_EQ(result.category, row.category);
    EXPECT_EQ(test::WithoutStrayAnnouncements(result.code), row.code)
        << std::hex << "0x" << result.code;
    char text[100];
    const std::string message = ResultMessage(result.category, result.code, text);
    if (row.message == kSuccessPanel) {
        EXPECT_TRUE(IsMessagePanelDisplayed(MessagePanel::Success));
    } else if (row.message == kTimeoutPanel) {
        EXPECT_TRUE(IsMessagePanelDisplayed(MessagePanel::Timeout));
    } else {
        EXPECT_EQ(message, row.message);
    }
    if (row.category != 0) {
        EXPECT_FALSE(IsMessagePanelDisplayed(MessagePanel::Success))
            << "a failed job shown as a success";
    }
    ExpectDuration(row, took);
    EXPECT_TRUE(ui.Unlocked()) << "the panel stays locked after the job";
    ExpectLinesInOrder(ui.Comments(), row.lines);

    // The progress shown never runs ahead of what the phone confirmed.
    const int shown = ui.rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A);
    std::uint64_t confirmed = 0;
    if (row.flash == FlashAfter::kImage) confirmed = software.size();
    if (row.flash == FlashAfter::kPrefix) confirmed = SectorOffset(row.sectors);
    EXPECT_LE(static_cast<std::uint64_t>(shown) * software.size(), confirmed * 100)
        << "progress " << shown << " % with " << confirmed << " bytes confirmed";
    if (row.category == 0) {
        EXPECT_EQ(shown, 100);
    }

    if (sim && !ReachesPhone(row)) {
        EXPECT_EQ(sim->JobsDone(), 0) << "the phone heard from a job that had stopped";
        EXPECT_EQ(sim->FlashImage(), OldFlash());
    } else if (sim) {
        // The port was released, so the phone's job has ended as well.
        ASSERT_TRUE(sim->WaitJobDone(10s)) << "the simulator's job did not end";
        const sim::JobReport job = sim->LastJob();
        EXPECT_EQ(job.end == sim::JobEnd::kSwitchedOff, EndsSwitchedOff(row))
            << "the phone ended " << sim::JobEndName(job.end);
        ExpectFlash(row, software, sim->FlashImage());
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Rows()), RowName);

// ---- as the operator runs it: vbcflash-cli against vbcsim ----------------------------

#if defined(VBC_CLI_PATH)

#if defined(VBC_SIM_PATH)
constexpr const char* kSimProgram = VBC_SIM_PATH;
#else
constexpr const char* kSimProgram = VBC_BINARY_DIR "/vbcsim";
#endif

// A program run in the current directory: standard error into a file, standard output into a
// file or, for reading it as it comes, a pipe.
class Process {
  public:
    Process(const std::string& program, std::vector<std::string> args, const std::string& out,
            const std::string& err) {
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (out.empty()) {
            if (::pipe2(fds, O_CLOEXEC) != 0) return;
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (fds[1] >= 0) ::close(fds[1]);
        out_.Reset(fds[0]);
        if (pid_ > 0) pidfd_.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0 && pidfd_.Valid(); }
    void Terminate() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }

    // The next line of a piped standard output; nothing when none comes within the time.
    std::optional<std::string> Line(Seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nl = piped_.find('\n');
            if (nl != std::string::npos) {
                std::string line = piped_.substr(0, nl);
                piped_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (!out_.Valid() || left.count() <= 0) return std::nullopt;
            pollfd p{out_.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buf[4096];
            const ssize_t n = ::read(out_.Get(), buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            piped_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // The exit status, or nothing when the process is still running after the time given
    // (it is then killed) or ended on a signal.
    std::optional<int> Wait(Seconds limit) {
        if (!Started()) return std::nullopt;
        pollfd p{pidfd_.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(limit.count() * 1000));
        if (ready == 0) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (ready == 0 || !WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }

  private:
    pid_t pid_ = -1;
    platform::UniqueFd pidfd_;
    platform::UniqueFd out_;
    std::string piped_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class FaultMatrixCli : public ::testing::TestWithParam<Row> {
  protected:
    test::ScratchDir dir;
};

TEST_P(FaultMatrixCli, CommandLineAgainstVbcsim) {
    const Row& row = GetParam();
    ASSERT_TRUE(fs::exists(VBC_CLI_PATH)) << "build vbcflash-cli first";
    ASSERT_TRUE(fs::exists(kSimProgram)) << "build vbcsim first";
    const Bytes software = PrepareDirectory(row);

    std::unique_ptr<Process> sim;
    if (row.setup != Setup::kNoPhone) {
        sim = std::make_unique<Process>(kSimProgram, SimArguments(row), "", "sim.err");
        ASSERT_TRUE(sim->Started());
        // The slave's path comes once the link to it is in place.
        const std::optional<std::string> slave = sim->Line(20s);
        ASSERT_TRUE(slave.has_value()) << test::ReadFile("sim.err");
        ASSERT_TRUE(fs::is_symlink("COM1")) << *slave;
    }

    std::vector<std::string> args = {"phone.cla", "--port", "1", "--product",
                                     std::to_string(ProductType(row))};
    const auto start = std::chrono::steady_clock::now();
    Process cli(VBC_CLI_PATH, args, "cli.out", "cli.err");
    ASSERT_TRUE(cli.Started());
    const double limit = row.timeouts + 1.0 + kJobWorkSeconds;
    const std::optional<int> status = cli.Wait(Seconds(limit + 30));
    const Seconds took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(status.has_value()) << "vbcflash-cli hung or crashed\n"
                                    << test::ReadFile("cli.err");

    const std::string out = test::ReadFile("cli.out");
    const std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(*status, row.category) << out << test::ReadFile("cli.err");
    ASSERT_FALSE(lines.empty());
    if (row.message == kSuccessPanel || row.message == kTimeoutPanel) {
        // The panel's own text, as its resource holds it.
        const int panel = row.message == kSuccessPanel ? PANEL_SUCCESS : PANEL_TIMEOUT;
        const std::string text =
            platform::UiLabelText(platform::UiResource(kMmiUir, panel), platform::kPanelTextObject);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(lines.back(), text) << out;
    } else {
        EXPECT_EQ(lines.back(), row.message) << out;
    }
    ExpectDuration(row, took, !Has(row, "--no-switch-off-answer"));
    ExpectLinesInOrder(lines, row.lines);

    if (sim && !ReachesPhone(row)) {
        // Nothing reached the phone: it is still waiting for its first job.
        sim->Terminate();
        const std::optional<int> simStatus = sim->Wait(20s);
        ASSERT_TRUE(simStatus.has_value()) << "vbcsim did not stop";
        EXPECT_EQ(*simStatus, 0) << test::ReadFile("sim.err");
        std::optional<std::string> line;
        while ((line = sim->Line(1s))) EXPECT_NE(line->rfind("job ", 0), 0u) << *line;
    } else if (sim) {
        // The simulator serves one job: it reports it when the tool releases the port.
        std::optional<std::string> line;
        do line = sim->Line(20s);
        while (line && line->rfind("job ", 0) != 0);
        ASSERT_TRUE(line.has_value()) << "vbcsim did not report the job";
        const std::string report = *line;
        const std::optional<int> simStatus = sim->Wait(20s);
        ASSERT_TRUE(simStatus.has_value()) << "vbcsim did not end after the job";
        EXPECT_EQ(*simStatus, 0) << test::ReadFile("sim.err");
        EXPECT_EQ(report.find(" end=switched-off ") != std::string::npos, EndsSwitchedOff(row))
            << report;
        const std::string flash = test::ReadFile("flash.bin");
        ExpectFlash(row, software, Bytes(flash.begin(), flash.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixCli, ::testing::ValuesIn(Rows()), RowName);

#endif  // VBC_CLI_PATH

}  // namespace
}  // namespace vbc
