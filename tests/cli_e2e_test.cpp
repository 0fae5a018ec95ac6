// vbcflash-cli run as a process, against vbcsim run as a process on a pseudo-terminal: what an
// operator's script sees (standard output, exit status) and what lands in the phone's flash.
#if defined(VBC_CLI_PATH) && defined(VBC_SIM_PATH)

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/portlock.h"
#include "platform/serial.h"
#include "platform/uniquefd.h"
#include "tests/testutil.h"
#include "toolkit/uiresources.h"

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
    // The first job holds the port once it has booted the phone; it is held there (stopped)
    // while the second one tries the port, however long that takes.
    for (auto line = first.Line(); line && *line != " Check the compatibility ";
         line = first.Line()) {
    }
    first.Signal(SIGSTOP);
    const CliRun second = Cli({"-C", dir_.path().string(), "small.cla"});
    first.Signal(SIGCONT);
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

// --verify reads every written byte back: a clean flash passes, a read corrupted once is read
// again, and a cell that did not take the write fails the job, named, with the phone left on.
TEST_F(CliE2e, VerifyAfterWriting) {
    struct Case {
        std::vector<std::string> simOptions;
        int exitStatus;
        std::string lastLine;
        std::string failureLine;  // before the battery line, "" for none
        const char* retryLine;    // nullptr for none
        const char* end;
    };
    const Case cases[] = {
        {{}, 0, PanelText(5), "", nullptr, "end=switched-off"},
        {{"--read-noise", "0x20000"},
         0,
         PanelText(5),
         "",
         " Read error 19 at 0x00820000 -> read again ",
         "end=switched-off"},
        {{"--stuck-bit", "0x11170"},
         8,
         "COMMAND : Verify error at 0x00811170",
         " Verify error at 0x00811170 ",
         nullptr,
         "end=pc-closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simOptions.empty() ? "clean" : c.simOptions[0]);
        ASSERT_TRUE(StartSim(c.simOptions));
        const CliRun run = Cli({"--verify", "soft.cla"});
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        ASSERT_GE(run.out.size(), 4u);
        EXPECT_EQ(run.out.back(), c.lastLine);
        // The verify comes after the last sector.
        const auto download =
            std::find(run.out.begin(), run.out.end(), " Download sector by sector ");
        EXPECT_NE(std::find(download, run.out.end(), " Verify "), run.out.end());
        // Every read again says so: none on a clean line, one for the corrupted read.
        const auto retries = std::count_if(run.out.begin(), run.out.end(), [](const auto& l) {
            return l.starts_with(" Read error ") && l.ends_with(" -> read again ");
        });
        EXPECT_EQ(retries, c.retryLine ? 1 : 0);
        if (c.retryLine) {
            EXPECT_THAT(run.out, ::testing::Contains(c.retryLine));
        }
        if (!c.failureLine.empty()) {
            EXPECT_NE(std::find(download, run.out.end(), c.failureLine), run.out.end());
            EXPECT_EQ(run.out[run.out.size() - 2], " Remove the battery of the mobile  ");
        }
        const std::string summary = SimSummary();
        EXPECT_NE(summary.find(c.end), std::string::npos) << summary;
        // The whole software went into the flash (with one cell wrong when it stuck).
        EXPECT_NE(summary.find(" resends=0 "), std::string::npos) << summary;
        sim_.reset();
    }
}

// --dump reads the whole flash or a range of it into FILE, and switches the phone off; a
// range beyond the flash fails with its message, leaves no file and the phone on.
TEST_F(CliE2e, DumpReadsTheFlashIntoTheFile) {
    test::WriteFile(dir_.path() / "before.bin", software_);
    struct Case {
        std::vector<std::string> args;
        std::size_t offset, length;  // of the flash, in the file
        int exitStatus;
        std::string lastLine;
    };
    const std::size_t kWhole = 2u << 20;  // the 2 MiB chip 0x07/0x8F of the example flash.txt
    const Case cases[] = {
        {{"--dump", "whole.bin"},
         0,
         kWhole,
         0,
         " Flash read into " + (dir_.path() / "whole.bin").string() + " "},
        {{"--range", "0x10000:4096", "--dump", "part.bin"}, 0x10000, 4096, 0, ""},
        {{"--dump", "out.bin", "--range", "0x1FF000:0x1001"},
         0,
         0,
         2,
         "FLASH DESCRIPTION : The range to read is outside the flash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        ASSERT_TRUE(StartSim({"--flash", "0x07:0x8F", "--flash-in", "before.bin"}));
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        ASSERT_FALSE(run.out.empty());
        if (!c.lastLine.empty()) {
            EXPECT_EQ(run.out.back(), c.lastLine);
        }
        const std::string summary = SimSummary();
        const std::string file = c.args[c.args[0] == "--dump" ? 1 : 3];
        if (c.exitStatus == 0) {
            EXPECT_NE(summary.find("end=switched-off"), std::string::npos) << summary;
            const std::string flash = FlashImage();
            ASSERT_EQ(flash.size(), kWhole);
            EXPECT_TRUE(test::ReadFile(dir_.path() / file) == flash.substr(c.offset, c.length));
        } else {
            EXPECT_NE(summary.find("end=pc-closed"), std::string::npos) << summary;
            EXPECT_FALSE(fs::exists(dir_.path() / file));
        }
        sim_.reset();
    }
}

// A signal during the read ends the dump with the stopped status and no file.
TEST_F(CliE2e, ASignalStopsADumpAndLeavesNoFile) {
    ASSERT_TRUE(StartSim({"--pace", "--flash", "0x07:0x8F"}));
    test::Child cli({VBC_CLI_PATH, "-C", dir_.path().string(), "--dump", "flash.dump"}, "",
                    dir_.path() / "cli.err");
    for (auto line = cli.Line(); line && line->rfind(" Read the flash: ", 0) != 0;
         line = cli.Line()) {
    }
    cli.Signal(SIGINT);
    const Lines rest = SplitLines(cli.Rest());
    EXPECT_EQ(cli.Wait(), 130) << test::ReadFile(dir_.path() / "cli.err");
    ASSERT_GE(rest.size(), 2u);
    EXPECT_THAT(Lines(rest.end() - 2, rest.end()),
                ::testing::ElementsAre(" Read stopped by the operator ",
                                       "Flash read stopped: no file was written."));
    EXPECT_FALSE(fs::exists(dir_.path() / "flash.dump"));
    EXPECT_NE(SimSummary().find("end=pc-closed"), std::string::npos);
}

// A second Ctrl-C ends the program at once, even where the first cannot end the job: here its
// standard output is a full pipe nobody reads, so the stopped job cannot print its end.
TEST_F(CliE2e, ASecondCtrlCEndsTheProgramAtOnce) {
    ASSERT_TRUE(StartSim({}));
    test::Child cli({VBC_CLI_PATH, "-C", dir_.path().string(), "--json", "--dump", "flash.dump"},
                    "", (dir_.path() / "cli.err").string(), "", 4096);
    ASSERT_TRUE(cli.WaitForHandler(SIGINT, true));
    ASSERT_TRUE(cli.WaitUntilBlockedWriting(STDOUT_FILENO));
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.WaitForHandler(SIGINT, false));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), std::nullopt);
    EXPECT_EQ(cli.EndSignal(), SIGINT);
    EXPECT_FALSE(fs::exists(dir_.path() / "flash.dump"));
    SimSummary();
}

