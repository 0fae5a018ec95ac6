// The console backend of the toolkit: what it prints of the panels, and the operator's actions
// bound through the callback names of the resources.
#include "toolkit/consoletoolkit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/context.h"
#include "testing/programstate.h"
#include "testing/recordingtoolkit.h"
#include "tests/testutil.h"
#include "ui/mfl50dev.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

using platform::ConsoleToolkit;
using Lines = std::vector<std::string>;

// A stream into memory, read back whole.
class MemoryStream {
  public:
    MemoryStream() : file_(open_memstream(&data_, &size_)) {}
    ~MemoryStream() {
        std::fclose(file_);
        std::free(data_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    std::FILE* file() { return file_; }
    std::string Text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

class Console : public ::testing::Test {
  protected:
    explicit Console(bool bar = false) : console_(out_.file(), err_.file(), bar), use_(console_) {
        test::ResetProgramState();
        RegisterProgramCallbacks();
        _v_Panel = console_.LoadPanel(0, kMmiUir, PANEL_MAIN);
        console_.DisplayPanel(_v_Panel);
        _v_MenuBarHandle = console_.LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
    }
    ~Console() override { test::ResetProgramState(); }
    Lines Out() {
        Lines lines;
        const std::string text = out_.Text();
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        EXPECT_EQ(start, text.size()) << "an unfinished line";
        return lines;
    }

    MemoryStream out_;
    MemoryStream err_;
    ConsoleToolkit console_;
    platform::ScopedToolkit use_;
};

class ConsoleWithBar : public Console {
  protected:
    ConsoleWithBar() : Console(true) {}
};

TEST_F(Console, PrintsListLinesStatusChangesAndMessagePanels) {
    EXPECT_GT(_v_Panel, 0);
    EXPECT_GT(_v_MenuBarHandle, 0);
    AddCommentLine("SPM version:2.5");
    AddCommentLine("Check the compatibility");
    // The status text: a blank shows nothing, a repeat shows nothing.
    SetCtrlAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, " ");
    SetCtrlAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, "0 min 3 sec");
    SetCtrlAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, "0 min 3 sec");
    SetCtrlAttribute(_v_Panel, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, "1 min 0 sec");
    // Indicators and their labels are not printed.
    _mfl52_2DisplayTypeCPU(0xBE);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_A, 40);
    _mfl52_10DisplayResult(ResultChecksum, 0);
    _mfl52_10DisplayResult(ResultSuccess, 0);
    MessagePopup("DOWNLOAD", "PLEASE LOAD A FILE BEFORE START");

    EXPECT_EQ(Out(),
              (Lines{" SPM version:2.5 ", " Check the compatibility ", "0 min 3 sec", "1 min 0 sec",
                     "Problem : Bad checksum", "The software has been downloaded successfully.",
                     "PLEASE LOAD A FILE BEFORE START"}));
    // Without a progress bar nothing goes to the error stream.
    EXPECT_EQ(err_.Text(), "");
    EXPECT_EQ(console_.ListLines(_v_Panel, MAIN_COMMENT_LIST),
              (Lines{" SPM version:2.5 ", " Check the compatibility "}));
}

TEST_F(Console, APanelIsPrintedOnceWhenDisplayed) {
    const int turnOn = console_.LoadPanel(0, kMmiUir, PANEL_TURN_ON);
    ASSERT_GT(turnOn, 0);
    EXPECT_EQ(Out(), Lines{});  // loading shows nothing
    console_.DisplayPanel(turnOn);
    console_.DisplayPanel(turnOn);
    EXPECT_EQ(Out().size(), 1u);
    EXPECT_EQ(Out()[0].rfind("Switch the phone on now.", 0), 0u);
    EXPECT_TRUE(console_.IsDisplayed(turnOn));
    EXPECT_EQ(console_.DiscardPanel(turnOn), 0);
    EXPECT_FALSE(console_.IsDisplayed(turnOn));
    EXPECT_EQ(console_.DisplayPanel(turnOn), kUiErrBadHandle);
    EXPECT_EQ(console_.SetCtrlVal(turnOn, 1, 1), kUiErrBadHandle);
}

