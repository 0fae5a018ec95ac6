// vbcflash run as a process where no display can be opened: one line on standard error and
// status 255, not Qt's abort.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/testutil.h"

namespace vbc::test {
namespace {

TEST(NoDisplay, TheProgramSaysSoInOneLineAndExitsWith255) {
    ScratchDir dir;
    // The X11 platform with no display to connect to, whatever this session has.
    Child gui({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb",
               VBC_GUI_PATH},
              "", (dir.path() / "err").string());
    ASSERT_TRUE(gui.Started());
    EXPECT_EQ(gui.Rest(), "");
    EXPECT_EQ(gui.Wait(), 255);
    const std::string err = ReadFile(dir.path() / "err");
    EXPECT_EQ(err.rfind("vbcflash: cannot open the display (", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

// --version and --help need no display, in every program (the man pages are made from them).
TEST(NoDisplay, EveryProgramAnswersVersionAndHelp) {
    for (const char* program : {VBC_GUI_PATH, VBC_CLI_PATH, VBC_STATION_PATH, VBC_SIM_PATH}) {
        SCOPED_TRACE(program);
        const std::string name = std::filesystem::path(program).filename().string();
        Child version(
            {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", program, "--version"});
        EXPECT_EQ(version.Rest(), name + " " + VBC_VERSION + "\n");
        EXPECT_EQ(version.Wait(), 0);
        Child help({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", program, "--help"});
        EXPECT_NE(help.Rest().find("--version"), std::string::npos);
        EXPECT_EQ(help.Wait(), 0);
    }
}

}  // namespace
}  // namespace vbc::test
