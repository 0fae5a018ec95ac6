// The boot against the simulated phone over a real pseudo-terminal, through the POSIX serial
// backend: the example bootstraps go through the boot loader and the flash codes come back.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

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

namespace fs = std::filesystem;
using platform::RecordingToolkit;
using platform::ScopedToolkit;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> FileBytes(const fs::path& p) {
    const std::string s = test::ReadFile(p);
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// A scratch directory with the example files, the comment list on a recording toolkit and a
// simulated phone linked as COM1 in the directory.
class BootE2e : public ::testing::Test {
  protected:
    BootE2e() : use_(rec_) {
        const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
        for (const char* f : {"flash.txt", "mfl104_4.spm", "mfl104_5.spm"}) {
            fs::copy_file(examples / f, dir_.path() / f);
        }
        platform::SetSerialProvider(nullptr);  // the real POSIX backend
        ResetDownloadContext();
        _sg_DownloadContext.comPort = 1;
        _v_Panel = rec_.LoadPanel(0, kMmiUir, PANEL_MAIN);
        _mv_NbCommentLine = 0;
    }
    ~BootE2e() override {
        _mfl12_1UartStop(1);
        if (sim_) sim_->Stop();
        platform::CloseAllPorts();
        ResetDownloadContext();
        _v_Panel = 0;
        _mv_NbCommentLine = 0;
    }

    void StartSim(sim::SimulatorOptions options) {
        options.linkName = "COM1";
        options.linkDir = dir_.path().string();
        sim_ = std::make_unique<sim::Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }

    DownloadResult Run(int productType) {
        _sg_DownloadContext.productType = productType;
        DownloadResult r{-1, -1};
        const auto t0 = Clock::now();
        _mfl1_0boot(&r, &_sg_DownloadContext);
        elapsed_ = Clock::now() - t0;
        return r;
    }

    // Closes the PC's end and waits for the simulator to finish its job.
    sim::JobReport EndJob() {
        _mfl12_1UartStop(1);
        EXPECT_TRUE(sim_->WaitJobDone(std::chrono::seconds(60)));
        return sim_->LastJob();
    }

    std::vector<std::string> Comments() const {
        return rec_.ListLines(_v_Panel, MAIN_COMMENT_LIST);
    }

    test::ScratchDir dir_;
    RecordingToolkit rec_;
    ScopedToolkit use_;
    std::unique_ptr<sim::Simulator> sim_;
    Clock::duration elapsed_{};
};

TEST_F(BootE2e, BootsBothProductTypesAndLandsTheFlashCodes) {
    struct Case {
        int productType;
        const char* spm;
        std::uint32_t flashAddr;
    };
    for (Case c : {Case{1, "mfl104_4.spm", 0x200000}, Case{2, "mfl104_5.spm", 0x800000}}) {
        SCOPED_TRACE(c.productType);
        sim::SimulatorOptions options;
        // The phone starts the bootstrap only if it arrived byte for byte.
        options.phone.checkSpm = true;
        options.phone.expectedSpm = FileBytes(c.spm);
        // Once at the line's real pace: the acknowledgement is awaited while the block is
        // still on its way (6144 bytes of 11 bits at 38400 bit/s take 1.76 s).
        options.pace = c.productType == 2;
        StartSim(options);
        _sg_DownloadContext.targetInfo[2] = 0;
        _sg_DownloadContext.targetInfo[3] = 0;
        const std::uint8_t ws[4] = {2, 0, 1, 4};
        std::copy(ws, ws + 4, _sg_DownloadContext.csWaitStates);
        const int linesBefore = _mv_NbCommentLine;

        const DownloadResult r = Run(c.productType);
        EXPECT_EQ(r.category, ResultSuccess);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(_sg_DownloadContext.targetInfo[1], 0xBE);
        EXPECT_EQ(_sg_DownloadContext.targetInfo[2], sim_->Manufacturer());
        EXPECT_EQ(_sg_DownloadContext.targetInfo[3], sim_->Device());
        EXPECT_EQ(_sg_FlashAddr, c.flashAddr);
        if (options.pace) {
            EXPECT_GE(elapsed_, std::chrono::milliseconds(1700));
        }
        const std::vector<std::string> all = Comments();
        std::vector<std::string> lines(all.begin() + linesBefore, all.end());
        ASSERT_FALSE(lines.empty());
        if (c.productType == 2) {
            EXPECT_EQ(lines.front(), " Extended mode...  ");
            lines.erase(lines.begin());
        }
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), " SPM version:2.5 ");

        const sim::JobReport job = EndJob();
        EXPECT_TRUE(job.answered);
        EXPECT_EQ(job.productType, c.productType);
        EXPECT_TRUE(job.bootstrapRunning) << job.bootRefusal;
        EXPECT_EQ(job.bootImage, options.phone.expectedSpm);
        if (c.productType == 1) {
            EXPECT_EQ(std::vector<int>(job.waitStates, job.waitStates + 4),
                      (std::vector<int>{2, 0, 1, 4}));
        } else {
            EXPECT_TRUE(job.extendedMode);
        }
        sim_->Stop();
        sim_.reset();
    }
}

TEST_F(BootE2e, SilentPhoneTimesOut) {
    sim::SimulatorOptions options;
    options.phone.faults.neverAnswer = true;
    StartSim(options);
    const DownloadResult r = Run(2);
    EXPECT_EQ(r.category, ResultBoot);
    EXPECT_EQ(r.code, BootCode::kNoAnswer);
    EXPECT_EQ(_sg_DownloadContext.targetInfo[1], 0x9D);
    // The wait ended on the port's time-out (5 s on the manual clock in mfl1boot_test).
    EXPECT_EQ(ComLastSystemError(1), ETIMEDOUT);
    EXPECT_GE(elapsed_, std::chrono::milliseconds(4900));
}

TEST_F(BootE2e, DroppedLineEndsTheBootWithAFailure) {
    struct Case {
        sim::DropStage stage;
        DownloadResult expected;
    };
    for (Case c : {Case{sim::DropStage::kBootWait, {6, 4}},
                   Case{sim::DropStage::kAfterJump, {6, 0x000A019D}},
                   Case{sim::DropStage::kIdentification, {6, 13}}}) {
        SCOPED_TRACE(sim::DropStageName(c.stage));
        sim::SimulatorOptions options;
        options.phone.faults.drop.stage = c.stage;
        StartSim(options);
        const DownloadResult r = Run(1);
        EXPECT_EQ(r.category, c.expected.category);
        EXPECT_EQ(test::WithoutStrayAnnouncements(r.code), c.expected.code) << std::hex << r.code;
        // A line that is gone answers at once: the wait ended on the hang-up, not on a
        // time-out.
        EXPECT_EQ(ComLastSystemError(1), EIO);
        _mfl12_1UartStop(1);
        sim_->Stop();
        sim_.reset();
    }
}

}  // namespace
}  // namespace vbc
