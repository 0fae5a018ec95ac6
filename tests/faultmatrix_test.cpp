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
// The fault matrix: whole Start jobs against the simulated phone, one row for every fault the
// simulator can commit (and a few the PC's own side can meet), each with its exact result,
// what the flash holds afterwards and how long the job takes.
//
// Every row runs in-process: the Start command of the main panel with the recording toolkit,
// against the simulator's phone joined to the PC's port on one virtual clock, where the result
// pair, the comment list, the progress indicators and the job's exact virtual duration can be
// read; a row that sits through minutes of time-outs takes milliseconds.
//
// When the command-line front end is built, and not under the sanitizers, every row also runs
// as the operator would run it: vbcflash-cli against vbcsim, two processes on a pseudo-terminal
// in real time, checking the exit status, the final message and the flash the simulator writes
// out. Those rows sit through their time-outs; ctest runs each row as its own process in its
// own scratch directory, so they overlap when ctest runs them in parallel.
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
#include "sim/commandline.h"
#include "sim/phone.h"
#include "sim/simulator.h"
#include "sim/virtualline.h"
#include "tests/flashtxt.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"
#include "toolkit/uiresources.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Seconds = std::chrono::duration<double>;

// ---- the phone's flash, the software and the bootstraps ------------------------------

// Manufacturer 0x20, device 0xCA: six 8 KiB sectors, then two of 64 KiB (a sector of 64 KiB is
// sent as one whole block, a drain of the output queue and an empty rest).
const std::string kFlashTxt = test::FlashTxt({{.manufacturerName = "MATRIX",
                                               .deviceName = "SMALL",
                                               .manufacturerId = "32",
                                               .deviceId = "202",
                                               .sectorCount = "8",
                                               .sectors = {"0-5*8192*0", "6-7*65536*0"}}},
                                             "# the fault matrix's chip");
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
    int sectors;  // kPrefix: sectors confirmed before the fault
    // How long the job takes on the virtual clock, exactly (ms); in real time, the same give or
    // take a second of the whole-second clock, plus the work.
    int ms;
    std::vector<std::string> lines = {};  // comment lines that must appear, in this order
    Setup setup = Setup::kNone;
};

constexpr const char* kSuccessPanel = "<success panel>";
constexpr const char* kTimeoutPanel = "<time-out panel>";
constexpr const char* kBattery = " You do not need to remove the battery to start the mobile ";
constexpr const char* kRemoveBattery = " Remove the battery of the mobile  ";
constexpr const char* kTimeoutMessage = "Timeout during the download";

// What the jobs wait for. The job starts on a whole second of the virtual clock.
// The boot loader's first announcement: it sees the port opened at the end of one 30 ms round
// and announces itself at the end of the next.
constexpr int kAnnounceMs = 60;
constexpr int kBootTimeoutMs = 5000;    // the port's time-out during the boot
constexpr int kBootGiveUpMs = 60'000;   // a minute of bytes other than the answer
constexpr int kPortTimeoutMs = 10'000;  // the port's time-out after the speed change
// The sector download's answer wait gives up at the first whole-second reading more than 10 s
// after it began: begun in the job's first second, at 11 s.
constexpr int kAnswerWaitEndMs = 11'000;

