// The simulator end to end over a real pseudo-terminal, with the test playing a bare PC.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <thread>

#include "sim/commandline.h"
#include "sim/minipc.h"
#include "sim/ptyhost.h"
#include "sim/simulator.h"
#include "tests/flashtxt.h"
#include "testutil.h"

namespace vbc::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Manufacturer 0x20, device 0xCA (202): two 8 KiB sectors, then two of 16 KiB; 48 KiB.
const std::string kFlashTxt = test::FlashTxt({{.manufacturerName = "TEST",
                                               .deviceName = "SMALL",
                                               .manufacturerId = "32",
                                               .deviceId = "202",
                                               .sectorCount = "4",
                                               .sectors = {"0-1*8192*0", "2-3*16384*0"}}},
                                             "# a small chip for the simulator's tests");
constexpr std::uint32_t kFlashSize = 0xC000;
const std::uint8_t kSpeedRow1[3] = {0x00, 0xFF, 0xF9};
const std::uint8_t kNoWaitStates[4] = {0, 0, 0, 0};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed ^ (i * 13) ^ (i >> 7));
    return b;
}

std::uint32_t Sum(const std::uint8_t* p, std::size_t n) {
    return std::accumulate(p, p + n, 0u);
}

class SimPty : public ::testing::Test {
  protected:
    SimPty() {
        test::WriteFile("flash.txt", kFlashTxt);
        options.flashOut = "flash.bin";
        spm = Pattern(600, 0x5A);
    }

    void StartSim() {
        sim = std::make_unique<Simulator>(options);
        std::string why;
        ASSERT_TRUE(sim->Start(&why)) << why;
        EXPECT_EQ(sim->LinkName(), "./COM1");
        EXPECT_EQ(std::filesystem::read_symlink("COM1").string(), sim->SlavePath());
    }

    // Boot and speed change of product type 2 through the link, as the tool's port 1 would.
    void BootAndRaise(MiniPc& pc) {
        std::string why;
        ASSERT_TRUE(pc.Open("COM1", &why)) << why;
        MiniPc::BootInfo info;
        ASSERT_TRUE(pc.Boot(2, spm, kNoWaitStates, &info, &why)) << why;
        EXPECT_EQ(info.major, 2);
        EXPECT_EQ(info.minor, 5);
        EXPECT_EQ(info.manufacturer, 0x20);
        EXPECT_EQ(info.device, 0xCA);
        EXPECT_EQ(info.extension, 0x00);
        ASSERT_TRUE(pc.ChangeSpeed(kSpeedRow1, 115200, &why)) << why;
    }

    test::ScratchDir dir;
    SimulatorOptions options;
    Bytes spm;
    std::unique_ptr<Simulator> sim;
};

TEST_F(SimPty, WholeJobArrivesByteForByte) {
    StartSim();
    MiniPc pc;
    BootAndRaise(pc);
    // Sectors 0 to 2; the image ends inside sector 2.
    const Bytes image = Pattern(8192 * 2 + 5000, 3);
    const std::uint32_t sizes[] = {8192, 8192, 16384};
    std::uint32_t offset = 0;
    std::string why;
    for (std::uint32_t size : sizes) {
        const std::uint32_t length = std::min<std::uint32_t>(size, image.size() - offset);
        std::uint8_t answer = 0;
        std::uint32_t sum = 0;
        ASSERT_TRUE(pc.DownloadSector(0x800000 + offset, size, image.data() + offset, length,
                                      &answer, &sum, &why))
            << why;
        EXPECT_EQ(answer, 0xCC);
        EXPECT_EQ(sum, Sum(image.data() + offset, length));
        offset += size;
    }
    ASSERT_TRUE(pc.SwitchOff(&why)) << why;
    ASSERT_TRUE(sim->WaitJobDone(10s));

    const JobReport r = sim->LastJob();
    EXPECT_EQ(r.end, JobEnd::kSwitchedOff);
    EXPECT_EQ(r.productType, 2);
    EXPECT_TRUE(r.extendedMode);
    EXPECT_EQ(r.bootImage, spm);
    EXPECT_EQ(r.phoneRate, 116071);
    EXPECT_EQ(r.sectorsWritten, 3);
    EXPECT_EQ(r.bytesWritten, image.size());
    EXPECT_TRUE(r.notes.empty()) << r.notes.front();  // the PC's rate matched the phone's

    Bytes expected(kFlashSize, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_EQ(sim->FlashImage(), expected);
    const std::string file = test::ReadFile("flash.bin");
    EXPECT_EQ(Bytes(file.begin(), file.end()), expected);
    EXPECT_EQ(
        JobSummary(r, sim->Flash()),
        Format("job 1 end=switched-off product-type=2 bootstrap=running sectors=3 "
               "bytes=21384 resends=0 flash-size=49152 flash-sum=0x%08X "
               "flash-crc32=0x%08X pc-rate=115200 phone-rate=116071 answered=yes",
               Sum(expected.data(), expected.size()), Crc32(expected.data(), expected.size())));
}

TEST_F(SimPty, ClosingThePortEndsTheJobAndTheNextOneBootsAgain) {
    options.flashIn = "initial.bin";
    test::WriteFile("initial.bin", std::string(100, '\x11'));
    StartSim();
    {
        MiniPc pc;
        BootAndRaise(pc);
    }  // closed without a switch-off
    ASSERT_TRUE(sim->WaitJobDone(10s));
    EXPECT_EQ(sim->LastJob().end, JobEnd::kPcClosed);

    MiniPc again;
    BootAndRaise(again);
    std::string why;
    ASSERT_TRUE(again.SwitchOff(&why)) << why;
    ASSERT_TRUE(sim->WaitJobDone(10s, 2));
    EXPECT_EQ(sim->LastJob().end, JobEnd::kSwitchedOff);
    // The flash keeps its content from job to job.
    const Bytes image = sim->FlashImage();
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 100), Bytes(100, 0x11));
}