TEST_F(Console, ControlsFollowTheResources) {
    // Selectors start on their resource entry's value: port 1, product type 2.
    int value = -1;
    EXPECT_EQ(console_.GetCtrlVal(_v_Panel, MAIN_PORT, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(console_.GetCtrlVal(_v_Panel, MAIN_PRODUCT_TYPE, &value), 0);
    EXPECT_EQ(value, 2);
    // No control 9 on the main panel, no panel 42, no such attribute.
    EXPECT_EQ(console_.SetCtrlVal(_v_Panel, 9, 1), kUiErrBadHandle);
    EXPECT_EQ(console_.LoadPanel(0, kMmiUir, 42), platform::kUiErrNoResource);
    EXPECT_EQ(console_.LoadPanel(0, "other.uir", 1), platform::kUiErrNoResource);
    EXPECT_EQ(console_.SetCtrlAttribute(_v_Panel, MAIN_START, 123, 1),
              platform::kUiErrNotSupported);
    EXPECT_EQ(console_.InsertListItem(_v_Panel, MAIN_COMMENT_LIST, 5, "x", 0), kUiErrOutOfRange);
    EXPECT_EQ(console_.SetCtrlIndex(_v_Panel, MAIN_COMMENT_LIST, 0), kUiErrOutOfRange);
    // A text value is not read as a number.
    console_.SetCtrlVal(_v_Panel, MAIN_FILE_SIZE, "text");
    EXPECT_EQ(console_.GetCtrlVal(_v_Panel, MAIN_FILE_SIZE, &value), platform::kUiErrNotSupported);
}

TEST_F(Console, TheLockDimsTheMenuBarAndKeepsIt) {
    const int first = _v_MenuBarHandle;
    EXPECT_EQ(console_.LiveMenuBar(_v_Panel), first);
    _mfl52_5LockDuringDownload();
    EXPECT_EQ(console_.LiveMenuBar(_v_Panel), first);
    EXPECT_TRUE(console_.IsDimmed(_v_Panel, MAIN_START));
    EXPECT_FALSE(console_.IsDimmed(_v_Panel, MAIN_PRODUCT_TYPE));
    for (int item : {100, 101, 102, 103, 132, 150})
        EXPECT_EQ(console_.SelectMenuItem(first, item), kUiErrDimmed) << item;
    _mfl52_6UnlockAfterDownload();
    EXPECT_EQ(_v_MenuBarHandle, first);
    EXPECT_EQ(console_.LiveMenuBar(_v_Panel), first);
    EXPECT_FALSE(console_.IsDimmed(_v_Panel, MAIN_START));
    EXPECT_EQ(console_.SelectMenuItem(first, 132), 0);
    int checked = -1;
    EXPECT_EQ(console_.GetMenuBarAttribute(first, 132, ATTR_CHECKED, &checked), 0);
    EXPECT_EQ(checked, 1);
    EXPECT_EQ(console_.GetMenuBarAttribute(first, 130, ATTR_CHECKED, &checked), 0);
    EXPECT_EQ(checked, 0);
    EXPECT_EQ(console_.SetMenuBarAttribute(first, 100, ATTR_CHECKED, 1),
              platform::kUiErrNotSupported);
    // A second menu bar on the panel replaces the first.
    const int again = console_.LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
    EXPECT_EQ(console_.LiveMenuBar(_v_Panel), again);
    EXPECT_EQ(console_.DiscardMenuBar(_v_MenuBarHandle), kUiErrBadHandle);
}

// The operator's actions reach the program's callbacks through the names in the resources.
TEST_F(Console, OperatorActionsCallTheCallbacksTheResourcesName) {
    EXPECT_EQ(console_.Change(_v_Panel, MAIN_PORT, 5), 0);
    EXPECT_EQ(_sg_DownloadContext.comPort, 5);
    int value = 0;
    console_.GetCtrlVal(_v_Panel, MAIN_PORT, &value);
    EXPECT_EQ(value, 5);

    const int item =
        console_.MenuItemWithCallback(_v_MenuBarHandle, "_mfl51_133MMIMenuCS2_3WaitState");
    EXPECT_EQ(item, 133);
    EXPECT_EQ(console_.SelectMenuItem(_v_MenuBarHandle, item), 0);
    EXPECT_EQ(_sg_DownloadContext.csWaitStates[2], 3);
    EXPECT_EQ(console_.MenuItemWithCallback(_v_MenuBarHandle, "nothing"), kUiErrBadHandle);
    EXPECT_EQ(console_.SelectMenuItem(_v_MenuBarHandle, 999), kUiErrBadHandle);

    // A dimmed control takes no action.
    SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, 1);
    EXPECT_EQ(console_.Commit(_v_Panel, MAIN_START), kUiErrDimmed);
    EXPECT_EQ(console_.Change(_v_Panel, MAIN_START, 1), kUiErrDimmed);
    SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, 0);
    EXPECT_EQ(console_.Commit(_v_Panel, MAIN_START), 0);
    // A control without a callback.
    EXPECT_EQ(console_.Commit(_v_Panel, MAIN_COMMENT_LIST), kUiErrBadHandle);

    EXPECT_EQ(Out(),
              (Lines{" 3 wait state on the chip select 2 ", "PLEASE LOAD A FILE BEFORE START"}));
}