// clang-format off
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
    // name, vbcsim options, category, code, message, flash afterwards, sectors confirmed,
    // time-outs sat through, comment lines, set-up

    // ---- no fault, and faults the tool rides out ----
    {"NoFault", {}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, kAnnounceMs,
     {" Check the compatibility ", " Download sector by sector ", kBattery}},
    {"ProductType1", {}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0, kAnnounceMs,
     {kBattery}, Setup::kProductType1},
    {"LineNoiseBeforeTheAnswer", {"--noise", "700"}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0,
     kAnnounceMs, {kBattery}},
    {"OneBadChecksum", {"--bad-checksum", "1:1"}, 0, 0, kSuccessPanel, FlashAfter::kImage, 0,
     kAnnounceMs, {" CkeckSum NOK -> try again ", kBattery}},
    {"TwoBadChecksumsOnOneSector", {"--bad-checksum", "6:1,6:2"}, 0, 0, kSuccessPanel,
     FlashAfter::kImage, 0, kAnnounceMs,
     {" CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ", kBattery}},
    {"OneSectorFailure", {"--sector-fail", "2:1:0x21"}, 0, 0, kSuccessPanel, FlashAfter::kImage,
     0, kAnnounceMs, {" Bad Ack: cd ", kBattery}},
    {"OneBadSpeedVerdict", {"--bad-speed-verdict", "1"}, 0, 0, kSuccessPanel, FlashAfter::kImage,
     0, kAnnounceMs, {kBattery}},

    // ---- the boot ----
    {"PhoneNeverAnswers", {"--never-answer"}, 6, 4, kTimeoutPanel, FlashAfter::kUntouched, 0,
     kBootTimeoutMs},
    {"AnswerByteIsTheTimeoutByte", {"--answer-byte", "0x9D"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, kAnnounceMs},
    // Another processor keeps announcing itself with a byte the tool does not take: the boot
    // gives up after a minute of it.
    {"AnswerByteOfAnotherProcessor", {"--answer-byte", "0x55"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, kBootGiveUpMs},
    {"BootstrapSilentAfterJump", {"--silent-after-jump"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0,
     kAnnounceMs + 2 * kBootTimeoutMs},
    {"BootstrapNotTheExpectedOne", {"--expect-spm", "other.spm"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0,
     kAnnounceMs + 2 * kBootTimeoutMs},
    {"WrongIdentificationByte", {"--ident-byte", "0x00"}, 6, 12,
     "BOOT : Bad acknowledgement during the identification of the flash",
     FlashAfter::kUntouched, 0, kAnnounceMs, {" SPM version:2.5 "}},
    {"UnknownManufacturer", {"--unknown-manufacturer"}, 6, 15,
     "BOOT : The manufacturer of terminal GSM flash is unknown", FlashAfter::kNone, 0, kAnnounceMs,
     {" Flash Device manufacturer 55  "}},
    {"FlashNotDescribed", {"--unlisted-flash"}, 2, 15,
     "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)",
     FlashAfter::kNone, 0, kAnnounceMs},

    // ---- the speed change ----
    {"SpeedVerdictAlwaysBad", {"--bad-speed-verdict", "*"}, 8, 8,
     "COMMAND : Bad change speed checksum ", FlashAfter::kUntouched, 0, kAnnounceMs},
    // Four attempts of four unanswered speed controls, each read waiting the port's time-out
    // at the new speed.
    {"NoSpeedControl", {"--no-speed-control"}, 8, 9, "COMMAND : Speed control err ",
     FlashAfter::kUntouched, 0, kAnnounceMs + 16 * kPortTimeoutMs},

    // ---- the sector download ----
    {"ChecksumAlwaysBad", {"--bad-checksum", "1:*"}, 12, 0xCC, "Problem : Bad checksum",
     FlashAfter::kPrefix, 1, kAnnounceMs,
     {" CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ", " CkeckSum NOK -> try again ",
      kRemoveBattery}},
    {"FiveBadChecksumsOnFiveSectors", {"--bad-checksum", "0:1,1:1,2:1,3:1,4:1"}, 12, 0xCC,
     "Problem : Bad checksum", FlashAfter::kPrefix, 4, kAnnounceMs, {kRemoveBattery}},
    {"SectorAlwaysFails", {"--sector-fail", "1:*:0x33"}, 10, 0x33,
     "Problem : Error during the sector donwload", FlashAfter::kPrefix, 1, kAnnounceMs,
     {" Bad Ack: cd ", " Bad Ack: cd ", " Bad Ack: cd ", kRemoveBattery}},
    {"SilentAfterSectorCommand", {"--silent-after-command", "2:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 2, kAnswerWaitEndMs, {kRemoveBattery}},
    {"SilentAfterSectorData", {"--silent-after-data", "6:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 6, kAnswerWaitEndMs, {kRemoveBattery}},
    {"NoSwitchOffAnswer", {"--no-switch-off-answer"}, 8, 20, "COMMAND : Switch off error ",
     FlashAfter::kImage, 0, kAnnounceMs + kPortTimeoutMs, {kBattery}},

    // ---- the line dropped at each stage ----
    {"DropWhileBootLoaderWaits", {"--drop-at", "boot-wait"}, 6, 4, kTimeoutPanel,
     FlashAfter::kUntouched, 0, kAnnounceMs},
    {"DropDuringBootstrapBlock", {"--drop-at", "boot-frames"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, kAnnounceMs},
    {"DropAfterJump", {"--drop-at", "after-jump"}, 6, 0x000A019D,
     "BOOT : Problem during the boot sequence", FlashAfter::kUntouched, 0, kAnnounceMs},
    {"DropDuringIdentification", {"--drop-at", "identification"}, 6, 13,
     "BOOT : Timeout during the flash identification", FlashAfter::kUntouched, 0, kAnnounceMs},
    // The verdict never comes (7); the three further attempts find no acknowledge (2).
    {"DropDuringSpeedChange", {"--drop-at", "speed-change"}, 8, 2,
     "COMMAND : Bad command acknowledge ", FlashAfter::kUntouched, 0, kAnnounceMs},
    {"DropAfterSectorCommand", {"--drop-at", "sector-command:3"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 3, kAnnounceMs, {kRemoveBattery}},
    {"DropDuringSectorData", {"--drop-at", "sector-data:6"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 6, kAnnounceMs, {kRemoveBattery}},
    {"DropWhileWaitingForChecksum", {"--drop-at", "checksum-wait:1"}, 13, 0, kTimeoutMessage,
     FlashAfter::kPrefix, 1, kAnnounceMs, {kRemoveBattery}},
    {"DropBeforeSwitchOffAnswer", {"--drop-at", "switch-off"}, 8, 20,
     "COMMAND : Switch off error ", FlashAfter::kImage, 0, kAnnounceMs, {kBattery}},

    // ---- the PC's own side ----
    {"NoPhoneOnThePort", {}, 5, kComErrCannotOpen, "LIB_PC : Default error number _ 0xfffffffa",
     FlashAfter::kUntouched, 0, 0, {}, Setup::kNoPhone},
    {"BootstrapFileMissing", {}, 5, 3, "LIB_PC : File not found", FlashAfter::kUntouched, 0, 0,
     {}, Setup::kNoBootstrap},
    {"BootstrapFileTooLong", {}, 5, 4, "LIB_PC : The size of the SPM is too long",
     FlashAfter::kUntouched, 0, 0, {}, Setup::kLongBootstrap},
    {"SoftwareLongerThanTheFlash", {}, 2, 20,
     "FLASH DESCRIPTION : Not enough sector to download this software", FlashAfter::kUntouched,
     0, kAnnounceMs, {kRemoveBattery}, Setup::kSoftwareTooLarge},
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

#if defined(VBC_SIM_PATH)
constexpr const char* kSimProgram = VBC_SIM_PATH;
#else
constexpr const char* kSimProgram = VBC_BINARY_DIR "/vbcsim";
#endif

// vbcsim's whole command line for a row.
std::vector<std::string> SimCommand(const Row& row) {
    std::vector<std::string> args = {kSimProgram, "--once",      "--flash-txt",
                                     "flash.txt", "--flash-out", "flash.bin"};
    if (row.flash != FlashAfter::kNone) {
        args.push_back("--flash-in");
        args.push_back("old.bin");
    }
    args.insert(args.end(), row.sim.begin(), row.sim.end());
    return args;
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
    test::ScratchDir dir;
};

TEST_P(FaultMatrix, StartCommand) {
    const Row& row = GetParam();
    test::MainPanelUp ui;  // after the scratch directory: it resets the context
    const Bytes software = PrepareDirectory(row);
    ASSERT_EQ(_mfl10_100InitFlashDescription(), 1);

    // The phone, as vbcsim sets it up from the row's options; it outlives the line its thread
    // runs on.
    sim::SimulatorOptions options;
    const sim::CommandLine command = sim::ParseCommandLine(SimCommand(row), &options);
    ASSERT_TRUE(command.run) << command.err;
    sim::PhoneSetup setup;
    std::string why;
    ASSERT_TRUE(sim::SetUpPhone(options, &setup, &why)) << why;
    sim::Phone phone(setup.phone, setup.flash.get());
    sim::JobReport job;

    // Port 1 and the clock from here on; without a phone, port 1 is the unplugged adapter.
    sim::VirtualLine line(row.setup == Setup::kNoPhone ? "" : "COM1");
    if (row.setup != Setup::kNoPhone) {
        line.StartPhone([&](sim::Channel& channel) { job = phone.RunJob(channel); });
    }

    std::strcpy(_sg_DownloadContext.claFileName, "phone.cla");
    _sg_DownloadContext.productType = ProductType(row);
    _mfl51_0InitLoadFile();
    ASSERT_EQ(_sg_DownloadContext.fileSize, static_cast<std::int32_t>(software.size()));
    ClearLastDisplayedResult();

    const std::int64_t start = line.ElapsedMs();
    _mfl51_50MMIStart(_v_Panel, MAIN_START, EVENT_COMMIT, nullptr, 0, 0);
    const std::int64_t took = line.ElapsedMs() - start;

    DownloadResult result{-1, -1};
    ASSERT_TRUE(LastDisplayedResult(&result)) << "the job ended without showing a result";
    EXPECT_EQ(result.category, row.category);
    EXPECT_EQ(result.code, row.code) << std::hex << "0x" << result.code;
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
    EXPECT_EQ(took, row.ms) << "ms on the virtual clock";
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

    if (row.setup == Setup::kNoPhone) return;
    if (!ReachesPhone(row)) {
        line.Stop();
        EXPECT_EQ(job.end, sim::JobEnd::kNotStarted)
            << "the phone heard from a job that had stopped";
        EXPECT_EQ(setup.flash->Image(), OldFlash());
    } else {
        // The port was released, so the phone's job ends as well.
        ASSERT_TRUE(line.WaitPhoneDone(10'000)) << "the phone's job did not end";
        EXPECT_EQ(job.end == sim::JobEnd::kSwitchedOff, EndsSwitchedOff(row))
            << "the phone ended " << sim::JobEndName(job.end);
        ExpectFlash(row, software, setup.flash->Image());
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Rows()), RowName);

// ---- as the operator runs it: vbcflash-cli against vbcsim ----------------------------

#if defined(VBC_MATRIX_CLI_PATH)

// What the work of a command-line row may take besides its time-outs: starting two processes,
// the boot and the download of the small image over an unpaced pseudo-terminal, on a machine
// loaded with other rows and builds.
constexpr double kJobWorkSeconds = 10.0;

double RealLimit(const Row& row) {
    return row.ms / 1000.0 + 1.0 + kJobWorkSeconds;
}

// The real-time bounds of the command-line rows: no earlier than the row's virtual duration less
// one second for waits on the whole-second clock (unless the phone leaves the line at once:
// vbcsim, serving one job, goes as soon as it has switched off, and the tool's read then fails
// at once); no later than that duration, a second more of the whole-second clock, and the work.
void ExpectRealDuration(const Row& row, Seconds took, bool lineStays) {
    const double virtualSeconds = row.ms / 1000.0;
    if (lineStays) {
        EXPECT_GE(took.count(), virtualSeconds - 1.0) << "the job gave up before its time-outs";
    }
    EXPECT_LE(took.count(), RealLimit(row)) << "the job outlasted its time-outs and its work";
}

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
    ASSERT_TRUE(fs::exists(VBC_MATRIX_CLI_PATH)) << "build vbcflash-cli first";
    ASSERT_TRUE(fs::exists(kSimProgram)) << "build vbcsim first";
    const Bytes software = PrepareDirectory(row);

    std::unique_ptr<test::Child> sim;
    if (row.setup != Setup::kNoPhone) {
        sim = std::make_unique<test::Child>(SimCommand(row), "", "sim.err");
        ASSERT_TRUE(sim->Started());
        // The slave's path comes once the link to it is in place.
        const std::optional<std::string> slave = sim->Line(20s);
        ASSERT_TRUE(slave.has_value()) << test::ReadFile("sim.err");
        ASSERT_TRUE(fs::is_symlink("COM1")) << *slave;
    }

    const std::vector<std::string> args = {VBC_MATRIX_CLI_PATH,
                                           "phone.cla",
                                           "--port",
                                           "1",
                                           "--product",
                                           std::to_string(ProductType(row))};
    const auto start = std::chrono::steady_clock::now();
    test::Child cli(args, "cli.out", "cli.err");
    ASSERT_TRUE(cli.Started());
    const std::optional<int> status =
        cli.Wait(std::chrono::duration_cast<test::Child::Ms>(Seconds(RealLimit(row) + 30)));
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
    ExpectRealDuration(row, took, !Has(row, "--no-switch-off-answer"));
    ExpectLinesInOrder(lines, row.lines);

    if (sim && !ReachesPhone(row)) {
        // Nothing reached the phone: it is still waiting for its first job.
        sim->Signal(SIGTERM);
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

#endif  // VBC_MATRIX_CLI_PATH

}  // namespace
}  // namespace vbc