TEST_F(SimPty, DroppedLineEndsTheJobAndComesBackUnderTheSameName) {
    options.phone.faults.drop = {DropStage::kSectorData, 1};
    StartSim();
    const Bytes data = Pattern(8192, 9);
    std::string why;
    {
        MiniPc pc;
        BootAndRaise(pc);
        std::uint8_t answer = 0;
        std::uint32_t sum = 0;
        ASSERT_TRUE(pc.DownloadSector(0x800000, 8192, data.data(), 8192, &answer, &sum, &why));
        EXPECT_FALSE(pc.DownloadSector(0x802000, 8192, data.data(), 8192, &answer, &sum, &why));
        EXPECT_EQ(pc.ReadByte(100), MiniPc::kGone);
    }
    ASSERT_TRUE(sim->WaitJobDone(10s));
    EXPECT_EQ(sim->LastJob().end, JobEnd::kDropped);
    const Bytes image = sim->FlashImage();
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 8192), data);  // confirmed before the drop
    EXPECT_EQ(Bytes(image.begin() + 8192, image.begin() + 8192 + 4096),
              Bytes(data.begin(), data.begin() + 4096));  // the half that arrived
    EXPECT_EQ(Bytes(image.begin() + 8192 + 4096, image.end()), Bytes(kFlashSize - 12288, 0xFF));

    // A new line under the same name serves the next job (the kernel may give it the old
    // number once every end of the old one is closed).
    EXPECT_EQ(std::filesystem::read_symlink("COM1").string(), sim->SlavePath());
    MiniPc again;
    BootAndRaise(again);
    ASSERT_TRUE(again.SwitchOff(&why)) << why;
    ASSERT_TRUE(sim->WaitJobDone(10s, 2));
}

// --job-faults: each job is another phone, with its own faults and the flash it came with.
TEST_F(SimPty, EachJobTakesItsOwnFaultsAndStartsWithTheFirstFlash) {
    test::WriteFile("initial.bin", std::string(100, '\x11'));
    test::WriteFile("jobs.txt", "\n--bad-checksum 0:*\n");
    const CommandLine command =
        ParseCommandLine({"vbcsim", "--flash-in", "initial.bin", "--flash-out", "flash.bin",
                          "--job-faults", "jobs.txt"},
                         &options);
    ASSERT_TRUE(command.run) << command.err;
    StartSim();
    const Bytes data = Pattern(8192, 3);
    // Job 1 writes sector 1; job 2's phone corrupts every data of sector 0; job 3 (past the
    // file's lines: no fault) writes sector 0. Each finds the flash of initial.bin.
    const struct {
        std::uint32_t offset;
        bool intact;
    } jobs[] = {{0x2000, true}, {0, false}, {0, true}};
    for (int job = 1; job <= 3; ++job) {
        SCOPED_TRACE(job);
        const auto& j = jobs[job - 1];
        MiniPc pc;
        BootAndRaise(pc);
        std::string why;
        std::uint8_t answer = 0;
        std::uint32_t sum = 0;
        ASSERT_TRUE(
            pc.DownloadSector(0x800000 + j.offset, 8192, data.data(), 8192, &answer, &sum, &why))
            << why;
        EXPECT_EQ(sum == Sum(data.data(), data.size()), j.intact);
        ASSERT_TRUE(pc.SwitchOff(&why)) << why;
        ASSERT_TRUE(sim->WaitJobDone(10s, job));
        Bytes expected(kFlashSize, 0xFF);
        std::fill_n(expected.begin(), 100, 0x11);
        std::copy(data.begin(), data.end(), expected.begin() + j.offset);
        const std::string file = test::ReadFile("flash.bin");  // the flash at the job's end
        const Bytes image(file.begin(), file.end());
        EXPECT_EQ(image == expected, j.intact);
        EXPECT_EQ(Bytes(image.begin() + 0x2000, image.begin() + 0x4000),
                  Bytes(expected.begin() + 0x2000, expected.begin() + 0x4000));
    }

    // A line that is not fault options is refused, with its number.
    test::WriteFile("jobs.txt", "--noise 5\n--drop-at nowhere\n");
    const CommandLine bad = ParseCommandLine({"vbcsim", "--job-faults", "jobs.txt"}, &options);
    EXPECT_FALSE(bad.run);
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_EQ(bad.err.rfind("vbcsim: --job-faults: line 2: --drop-at: ", 0), 0u) << bad.err;
}