// The names in a directory, sorted, without the runs' standard error files.
Lines Listing(const fs::path& dir) {
    Lines names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".err")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The objects of a --json run: the result comes last, and once.
nlohmann::json TheResult(const Lines& out) {
    std::vector<nlohmann::json> objects;
    for (const auto& line : out) objects.push_back(nlohmann::json::parse(line));
    EXPECT_EQ(std::count_if(objects.begin(), objects.end(),
                            [](const nlohmann::json& o) { return o["event"] == "result"; }),
              1);
    if (objects.empty() || objects.back()["event"] != "result") {
        ADD_FAILURE() << "the last object is not the result";
        return {};
    }
    return objects.back();
}

// Where --dump FILE goes is checked before the phone is booted: a place that takes no file,
// and a link, a directory or a FIFO in FILE's place (none is replaced nor written through), are
// refused at once, without a word on standard output (with --json neither), and nothing is
// left behind.
TEST_F(CliE2e, ADumpFileThatCannotBeWrittenIsRefusedBeforeTheBoot) {
    test::WriteFile(dir_.path() / "target.bin", "target");
    fs::create_symlink("target.bin", dir_.path() / "link.bin");
    fs::create_directory(dir_.path() / "folder");
    ASSERT_EQ(::mkfifo((dir_.path() / "pipe").c_str(), 0600), 0);
    const Lines before = Listing(dir_.path());
    struct Case {
        std::vector<std::string> args;
        std::string why;
    };
    const Case cases[] = {
        {{"--dump", "nowhere/flash.bin"}, "'nowhere/flash.bin': No such file or directory"},
        {{"--json", "--dump", "link.bin"},
         "'link.bin': it is a symbolic link, which is neither replaced nor written through: name "
         "the file itself"},
        {{"--dump", "folder"}, "'folder': it is a directory"},
        {{"--dump", "pipe", "--range", "0:16"},
         "'pipe': it is not a regular file (a device, a FIFO or a socket)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.exitStatus, 64);
        EXPECT_EQ(run.out, Lines{});
        EXPECT_EQ(run.err, "vbcflash-cli: --dump: cannot write " + c.why +
                               "\nRun with --help for more information.\n");
    }
    EXPECT_EQ(test::ReadFile(dir_.path() / "target.bin"), "target");
    EXPECT_EQ(fs::read_symlink(dir_.path() / "link.bin"), "target.bin");
    EXPECT_EQ(Listing(dir_.path()), before);
}

// Every --json run ends with one result, last, that says what the exit status says: a dump that
// succeeded, a switch-off the phone never confirmed, a flash.txt that is not there, a save
// alone, a config.txt that names no file. A dump's FILE is written through a file of its own
// renamed over the old one: the FILE.tmp link planted beside it is left alone, as is its
// target, and nothing else stays in the directory.
TEST_F(CliE2e, EveryJsonRunEndsWithTheResultOfItsExitStatus) {
    test::WriteFile(dir_.path() / "before.bin", software_);
    fs::create_directory(dir_.path() / "empty");
    const std::string dumpPath = (dir_.path() / "flash.dump").string();
    const std::vector<std::string> dumpArgs = {"--json", "--dump", "flash.dump", "--range",
                                               "0x10000:4096"};
    const std::vector<std::string> flash = {"--flash", "0x07:0x8F", "--flash-in", "before.bin"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        std::optional<std::vector<std::string>> simOptions;  // nothing: no phone
        std::vector<std::string> args;
        int exitStatus;
        nlohmann::json result;
        bool dumped;  // flash.dump holds the range read
    };
    const Case cases[] = {
        {"dump",
         flash,
         dumpArgs,
         0,
         {{"ok", true}, {"category", 0}, {"code", 0}, {"message", "Flash read into " + dumpPath}},
         true},
        {"switch-off unanswered",
         with({"--no-switch-off-answer"}, flash),
         dumpArgs,
         8,
         {{"ok", false}, {"category", 8}, {"code", 20}, {"message", "COMMAND : Switch off error "}},
         true},
        {"no flash.txt",
         std::nullopt,
         {"-C", "empty", "--json", "soft.cla"},
         65,
         {{"ok", false},
          {"category", 2},
          {"code", 2},
          {"message", "FLASH DESCRIPTION : The file flash.txt not found"}},
         false},
        {"save alone",
         std::nullopt,
         {"--json", "--port", "3", "--save"},
         0,
         {{"ok", true},
          {"category", 0},
          {"code", 0},
          {"message", "Settings saved in " + (dir_.path() / "config.txt").string()}},
         false},
        {"config.txt names no file",
         std::nullopt,
         {"--json", "--restore"},
         64,
         {{"ok", false},
          {"category", 64},
          {"code", 0},
          {"message", "config.txt names no software file"}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(dir_.path() / "flash.dump", "old");
        test::WriteFile(dir_.path() / "victim.txt", "victim");
        fs::create_symlink("victim.txt", dir_.path() / "flash.dump.tmp");
        test::WriteFile(dir_.path() / "config.txt",
                        test::Crlf({"CLA File : ", "COM : 1", "PMU : 0", "Product Type : 2",
                                    "Download Type : 0"}));
        if (c.simOptions) {
            ASSERT_TRUE(StartSim(*c.simOptions));
        }

        const CliRun run = Cli(c.args);

        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        const nlohmann::json last = TheResult(run.out);
        for (const auto& [key, value] : c.result.items()) EXPECT_EQ(last[key], value) << key;
        EXPECT_EQ(last["resends"], 0);
        if (c.simOptions) SimSummary();
        EXPECT_TRUE(test::ReadFile(dir_.path() / "flash.dump") ==
                    (c.dumped ? FlashImage().substr(0x10000, 4096) : "old"));
        fs::remove(dir_.path() / "flash.bin");
        EXPECT_EQ(test::ReadFile(dir_.path() / "victim.txt"), "victim");
        EXPECT_EQ(fs::read_symlink(dir_.path() / "flash.dump.tmp"), "victim.txt");
        EXPECT_EQ(Listing(dir_.path()),
                  (Lines{"before.bin", "config.txt", "empty", "flash.dump", "flash.dump.tmp",
                         "flash.txt", "mfl104_4.spm", "mfl104_5.spm", "soft.cla", "victim.txt"}));
        fs::remove(dir_.path() / "flash.dump.tmp");
        sim_.reset();
    }
}

// Ctrl-C while a dump boots the phone: the status says stopped, and so does the result, last.
TEST_F(CliE2e, ASignalDuringTheBootOfADumpEndsWithTheStoppedResult) {
    // The boot loader answers, and the bootstrap it was sent never does.
    ASSERT_TRUE(StartSim({"--silent-after-jump"}));
    test::Child cli({VBC_CLI_PATH, "-C", dir_.path().string(), "--json", "--dump", "flash.dump"},
                    "", dir_.path() / "cli.err");
    for (auto line = cli.Line();
         line && nlohmann::json::parse(*line).value("text", "") != " Extended mode...  ";
         line = cli.Line()) {
    }
    cli.Signal(SIGINT);
    const Lines rest = SplitLines(cli.Rest());
    EXPECT_EQ(cli.Wait(), 130) << test::ReadFile(dir_.path() / "cli.err");
    const nlohmann::json last = TheResult(rest);
    EXPECT_EQ(last["ok"], false);
    EXPECT_EQ(last["category"], 14);
    EXPECT_EQ(last["code"], 2);
    EXPECT_EQ(last["message"], "Flash read stopped: no file was written.");
    EXPECT_FALSE(fs::exists(dir_.path() / "flash.dump"));
    SimSummary();
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

// A config.txt saved on a port the old four-port panel did not have restores that port: the
// restored job runs on COM7.
TEST_F(CliE2e, APortSavedAboveFourRestores) {
    test::WriteFile("small.cla", software_.substr(0, 20000));
    for (const auto& options : {Lines{"--port", "7", "small.cla", "--save"}, Lines{"--restore"}}) {
        SCOPED_TRACE(options.front());
        ASSERT_TRUE(StartSim({"--link", "COM7"}));
        const CliRun run = Cli(options);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out.back(), PanelText(5));
        EXPECT_NE(SimSummary().find("end=switched-off"), std::string::npos);
        EXPECT_NE(test::ReadFile("config.txt").find("\r\nCOM : 7\r\n"), std::string::npos);
    }
}

TEST_F(CliE2e, SaveWritesTheSettingsAfterTheOptions) {
    const CliRun run = Cli({"--port", "4", "--product", "1", "--save"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(test::ReadFile("config.txt"),
              test::Crlf({"* ***********************", "* Configuration save file",
                          "* ***********************", "CLA File : ", "COM : 4", "PMU : 0",
                          "Product Type : 1", "Download Type : 0"}));
}

// A signal in the middle of the sector download stops the job at once: the stopped text last,
// the shell's status for the signal, and the phone sees the line closed.
TEST_F(CliE2e, ASignalStopsTheJobAndReleasesTheLine) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        SCOPED_TRACE(signal);
        ASSERT_TRUE(StartSim({"--pace"}));
        test::Child cli({VBC_CLI_PATH, "-C", dir_.path().string(), "soft.cla"}, "",
                        dir_.path() / "cli.err");
        Lines out;
        for (auto line = cli.Line(); line; line = cli.Line()) {
            out.push_back(*line);
            if (*line == " Download sector by sector ") break;
        }
        ASSERT_FALSE(out.empty());
        ASSERT_EQ(out.back(), " Download sector by sector ");
        // The job holds the port's lock file, with its PID, where other programs look for it.
        const fs::path lock = fs::path("/var/lock") / platform::LockFileName(slave_);
        if (::access("/var/lock", W_OK) == 0) {
            EXPECT_EQ(std::atol(test::ReadFile(lock).c_str()), cli.Pid());
        }

        cli.Signal(signal);
        const Lines rest = SplitLines(cli.Rest());
        EXPECT_EQ(cli.Wait(), status) << test::ReadFile(dir_.path() / "cli.err");
        ASSERT_GE(rest.size(), 2u);
        EXPECT_THAT(Lines(rest.end() - 2, rest.end()),
                    ::testing::ElementsAre(" Download stopped by the operator ",
                                           "Download stopped: the phone's flash may hold part of "
                                           "the software. Run it again before use."));
        const std::string summary = SimSummary();
        EXPECT_NE(summary.find("end=pc-closed"), std::string::npos) << summary;
        EXPECT_EQ(summary.find("bytes=300000 "), std::string::npos) << summary;
        // Nor is the port left locked for the next job.
        EXPECT_FALSE(fs::exists(lock));
    }
}

// The frames each way in a trace of the simulator, without their times.
Lines WireOf(const std::string& trace) {
    Lines wire;
    for (const auto& line : SplitLines(trace)) {
        if (line.size() > 11 &&
            (line.compare(11, 5, "PC > ") == 0 || line.compare(11, 5, "PC < ") == 0))
            wire.push_back(line.substr(11));
    }
    return wire;
}

// Asking for the default row changes nothing on the wire: the same bytes, each way, in the
// same frames, and the same flash; the option only adds its progress line.
TEST_F(CliE2e, TheDefaultSpeedRowSendsTheSameBytesAsNoOption) {
    std::vector<Lines> wires, outs;
    std::vector<std::string> flashes;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"soft.cla"}, {"--speed", "1", "soft.cla"}}) {
        ASSERT_TRUE(StartSim({"--trace", "--trace-file", (dir_.path() / "trace.txt").string()}));
        CliRun run = Cli(options);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_NE(SimSummary().find(" pc-rate=115200 "), std::string::npos);
        for (auto& line : run.out) {
            if (IsElapsedTime(line)) line = "<elapsed>";
        }
        outs.push_back(run.out);
        wires.push_back(WireOf(test::ReadFile(dir_.path() / "trace.txt")));
        flashes.push_back(FlashImage());
        sim_.reset();
    }
    ASSERT_GT(wires[0].size(), 100u);
    EXPECT_TRUE(wires[0] == wires[1]);  // not printed: thousands of lines
    EXPECT_EQ(flashes[0], flashes[1]);
    Lines withOption = outs[1];
    ASSERT_FALSE(withOption.empty());
    EXPECT_EQ(withOption.front(), " Line speed: 115200 bit/s (row 1) ");
    withOption.erase(withOption.begin());
    EXPECT_EQ(withOption, outs[0]);
}

