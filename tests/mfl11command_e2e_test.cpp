// The command set and the sector download end to end: the real boot, the speed change and the
// download over a pseudo-terminal against the simulated phone, checked against its flash.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "link/mfl1boot.h"
#include "platform/serial.h"
#include "sim/simulator.h"
#include "testing/recordingtoolkit.h"
#include "tests/testutil.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using namespace std::chrono_literals;
using platform::RecordingToolkit;
using platform::ScopedToolkit;

// The first chip of the example flash.txt (what the simulator reports): eight 8 KiB sectors,
// then 64 KiB ones, 8 MiB in all.
constexpr std::size_t kFlashSize = 8u << 20;
constexpr std::size_t kSmall = 8192;
constexpr std::size_t kBig = 65536;

std::vector<std::uint8_t> Image(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

std::vector<std::uint8_t> Expected(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> flash(kFlashSize, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

class CommandsOnSimulator : public ::testing::Test {
  protected:
    CommandsOnSimulator() : use(rec) {
        namespace fs = std::filesystem;
        const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
        for (const char* f : {"flash.txt", "mfl104_4.spm", "mfl104_5.spm"})
            fs::copy_file(examples / f, dir.path() / f);
        EXPECT_EQ(_mfl10_100InitFlashDescription(), 1);
        ResetDownloadContext();
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
        options.flashTxt = "flash.txt";
        options.flashOut = "flash.bin";
    }
    ~CommandsOnSimulator() override {
        platform::CloseAllPorts();
        if (sim) sim->Stop();
        ResetDownloadContext();
    }

    void StartSimulator() {
        sim = std::make_unique<sim::Simulator>(options);
        std::string why;
        ASSERT_TRUE(sim->Start(&why)) << why;
    }

    // Boot, speed change, the download of image, switch-off, the port released; the result
    // of the download.
    DownloadResult Job(const std::vector<std::uint8_t>& image, bool switchOff = true) {
        DownloadContext& c = _sg_DownloadContext;
        c.comPort = 1;
        DownloadResult r{-1, -1};
        _mfl1_0boot(&r, &c);
        EXPECT_EQ(r.category, 0) << r.code;
        if (r.category != 0) return r;
        EXPECT_EQ(_mfl11_8SetGPIO(c), 1);
        EXPECT_EQ(_mfl11_0SetSpeedAndPMU(c), 1);
        _mfl11_54Download(&r, c, static_cast<std::uint32_t>(image.size()), image.data(),
                          _sg_FlashAddr);
        downloadError = ComLastSystemError(c.comPort);
        if (switchOff) {
            EXPECT_EQ(_mfl11_7SwitchOffCommand(c.comPort), 1);
        }
        _mfl12_1UartStop(static_cast<std::uint8_t>(c.comPort));
        EXPECT_TRUE(sim->WaitJobDone(60s));
        return r;
    }

    std::vector<std::string> Comments() const { return rec.ListLines(_v_Panel, MAIN_COMMENT_LIST); }

    test::ScratchDir dir;
    RecordingToolkit rec;
    ScopedToolkit use;
    sim::SimulatorOptions options;
    std::unique_ptr<sim::Simulator> sim;
    int downloadError = 0;  // the port's system error right after the download
};

TEST_F(CommandsOnSimulator, ImagesArriveByteForByte) {
    struct Case {
        const char* name;
        int productType;
        std::size_t length;
        int sectors;
        std::vector<std::string> comments;  // the boot's lines
    };
    const Case cases[] = {
        // Eight small sectors, one whole 64 KiB block, and an odd rest inside a big sector.
        {"ends inside a sector, odd length",
         2,
         8 * kSmall + kBig + 4321,
         10,
         {" Extended mode...  ", " SPM version:2.5 ", " Flash Device manufacturer 20  ",
          " ST Flash Device Id ca  ", " ST M36DR864CB Flash ", " Extended bit: 0 "}},
        // Product type 1 has no extended mode.
        {"three bytes, product type 1",
         1,
         3,
         1,
         {" SPM version:2.5 ", " Flash Device manufacturer 20  ", " ST Flash Device Id ca  ",
          " ST M36DR864CB Flash ", " Extended bit: 0 "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartSimulator();
        _sg_DownloadContext.productType = c.productType;
        const auto image = Image(c.length);
        const std::size_t linesBefore = Comments().size();
        const DownloadResult r = Job(image);
        EXPECT_EQ(r.category, 0);

        const sim::JobReport job = sim->LastJob();
        EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff);
        EXPECT_EQ(job.flashBase, c.productType == 1 ? 0x200000u : 0x800000u);
        EXPECT_EQ(job.speedChanges, 1);
        EXPECT_EQ(job.sectorsWritten, c.sectors);
        EXPECT_EQ(job.resends, 0);
        EXPECT_TRUE(job.notes.empty()) << ::testing::PrintToString(job.notes);
        const auto expected = Expected(image);
        EXPECT_TRUE(sim->FlashImage() == expected);
        const std::string file = test::ReadFile("flash.bin");
        EXPECT_TRUE(file == std::string(expected.begin(), expected.end()));
        EXPECT_EQ(rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 100);
        EXPECT_EQ(rec.CtrlValue(_v_Panel, MAIN_PROGRESS_B), 100);
        // The boot's lines, and not one from the download: no sector was sent twice.
        const std::vector<std::string> all = Comments();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(linesBefore), all.end()),
                  c.comments);
        sim->Stop();
        sim.reset();
    }
}

TEST_F(CommandsOnSimulator, InjectedFailuresAreRetriedAndTheImageStillArrives) {
    options.phone.faults.badChecksum.Add(0, 1);
    options.phone.faults.badChecksum.Add(0, 2);
    options.phone.faults.badChecksum.Add(8, 1);
    options.phone.faults.sectorFail.Add(9, 1, 0x33);
    StartSimulator();
    const auto image = Image(8 * kSmall + kBig + 1001);
    const DownloadResult r = Job(image);
    EXPECT_EQ(r.category, 0);
    EXPECT_EQ(sim->LastJob().resends, 4);
    EXPECT_TRUE(sim->FlashImage() == Expected(image));
    std::vector<std::string> retries;
    for (const auto& line : Comments())
        if (line == " CkeckSum NOK -> try again " || line == " Bad Ack: cd ")
            retries.push_back(line);
    EXPECT_EQ(retries, (std::vector<std::string>{" CkeckSum NOK -> try again ",
                                                 " CkeckSum NOK -> try again ",
                                                 " CkeckSum NOK -> try again ", " Bad Ack: cd "}));
}

TEST_F(CommandsOnSimulator, ASectorThatKeepsFailingStopsTheDownload) {
    for (int attempt = 1; attempt <= 3; ++attempt) options.phone.faults.badChecksum.Add(1, attempt);
    StartSimulator();
    const auto image = Image(4 * kSmall);
    const DownloadResult r = Job(image);
    EXPECT_EQ(r.category, ResultChecksum);
    EXPECT_EQ(r.code, 0xCC);
    // Sector 0 is written, sector 1 holds its corrupted last attempt, the rest is untouched.
    const auto flash = sim->FlashImage();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + kSmall, flash.begin()));
    EXPECT_FALSE(
        std::equal(image.begin() + kSmall, image.begin() + 2 * kSmall, flash.begin() + kSmall));
    EXPECT_TRUE(std::all_of(flash.begin() + 2 * kSmall, flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(sim->LastJob().resends, 2);
    EXPECT_EQ(rec.CtrlValue(_v_Panel, MAIN_PROGRESS_A), 25);
}

TEST_F(CommandsOnSimulator, ALineThatDropsEndsTheDownloadPromptly) {
    options.phone.faults.drop.stage = sim::DropStage::kChecksumWait;
    options.phone.faults.drop.sector = 1;
    StartSimulator();
    const DownloadResult r = Job(Image(4 * kSmall), false);
    EXPECT_EQ(r.category, ResultDownloadTimeout);
    EXPECT_EQ(r.code, 0);
    // The wait ended on the hang-up, not on the 10 s time-out.
    EXPECT_EQ(downloadError, EIO);
    EXPECT_EQ(sim->LastJob().end, sim::JobEnd::kDropped);
}

}  // namespace
}  // namespace vbc