TEST_F(Console, TheEventLoopRunsTheSessionAndPopupsAnswerAsSet) {
    console_.SetConfirmAnswer(1);
    console_.SetFileSelectAnswer("/tmp/x.cla");
    int confirmed = -1;
    std::string chosen;
    int picked = -1;
    console_.SetRunHook([&] {
        confirmed = ConfirmPopup("Confirm to quit", "Do you really want to quit?");
        picked = console_.FileSelectPopup("", "*.cla", FILE_SELECT_LOAD, &chosen);
        QuitUserInterface(7);
    });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_EQ(confirmed, 1);
    EXPECT_EQ(picked, 1);
    EXPECT_EQ(chosen, "/tmp/x.cla");
    console_.SetFileSelectAnswer(std::nullopt);
    EXPECT_EQ(console_.FileSelectPopup("", "*.cla", FILE_SELECT_LOAD, &chosen), 0);
}

TEST_F(ConsoleWithBar, TheProgressBarKeepsOutOfTheWayOfTheLines) {
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 0);  // nothing written yet: no bar
    EXPECT_EQ(err_.Text(), "");
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_A, 50);  // the percentage box: no bar
    EXPECT_EQ(err_.Text(), "");
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 50);
    const std::string half = "\r[" + std::string(20, '#') + std::string(20, '.') + "] 50 %";
    EXPECT_EQ(err_.Text(), half);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 50);  // unchanged: not drawn again
    EXPECT_EQ(err_.Text(), half);

    // A line erases the bar first and draws it again after.
    AddCommentLine("CkeckSum NOK -> try again");
    EXPECT_EQ(err_.Text(), half + "\r\033[K" + half);
    EXPECT_EQ(Out(), Lines{" CkeckSum NOK -> try again "});

    // Done: erased, so what follows starts on a clean line.
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 100);
    const std::string done = half + "\r\033[K" + half + "\r\033[K";
    EXPECT_EQ(err_.Text(), done);
    AddCommentLine("Check the compatibility");
    EXPECT_EQ(err_.Text(), done);
}

// A console without escapes (an old Windows one): the bar is cleared with blanks.
TEST_F(ConsoleWithBar, WithoutEscapesTheBarIsClearedWithBlanks) {
    console_.SetTerminalEscapes(false);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 50);
    const std::string half = "\r[" + std::string(20, '#') + std::string(20, '.') + "] 50 %";
    const std::string blank = "\r" + std::string(half.size() - 1, ' ') + "\r";
    AddCommentLine("Check the compatibility");
    EXPECT_EQ(err_.Text(), half + blank + half);
    SetCtrlVal(_v_Panel, MAIN_PROGRESS_B, 100);
    EXPECT_EQ(err_.Text(), half + blank + half + blank);
}

}  // namespace
}  // namespace vbc