// Every row with a PC rate completes a paced job at its own rate: the simulator paced the
// line at the rate the PC set, which is the phone's (exactly, from row 2 on), the GPIO command
// went first from row 3 on, and the flash holds the software.
class CliSpeedRow : public CliE2e, public ::testing::WithParamInterface<int> {};

TEST_P(CliSpeedRow, APacedJobRunsAtTheRowsRate) {
    const int row = GetParam();
    constexpr long kPcRate[] = {38400,  115200, 162500, 203125, 220338,
                                240740, 260000, 270833, 302325};
    constexpr long kPhoneRate[] = {38690,  116071, 162500, 203125, 220338,
                                   240740, 260000, 270833, 302325};
    const std::string small = software_.substr(0, 12000);  // an 8 KiB sector and part of one
    test::WriteFile(dir_.path() / "small.cla", small);
    ASSERT_TRUE(
        StartSim({"--pace", "--trace", "--trace-file", (dir_.path() / "trace.txt").string()}));

    const CliRun run = Cli({"--speed", std::to_string(row), "small.cla"});

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.front(), " Line speed: " + std::to_string(kPcRate[row]) + " bit/s (row " +
                                   std::to_string(row) + ") ");
    EXPECT_EQ(run.out.back(), PanelText(5));
    const std::string summary = SimSummary();
    EXPECT_NE(summary.find(" end=switched-off "), std::string::npos) << summary;
    EXPECT_NE(summary.find(" pc-rate=" + std::to_string(kPcRate[row]) +
                           " phone-rate=" + std::to_string(kPhoneRate[row])),
              std::string::npos)
        << summary;
    EXPECT_EQ(test::ReadFile(dir_.path() / "sim.err").find("line mismatch"), std::string::npos);
    const Lines wire = WireOf(test::ReadFile(dir_.path() / "trace.txt"));
    auto command = [&](const std::string& opcode, const std::string& meaning) {
        return std::find_if(wire.begin(), wire.end(), [&](const std::string& l) {
            return l.starts_with("PC > " + opcode + " ") && l.ends_with("| " + meaning);
        });
    };
    const auto gpio = command("EB", "set GPIO");
    const auto speed = command("E0", "change speed");
    ASSERT_NE(speed, wire.end());
    EXPECT_EQ(gpio != wire.end(), row > 2);
    if (row > 2) {
        EXPECT_LT(gpio, speed);
    }
    const std::string flash = FlashImage();
    ASSERT_GE(flash.size(), small.size());
    EXPECT_TRUE(flash.compare(0, small.size(), small) == 0);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, CliSpeedRow, ::testing::Range(0, 9));

