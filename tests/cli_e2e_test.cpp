// vbcflash-cli run as a process, against vbcsim run as a process on a pseudo-terminal: what an
// operator's script sees (standard output, exit status) and what lands in the phone's flash.
#if defined(VBC_CLI_PATH) && defined(VBC_SIM_PATH)

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/uiresources.h"
#include "platform/uniquefd.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string PanelText(int panel) {
    return platform::UiLabelText(platform::UiResource("mmi.uir", panel),
                                 platform::kPanelTextObject);
}

struct CliRun {
    int exitStatus = -1;
    Lines out;
    std::string err;
};

// A scratch directory with the example flash.txt and bootstraps and a software image.
class CliE2e : public ::testing::Test {
  protected:
    CliE2e() {
        const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
        for (const char* f : {"flash.txt", "mfl104_4.spm", "mfl104_5.spm"})
            fs::copy_file(examples / f, dir_.path() / f);
        // A few hundred KiB that are not a repeating pattern, the same on every run.
        std::uint32_t x = 12345;
        software_.resize(300'000);
        for (char& c : software_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        test::WriteFile(dir_.path() / "soft.cla", software_);
    }

    // Starts vbcsim (one job) with these options; false when it does not come up.
    bool StartSim(std::vector<std::string> options) {
        std::vector<std::string> args = {VBC_SIM_PATH,  "--once",
                                         "--dir",       dir_.path().string(),
                                         "--flash-out", (dir_.path() / "flash.bin").string()};
        args.insert(args.end(), options.begin(), options.end());
        sim_ = std::make_unique<test::Child>(args, "", dir_.path() / "sim.err");
        // It prints the slave's path once the line is ready.
        slave_ = sim_->Line().value_or("");
        return sim_->Started() && slave_.rfind("/dev/", 0) == 0;
    }
    // The simulator's summary of its one job, once it exited.
    std::string SimSummary() {
        const std::string rest = sim_->Rest();
        EXPECT_EQ(sim_->Wait(), 0) << test::ReadFile(dir_.path() / "sim.err");
        for (const auto& line : SplitLines(rest)) {
            if (line.rfind("job 1 ", 0) == 0) return line;
        }
        return "";
    }

    CliRun Cli(std::vector<std::string> options, const std::string& cwd = "") {
        std::vector<std::string> args = {VBC_CLI_PATH};
        args.insert(args.end(), options.begin(), options.end());
        test::Child cli(args, "", dir_.path() / "cli.err", cwd);
        CliRun run;
        EXPECT_TRUE(cli.Started());
        run.out = SplitLines(cli.Rest());
        run.exitStatus = cli.Wait().value_or(-1);
        run.err = test::ReadFile(dir_.path() / "cli.err");
        return run;
    }

    std::string FlashImage() { return test::ReadFile(dir_.path() / "flash.bin"); }

    test::ScratchDir dir_;
    std::string software_;
    std::unique_ptr<test::Child> sim_;
    std::string slave_;
};

const Lines kBootLines = {
    " Extended mode...  ",      " SPM version:2.5 ",     " Flash Device manufacturer 20  ",
    " ST Flash Device Id ca  ", " ST M36DR864CB Flash ", " Extended bit: 0 ",
};

bool IsElapsedTime(const std::string& line) {
    return std::regex_match(line, std::regex("[0-9]+ min [0-9]+ sec"));
}

TEST_F(CliE2e, DownloadSucceedsAndTheFlashHoldsTheImage) {
    ASSERT_TRUE(StartSim({}));

    // From elsewhere, with -C: the files are looked up in that directory.
    const CliRun run = Cli({"-C", dir_.path().string(), "soft.cla"}, "/");

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    Lines expected = {" Software file loading, please wait...  ", PanelText(1)};
    expected.insert(expected.end(), kBootLines.begin(), kBootLines.end());
    expected.insert(expected.end(),
                    {" Check the compatibility ", " Download sector by sector ", "<elapsed>",
                     " You do not need to remove the battery to start the mobile ", PanelText(5)});
    Lines got = run.out;
    for (auto& line : got) {
        if (IsElapsedTime(line)) line = "<elapsed>";
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(PanelText(5), "The software has been downloaded successfully.");
    // Standard error is not a terminal: no progress bar, nothing at all.
    EXPECT_EQ(run.err, "");

    const std::string summary = SimSummary();
    EXPECT_NE(summary.find("end=switched-off"), std::string::npos) << summary;
    EXPECT_NE(summary.find("bytes=300000 "), std::string::npos) << summary;
    // Product type 2 writes from the start of the flash.
    const std::string flash = FlashImage();
    ASSERT_GE(flash.size(), software_.size());
    EXPECT_TRUE(flash.compare(0, software_.size(), software_) == 0);
}

// A port another job holds fails at once with the reason, and the job that holds it is not
// disturbed (root included: the lock binds it too).
TEST_F(CliE2e, ASecondJobOnAHeldPortFailsAtOnceAndLeavesTheFirstAlone) {
    ASSERT_TRUE(StartSim({"--pace"}));
    const std::string small = software_.substr(0, 20000);
    test::WriteFile(dir_.path() / "small.cla", small);
    test::Child first({VBC_CLI_PATH, "-C", dir_.path().string(), "small.cla"}, "",
                      dir_.path() / "first.err");
    // The first job holds the port once it has booted the phone.
    for (auto line = first.Line(); line && *line != " Check the compatibility ";
         line = first.Line()) {
    }

    const CliRun second = Cli({"-C", dir_.path().string(), "small.cla"});
    EXPECT_EQ(second.exitStatus, 5);
    EXPECT_THAT(
        second.out,
        ::testing::Contains(::testing::MatchesRegex(
            " COM1 \\(.*/pts/[0-9]+\\): busy; another program holds the port \\(PID " +
            std::to_string(first.Pid()) + ", vbcflash-cli\\): wait until it ends or stop it ")));
    ASSERT_FALSE(second.out.empty());
    EXPECT_EQ(second.out.back(), "LIB_PC : Default error number _ 0xfffffffa");

    EXPECT_EQ(first.Wait(), 0) << test::ReadFile(dir_.path() / "first.err");
    const std::string summary = SimSummary();
    EXPECT_NE(summary.find("end=switched-off"), std::string::npos) << summary;
    EXPECT_NE(summary.find("resends=0 "), std::string::npos) << summary;
    EXPECT_TRUE(FlashImage().compare(0, small.size(), small) == 0);
}

// A port that cannot be opened says why, in words, before the result.
TEST_F(CliE2e, APortThatCannotBeOpenedSaysWhy) {
    const CliRun missing =
        Cli({"-C", dir_.path().string(), "--device", "/dev/ttyVBCMISSING7", "soft.cla"});
    EXPECT_EQ(missing.exitStatus, 5);
    EXPECT_THAT(missing.out,
                ::testing::Contains(::testing::MatchesRegex(
                    " COM1 \\(/dev/ttyVBCMISSING7\\): no such device; (the serial ports here: "
                    "COM1 \\(/dev/.*\\).*|this machine has no serial ports) ")));

    // Permission denied: an unprivileged user on a device only root may open.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_TRUE(StartSim({}));
    ASSERT_EQ(::chmod(slave_.c_str(), 0600), 0);
    // The user must reach the program and the directory.
    fs::copy_file(VBC_CLI_PATH, dir_.path() / "vbcflash-cli");
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    test::Child cli({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                     (dir_.path() / "vbcflash-cli").string(), "-C", dir_.path().string(),
                     "soft.cla"});
    const Lines out = SplitLines(cli.Rest());
    EXPECT_EQ(cli.Wait(), 5);
    struct stat st {};
    ASSERT_EQ(::stat(slave_.c_str(), &st), 0);
    const group* g = ::getgrgid(st.st_gid);
    ASSERT_NE(g, nullptr);
    const std::string name = g->gr_name;  // tty where devpts is mounted with gid=5
    EXPECT_THAT(out, ::testing::Contains(" COM1 (" + slave_ +
                                         "): permission denied; the device belongs to group " +
                                         name + ": add the user to it (sudo usermod -aG " + name +
                                         " USER) and log in again "));
    sim_->Signal(SIGTERM);
}

TEST_F(CliE2e, OptionsGoThroughThePanelCommands) {
    // Product type 1 with its bootstrap and wait states, on port 2.
    std::vector<std::string> simOptions = {"--link", "COM2", "--expect-spm",
                                           (dir_.path() / "mfl104_4.spm").string()};
    ASSERT_TRUE(StartSim(simOptions));

    const CliRun run =
        Cli({"--port", "2", "--product", "1", "--wait-states", "1,0,2,4", "soft.cla"});

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_GE(run.out.size(), 5u);
    EXPECT_EQ(
        Lines(run.out.begin(), run.out.begin() + 4),
        (Lines{" 1 wait state on the chip select 0 ", " 0 wait state on the chip select 1 ",
               " 2 wait state on the chip select 2 ", " 4 wait state on the chip select 3 "}));
    EXPECT_EQ(run.out.back(), PanelText(5));
    const std::string summary = SimSummary();
    EXPECT_NE(summary.find("product-type=1"), std::string::npos) << summary;
    // The flash sits elsewhere in the phone for product type 1, but the software still
    // starts at its first byte.
    const std::string flash = FlashImage();
    ASSERT_GE(flash.size(), software_.size());
    EXPECT_TRUE(flash.compare(0, software_.size(), software_) == 0);
}

TEST_F(CliE2e, DeviceOptionUsesThatDeviceForThePort) {
    ASSERT_TRUE(StartSim({"--link", ""}));  // no COM1 link: only the device path reaches it
    const CliRun run = Cli({"--device", slave_, "soft.cla"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out.back(), PanelText(5));
    EXPECT_NE(SimSummary().find("end=switched-off"), std::string::npos);
}

// Each failure ends with its message panel's text and its category as the exit status.
TEST_F(CliE2e, FailuresExitWithTheirCategory) {
    struct Case {
        std::vector<std::string> simOptions;
        int exitStatus;
        std::string lastLine;  // "" for the time-out panel's text
    };
    const Case cases[] = {
        {{"--never-answer"}, 6, ""},
        {{"--bad-checksum", "0:*"}, 12, "Problem : Bad checksum"},
        {{"--unlisted-flash"},
         2,
         "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)"},
        {{"--no-switch-off-answer"}, 8, "COMMAND : Switch off error "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simOptions[0]);
        ASSERT_TRUE(StartSim(c.simOptions));
        const CliRun run = Cli({"soft.cla"});
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out.back(), c.lastLine.empty() ? PanelText(3) : c.lastLine);
        if (c.exitStatus == 12) {
            // Every attempt of the sector failed its checksum; the battery must come out.
            EXPECT_EQ(std::count(run.out.begin(), run.out.end(), " CkeckSum NOK -> try again "), 3);
            EXPECT_EQ(run.out[run.out.size() - 2], " Remove the battery of the mobile  ");
        }
        SimSummary();
        sim_.reset();
    }
}

// --restore takes the settings of config.txt; options after it win, options before it lose.
TEST_F(CliE2e, OptionsAfterRestoreWin) {
    const std::string software = (dir_.path() / "soft.cla").string();
    test::WriteFile("config.txt", test::Crlf({"CLA File : " + software, "COM : 3", "PMU : 0",
                                              "Product Type : 2", "Download Type : 0"}));
    // Port 3 leads nowhere, whatever serial ports this machine has.
    fs::create_symlink("/nonexistent/vbc-no-such-device", "COM3");
    ASSERT_TRUE(StartSim({"--link", "COM2"}));

    // Port 2 before the restore: the restore's port 3 stands, and cannot be opened.
    CliRun run = Cli({"--port", "2", "--restore"});
    EXPECT_EQ(run.exitStatus, 5) << run.err;
    EXPECT_EQ(run.out.back().rfind("LIB_PC : ", 0), 0u) << run.out.back();

    // Port 2 after it: the job runs on port 2, with the restored file.
    run = Cli({"--restore", "--port", "2"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out.back(), PanelText(5));
    SimSummary();
}

TEST_F(CliE2e, SaveWritesTheSettingsAfterTheOptions) {
    const CliRun run = Cli({"--port", "4", "--product", "1", "--save"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(test::ReadFile("config.txt"),
              test::Crlf({"* ***********************", "* Configuration save file",
                          "* ***********************", "CLA File : ", "COM : 4", "PMU : 0",
                          "Product Type : 1", "Download Type : 0"}));
}

// Without a phone: what stops a run before any job.
TEST_F(CliE2e, RunsThatStopBeforeTheJob) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitStatus;
        std::string lastOut;  // last line of standard output, "" for none at all
        std::string errPart;  // part of standard error
    };
    const Case cases[] = {
        {"no file", {}, 64, "", "a software FILE is required"},
        {"bad port", {"--port", "0", "soft.cla"}, 64, "", "--help"},
        {"bad wait states", {"--wait-states", "1,2,5,0", "soft.cla"}, 64, "", "--help"},
        {"bad product", {"--product", "3", "soft.cla"}, 64, "", "--help"},
        {"unknown option", {"--speed", "9", "soft.cla"}, 64, "", "--help"},
        {"list with a file", {"--list-ports", "soft.cla"}, 64, "", "--list-ports"},
        {"no such directory", {"-C", "nowhere", "soft.cla"}, 64, "", "nowhere"},
        {"no such software file", {"missing.cla"}, 5, "LIB_PC : File not found", ""},
        {"no config.txt", {"--restore"}, 3, "There is no configuration file ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        if (c.lastOut.empty()) {
            EXPECT_TRUE(run.out.empty()) << run.out.front();
        } else {
            ASSERT_FALSE(run.out.empty());
            EXPECT_EQ(run.out.back(), c.lastOut);
        }
        EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
    }
    // Nothing was saved by any of them.
    EXPECT_FALSE(fs::exists("config.txt"));
}

TEST_F(CliE2e, BrokenFlashDescriptionStopsWithItsMessage) {
    fs::remove("flash.txt");
    const CliRun run = Cli({"soft.cla"});
    EXPECT_EQ(run.exitStatus, 65);
    EXPECT_EQ(run.out, Lines{"FLASH DESCRIPTION : The file flash.txt not found"});
}

TEST_F(CliE2e, HelpDocumentsTheOptionsAndExitStatuses) {
    const CliRun run = Cli({"--help"});
    EXPECT_EQ(run.exitStatus, 0);
    std::string all;
    for (const auto& l : run.out) all += l + "\n";
    for (const char* part : {"--port", "--device", "--product", "--wait-states", "--restore",
                             "--save", "--list-ports", "-C", "FILE", "64", "65"}) {
        EXPECT_NE(all.find(part), std::string::npos) << part;
    }
}

}  // namespace
}  // namespace vbc

#endif  // VBC_CLI_PATH && VBC_SIM_PATH