// A drop lands after what was sent before it: the PC that starts reading only once the phone
// has begun to drop still gets every byte, then sees the line gone.
TEST(PtyLineDrop, WaitsUntilThePcHasReadWhatWasSent) {
    PtyLine line(-1, false);
    std::string why;
    ASSERT_TRUE(line.Open(&why)) << why;
    const int pc = ::open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pc, 0);
    ASSERT_TRUE(line.PeerPresent());
    const Bytes sent = {0xC2, 0x20, 0xCA};
    std::atomic<bool> dropping{false};
    std::thread phone([&] {
        line.Write(sent.data(), sent.size());
        dropping = true;
        line.Drop();
    });
    while (!dropping) std::this_thread::yield();
    Bytes got;
    std::uint8_t buf[16];
    for (;;) {
        struct pollfd p {
            pc, POLLIN, 0
        };
        ASSERT_GT(::poll(&p, 1, 5000), 0) << "the line neither delivered nor hung up";
        const ssize_t n = ::read(pc, buf, sizeof buf);
        if (n <= 0) break;  // hung up
        got.insert(got.end(), buf, buf + n);
    }
    phone.join();
    ::close(pc);
    EXPECT_EQ(got, sent);
}

TEST_F(SimPty, OnceServesOneJobAndStopRemovesTheLink) {
    options.once = true;
    StartSim();
    MiniPc pc;
    BootAndRaise(pc);
    std::string why;
    ASSERT_TRUE(pc.SwitchOff(&why)) << why;
    sim->Wait();
    EXPECT_FALSE(sim->Running());
    EXPECT_EQ(sim->JobsDone(), 1);
    sim->Stop();
    EXPECT_FALSE(std::filesystem::is_symlink("COM1"));
}

TEST_F(SimPty, RefusesToReplaceAFileAndWithoutAFlashDescription) {
    test::WriteFile("COM1", "a file of the operator's");
    Simulator a(options);
    std::string why;
    EXPECT_FALSE(a.Start(&why));
    EXPECT_EQ(why, "./COM1 exists and is not a symbolic link: not replaced");
    EXPECT_EQ(test::ReadFile("COM1"), "a file of the operator's");

    options.flashTxt = "missing.txt";
    Simulator b(options);
    EXPECT_FALSE(b.Start(&why));
    EXPECT_EQ(why, "cannot read missing.txt");
}

TEST_F(SimPty, FlashCodeFaultsPickCodesTheToolCannotUse) {
    options.unlistedFlash = true;
    options.linkName.clear();
    Simulator a(options);
    std::string why;
    ASSERT_TRUE(a.Start(&why)) << why;
    EXPECT_EQ(a.Manufacturer(), 0x20);
    EXPECT_EQ(a.Device(), 0x00);
    EXPECT_FALSE(a.FlashKnown());
    EXPECT_EQ(a.LinkName(), "");
    a.Stop();

    options.unlistedFlash = false;
    options.unknownManufacturer = true;
    Simulator b(options);
    ASSERT_TRUE(b.Start(&why)) << why;
    EXPECT_EQ(b.Manufacturer(), 0x55);
}