// --json: one object a line, the start first and the result last, the same comment lines as the
// text output, progress up to the whole, and resends counted.
TEST_F(CliE2e, JsonReportsTheJobObjectByObject) {
    struct Case {
        const char* name;
        std::vector<std::string> simOptions;
        int exitStatus;
        nlohmann::json result;  // the fields of the last object that are known in advance
    };
    const Case cases[] = {
        {"success",
         {},
         0,
         {{"ok", true},
          {"category", 0},
          {"code", 0},
          {"resends", 0},
          {"message", "The software has been downloaded successfully."}}},
        {"a sector resent once", {"--bad-checksum", "2:1"}, 0, {{"ok", true}, {"resends", 1}}},
        {"a sector that always fails",
         {"--sector-fail", "1:*"},
         10,
         {{"ok", false},
          {"category", 10},
          {"message", "Problem : Error during the sector donwload"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(StartSim(c.simOptions));
        const CliRun run = Cli({"-C", dir_.path().string(), "--json", "soft.cla"});
        SimSummary();
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        std::vector<nlohmann::json> objects;
        for (const auto& line : run.out) objects.push_back(nlohmann::json::parse(line));
        ASSERT_GE(objects.size(), 3u);
        EXPECT_EQ(objects.front()["event"], "start");
        EXPECT_EQ(objects.front()["schema"], 3);
        EXPECT_EQ(objects.front()["version"], VBC_VERSION);
        const nlohmann::json& last = objects.back();
        EXPECT_EQ(last["event"], "result");
        for (const auto& [key, value] : c.result.items()) EXPECT_EQ(last[key], value) << key;
        EXPECT_GT(last["seconds"].get<double>(), 0);
        std::uint32_t bytes = 0;
        Lines lines;
        int phones = 0;  // the boot loader's answer comes once, before the flash is known
        for (const auto& o : objects) {
            if (o["event"] == "line") lines.push_back(o["text"]);
            if (o["event"] == "phone") ++phones;
            if (o["event"] == "flash") {
                EXPECT_EQ(phones, 1);
                EXPECT_EQ(o["name"], "ST M36DR864CB");
            }
            if (o["event"] == "progress") {
                EXPECT_EQ(o["pass"], "write");
                EXPECT_EQ(o["total"], software_.size());
                bytes = o["bytes"];
            }
        }
        EXPECT_EQ(phones, 1);
        EXPECT_EQ(bytes == software_.size(), last["ok"].get<bool>());
        EXPECT_THAT(lines, ::testing::Contains(" Download sector by sector "));
    }
}

// Without a phone: what stops a run before any job. A usage error names the option and what
// is wrong with it on standard error, and prints nothing on standard output.
TEST_F(CliE2e, RunsThatStopBeforeTheJob) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitStatus;
        std::string lastOut;  // last line of standard output, "" for none at all
        std::string err;      // standard error, without the usage hint after a usage error
    };
    const std::string kRange =
        "--range: expected OFFSET:LENGTH, decimal or 0x hexadecimal, LENGTH at least 1, e.g. "
        "0x10000:4096, not ";
    const Case cases[] = {
        {"no file",
         {},
         64,
         "",
         "a software FILE is required (or --restore to take the one config.txt names)"},
        {"bad port",
         {"--port", "0", "soft.cla"},
         64,
         "",
         "--port: expected a COM number from 1 to 255, not \"0\""},
        {"bad wait states",
         {"--wait-states", "1,2,5,0", "soft.cla"},
         64,
         "",
         "--wait-states: expected four numbers from 0 to 4 separated by commas, e.g. 0,1,0,2, not "
         "\"1,2,5,0\""},
        {"bad product",
         {"--product", "3", "soft.cla"},
         64,
         "",
         "--product: expected product type 1 or 2, not \"3\""},
        // "9" is taken for the FILE; what is left is refused.
        {"unknown option",
         {"--baud", "9", "soft.cla"},
         64,
         "",
         "The following arguments were not expected: soft.cla --baud"},
        {"speed row without a PC rate",
         {"--speed", "12", "soft.cla"},
         64,
         "",
         "--speed: row 12 of the speed table has no PC rate: use 0 to 8"},
        {"speed row beyond the table",
         {"--speed", "13", "soft.cla"},
         64,
         "",
         "--speed: expected a row of the speed table from 0 to 8, not \"13\""},
        {"speed not a number",
         {"--speed", "1x", "soft.cla"},
         64,
         "",
         "--speed: expected a row of the speed table from 0 to 8, not \"1x\""},
        {"list with a file",
         {"--list-ports", "soft.cla"},
         64,
         "",
         "--list-ports runs no job: it takes no FILE (only -C)"},
        {"no such directory",
         {"-C", "nowhere", "soft.cla"},
         64,
         "",
         "cannot change to directory 'nowhere': No such file or directory"},
        {"no such software file", {"missing.cla"}, 5, "LIB_PC : File not found", ""},
        {"no config.txt", {"--restore"}, 3, "There is no configuration file ", ""},
        {"dump with a file",
         {"--dump", "x.bin", "soft.cla"},
         64,
         "",
         "--dump reads the flash: it takes no software FILE"},
        {"dump with verify",
         {"--verify", "--dump", "x.bin"},
         64,
         "",
         "--verify checks a software download: it does not go with --dump"},
        {"range without dump",
         {"--range", "0:1", "soft.cla"},
         64,
         "",
         "--range goes with --dump only"},
        {"empty range", {"--dump", "x.bin", "--range", "0x10:0"}, 64, "", kRange + "\"0x10:0\""},
        {"range not a number", {"--dump", "x.bin", "--range", "16"}, 64, "", kRange + "\"16\""},
        {"range past 4 GiB",
         {"--dump", "x.bin", "--range", "0xFFFFFFFF:2"},
         64,
         "",
         "--range: \"0xFFFFFFFF:2\" ends past 4 GiB, beyond the last address a phone has"},
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
        EXPECT_EQ(run.err, c.err.empty() ? ""
                                         : "vbcflash-cli: " + c.err +
                                               "\nRun with --help for more information.\n");
    }
    // Nothing was saved by any of them.
    EXPECT_FALSE(fs::exists("config.txt"));
}

#if defined(VBC_STATION_PATH)
// The numbers of both programs' options: decimal whatever the zeros (010 is 10, 08 is 8), never
// a sign, a blank, 0x or a number too long, and the same words for the same mistake. An
// accepted option lets the run go on, to the flash.txt this directory lacks (status 65).
TEST(OptionNumbers, BothProgramsReadThemInDecimalAndRefuseTheRestAlike) {
    test::ScratchDir dir;
    const std::string kPort = "expected a COM number from 1 to 255";
    const std::string kPorts = "expected COM numbers from 1 to 255 and ranges, e.g. 1-4,7";
    const std::string kProduct = "expected product type 1 or 2";
    const std::string kRow = "expected a row of the speed table from 0 to 8";
    const std::string kStates =
        "expected four numbers from 0 to 4 separated by commas, e.g. 0,1,0,2";
    struct Case {
        std::string option;  // --port is vbcflash-cli's, --ports and --device vbcflash-station's
        std::string value;
        std::string error;  // "" when it is accepted; else after ": ", what comes before ", not"
        std::vector<std::string> more = {};  // further options
    };
    const std::string kLong = "99999999999999999999";
    const Case cases[] = {
        {"--port", "010", ""},
        {"--port", "08", ""},
        {"--port", "0x8", kPort},
        {"--port", "-1", kPort},
        {"--port", " 1", kPort},
        {"--port", "1 ", kPort},
        {"--port", "", kPort},
        {"--port", "256", kPort},
        {"--port", kLong, kPort},
        {"--ports", "010", "", {"--device", "10=/dev/null"}},
        {"--ports", "10", "", {"--device", "010=/dev/null"}},
        {"--ports", "08", ""},
        {"--ports", "0x8", kPorts},
        {"--ports", "-1", kPorts},
        {"--ports", " 1", kPorts},
        {"--ports", kLong, kPorts},
        {"--product", "01", ""},
        {"--product", "010", kProduct},
        {"--product", "0x1", kProduct},
        {"--product", "-2", kProduct},
        {"--product", " 2", kProduct},
        {"--product", kLong, kProduct},
        {"--speed", "08", ""},
        {"--speed", "00", ""},
        {"--speed", "010", "row 10 of the speed table has no PC rate: use 0 to 8"},
        {"--speed", "0x8", kRow},
        {"--speed", "-0", kRow},
        {"--speed", "8 ", kRow},
        {"--speed", "", kRow},
        {"--speed", kLong, kRow},
        {"--wait-states", "0,01,00,4", ""},
        {"--wait-states", "0,010,0,0", kStates},
        {"--wait-states", "0,0x1,0,0", kStates},
        {"--wait-states", "0,-1,0,0", kStates},
        {"--wait-states", "0, 1,0,0", kStates},
        {"--wait-states", "0,0,0," + kLong, kStates},
    };
    for (const Case& c : cases) {
        for (const char* program : {VBC_CLI_PATH, VBC_STATION_PATH}) {
            const bool cli = program == std::string(VBC_CLI_PATH);
            if (c.option == (cli ? "--ports" : "--port")) continue;
            const std::string name = cli ? "vbcflash-cli" : "vbcflash-station";
            SCOPED_TRACE(name + " " + c.option + " '" + c.value + "'");
            std::vector<std::string> args = {program, c.option, c.value};
            if (!cli && c.option != "--ports") args.insert(args.begin() + 1, {"--ports", "1"});
            args.insert(args.end(), c.more.begin(), c.more.end());
            args.push_back("soft.cla");
            test::Child run(args, dir.path() / "out.txt", dir.path() / "err.txt");
            const auto status = run.Wait();
            const std::string err = test::ReadFile(dir.path() / "err.txt");
            if (c.error.empty()) {
                EXPECT_EQ(status, 65) << err;
                EXPECT_EQ(err.find("--help"), std::string::npos) << err;
            } else {
                EXPECT_EQ(status, 64);
                const std::string quoted =
                    c.error.starts_with("row ") ? "" : ", not \"" + c.value + "\"";
                EXPECT_EQ(err, name + ": " + c.option + ": " + c.error + quoted +
                                   "\nRun with --help for more information.\n");
                EXPECT_EQ(test::ReadFile(dir.path() / "out.txt"), "");
            }
        }
    }

    // The values themselves, where vbcflash-cli shows them: port 10, product type 1, the wait
    // states and row 8.
    const fs::path examples = fs::path(VBC_SOURCE_DIR) / "examples";
    fs::copy_file(examples / "flash.txt", dir.path() / "flash.txt");
    test::Child save({VBC_CLI_PATH, "--port", "010", "--product", "01", "--wait-states",
                      "0,01,00,4", "--speed", "08", "--save"});
    EXPECT_EQ(SplitLines(save.Rest()),
              (Lines{" 0 wait state on the chip select 0 ", " 1 wait state on the chip select 1 ",
                     " 0 wait state on the chip select 2 ", " 4 wait state on the chip select 3 ",
                     " Line speed: 302325 bit/s (row 8) ",
                     " Settings saved in " + (dir.path() / "config.txt").string() + " "}));
    EXPECT_EQ(save.Wait(), 0);
    EXPECT_EQ(test::ReadFile(dir.path() / "config.txt"),
              test::Crlf({"* ***********************", "* Configuration save file",
                          "* ***********************", "CLA File : ", "COM : 10", "PMU : 0",
                          "Product Type : 1", "Download Type : 0"}));
}
#endif  // VBC_STATION_PATH

// --list-ports: a line a port, tab-separated: the COM number that names it, its device and what
// it is; none found is said on standard error. Either way the run succeeds.
TEST_F(CliE2e, ListPortsPrintsEachPortWithTheComNumberThatNamesIt) {
    const std::vector<platform::PortInfo> ports = platform::ListSerialPorts();
    const CliRun run = Cli({"--list-ports", "-C", dir_.path().string()});
    EXPECT_EQ(run.exitStatus, 0);
    Lines expected;
    for (std::size_t i = 0; i < ports.size(); ++i)
        expected.push_back("COM" + std::to_string(i + 1) + "\t" + ports[i].path + "\t" +
                           ports[i].description);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, ports.empty() ? "vbcflash-cli: no serial ports found\n" : "");
}

TEST_F(CliE2e, BrokenFlashDescriptionStopsWithItsMessage) {
    fs::remove("flash.txt");
    const CliRun run = Cli({"soft.cla"});
    EXPECT_EQ(run.exitStatus, 65);
    EXPECT_EQ(run.out, Lines{"FLASH DESCRIPTION : The file flash.txt not found"});
}

// Each program's --help names every option and every exit status it has.
TEST_F(CliE2e, HelpDocumentsTheOptionsAndExitStatuses) {
    struct Case {
        const char* program;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {VBC_CLI_PATH,
         {"--port",  "--device",     "--product", "--wait-states", "--speed",  "--restore",
          "--save",  "--list-ports", "-C",        "FILE",          "--verify", "--dump",
          "--range", "--json",       "--version", "\n  64 ",       "\n  65 ",  "\n  70 ",
          "130",     "143"}},
#if defined(VBC_STATION_PATH)
        {VBC_STATION_PATH,
         {"--ports", "--device", "--product", "--wait-states", "--speed",  "--verify", "--once",
          "--log",   "-C",       "FILE",      "--version",     "\n  0 ",   "\n  1 ",   "\n  64 ",
          "\n  65 ", "\n  66 ",  "\n  70 ",   "\n  74 ",       "\n  130 ", "143"}},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        test::Child help({c.program, "--help"}, "", (dir_.path() / "help.err").string());
        const std::string all = help.Rest();
        EXPECT_EQ(help.Wait(), 0);
        EXPECT_EQ(test::ReadFile(dir_.path() / "help.err"), "");
        for (const std::string& part : c.parts)
            EXPECT_NE(all.find(part), std::string::npos) << part;
    }
}

}  // namespace
}  // namespace vbc

#endif  // VBC_CLI_PATH && VBC_SIM_PATH