// Pacing is checked for what it guarantees, never faster than the line; how close it comes
// to the line's time is measured by the benchmark.
TEST_F(SimPty, PacedLineTakesAtLeastTheLinesTime) {
    options.pace = true;
    StartSim();
    MiniPc pc;
    BootAndRaise(pc);
    const Bytes data = Pattern(8192, 1);
    std::uint8_t answer = 0;
    std::uint32_t sum = 0;
    std::string why;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pc.DownloadSector(0x800000, 8192, data.data(), 8192, &answer, &sum, &why)) << why;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answer, 0xCC);
    // 13 + 8192 bytes to the phone, 1 + 5 back, 10 bits each at 115200 bit/s.
    EXPECT_GE(took, std::chrono::microseconds((13 + 8192 + 6) * 10 * 1000000LL / 115200));
}

// ---- the vbcsim program ------------------------------------------------------------

std::string VbcsimPath() {
#ifdef VBC_SIM_PATH
    return VBC_SIM_PATH;
#else
    return std::string(VBC_BINARY_DIR) + "/vbcsim";
#endif
}

// vbcsim with these options, its standard output and error both read through one pipe.
test::Child Vbcsim(std::vector<std::string> options) {
    options.insert(options.begin(), VbcsimPath());
    return test::Child(options);
}

TEST_F(SimPty, ProgramDocumentsEveryOption) {
    ASSERT_TRUE(std::filesystem::exists(VbcsimPath())) << "build the vbcsim target first";
    test::Child child = Vbcsim({"--help"});
    const std::string help = child.Rest();
    EXPECT_EQ(child.Wait(), 0);
    for (const char* option : {"--link",
                               "--dir",
                               "--once",
                               "--pace",
                               "--trace",
                               "--trace-file",
                               "--answer-byte",
                               "--announce-ms",
                               "--expect-spm",
                               "--spm-version",
                               "--pmu-byte",
                               "--flash-txt",
                               "--flash",
                               "--extension",
                               "--flash-in",
                               "--flash-out",
                               "--never-answer",
                               "--noise",
                               "--noise-seed",
                               "--silent-after-jump",
                               "--ident-byte",
                               "--unknown-manufacturer",
                               "--unlisted-flash",
                               "--bad-checksum",
                               "--sector-fail",
                               "--silent-after-command",
                               "--silent-after-data",
                               "--bad-speed-verdict",
                               "--no-speed-control",
                               "--no-switch-off-answer",
                               "--drop-at"}) {
        EXPECT_NE(help.find(std::string(option) + " "), std::string::npos) << option;
    }
}

TEST_F(SimPty, ProgramRefusesMalformedFaults) {
    ASSERT_TRUE(std::filesystem::exists(VbcsimPath())) << "build the vbcsim target first";
    test::Child child = Vbcsim({"--drop-at", "later"});
    const std::string out = child.Rest();
    EXPECT_EQ(child.Wait(), 2);
    EXPECT_NE(out.find("vbcsim: --drop-at: unknown stage 'later'"), std::string::npos) << out;
}

TEST_F(SimPty, ProgramServesOneJobAndReportsIt) {
    ASSERT_TRUE(std::filesystem::exists(VbcsimPath())) << "build the vbcsim target first";
    test::Child child =
        Vbcsim({"--once", "--flash", "0x20:0xCA", "--extension", "0x03", "--spm-version", "3.1",
                "--trace-file", "trace.txt", "--trace", "--flash-out", "out.bin"});
    const std::string slave = child.Line().value_or("");
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    // The link exists once the path is printed.
    EXPECT_EQ(std::filesystem::read_symlink("COM1").string(), slave);
    MiniPc pc;
    std::string why;
    ASSERT_TRUE(pc.Open("COM1", &why)) << why;
    MiniPc::BootInfo info;
    ASSERT_TRUE(pc.Boot(1, spm, kNoWaitStates, &info, &why)) << why;
    EXPECT_EQ(info.major, 3);
    EXPECT_EQ(info.minor, 1);
    EXPECT_EQ(info.extension, 0x03);
    ASSERT_TRUE(pc.SwitchOff(&why)) << why;
    const std::string summary = child.Line().value_or("");
    EXPECT_EQ(summary.rfind("job 1 end=switched-off product-type=1 bootstrap=running sectors=0 "
                            "bytes=0 resends=0 flash-size=49152 flash-sum=0x00BF4000 ",
                            0),
              0u)
        << summary;
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink("COM1"));
    EXPECT_EQ(test::ReadFile("out.bin"), std::string(kFlashSize, '\xFF'));
    const std::string trace = test::ReadFile("trace.txt");
    EXPECT_NE(trace.find("PC > E8"), std::string::npos) << trace;
    EXPECT_NE(trace.find("| switch off"), std::string::npos) << trace;
    EXPECT_NE(trace.find("PC < A0 03 01"), std::string::npos) << trace;
}

}  // namespace
}  // namespace vbc::sim
