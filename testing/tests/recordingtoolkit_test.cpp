// The recording toolkit's own behaviour: the tests of the modules read their panels through it,
// so it must keep handles, lists, values and popups as a real toolkit would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "testing/recordingtoolkit.h"
#include "toolkit/toolkit.h"

namespace vbc {
namespace {

using platform::RecordingToolkit;
using platform::ScopedToolkit;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

int gCalls = 0;
int gLastPanel = 0;
int CountingCallback(int panel, int, int, void*, int, int) {
    ++gCalls;
    gLastPanel = panel;
    return 0;
}

TEST(RecordingToolkit, FiresCallbacksOnLivePanelsOnly) {
    const platform::CallbackEntry table[] = {{"recordingtoolkit_test_Fire", CountingCallback}};
    platform::RegisterCallbacks(table, 1);
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    gCalls = 0;
    const int p = LoadPanel(0, "Utility.uir", 7);
    EXPECT_EQ(rec.FireControl("recordingtoolkit_test_Fire", p, 4, EVENT_COMMIT), 0);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gLastPanel, p);
    EXPECT_THAT(rec.Errors(), IsEmpty());

    EXPECT_EQ(rec.FireControl("recordingtoolkit_test_Unknown", p, 4, EVENT_COMMIT),
              kUiErrBadHandle);
    DiscardPanel(p);
    EXPECT_EQ(rec.FireControl("recordingtoolkit_test_Fire", p, 4, EVENT_COMMIT), kUiErrBadHandle);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(rec.Errors().size(), 2u);
}

TEST(RecordingToolkit, ReportsEveryUseOfAStaleHandle) {
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    const int p = LoadPanel(0, "Utility.uir", 1);
    const int m = LoadMenuBar(p, "mmi.uir", 1);
    EXPECT_EQ(DisplayPanel(p), 0);
    EXPECT_TRUE(rec.IsDisplayed(p));
    EXPECT_THAT(rec.DisplayedPanels("Utility.uir", 1), ElementsAre(p));
    EXPECT_EQ(DiscardMenuBar(m), 0);
    EXPECT_EQ(rec.LiveMenuBar(p), 0);
    EXPECT_EQ(DiscardPanel(p), 0);
    EXPECT_THAT(rec.DisplayedPanels("Utility.uir", 1), IsEmpty());
    EXPECT_THAT(rec.Errors(), IsEmpty());

    struct Case {
        const char* what;
        int result;
    };
    const Case cases[] = {
        {"DiscardPanel twice", DiscardPanel(p)},
        {"DisplayPanel after discard", DisplayPanel(p)},
        {"SetCtrlVal after discard", SetCtrlVal(p, 3, "x")},
        {"DiscardMenuBar twice", DiscardMenuBar(m)},
        {"unknown panel", SetCtrlAttribute(9999, 5, ATTR_DIMMED, 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, kUiErrBadHandle) << c.what;
    EXPECT_EQ(rec.Errors().size(), std::size(cases));
}

TEST(RecordingToolkit, KeepsListAndTextBoxLinesWhereTheyWereInserted) {
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    const int p = LoadPanel(0, "mmi.uir", 2);
    EXPECT_EQ(InsertListItem(p, 10, 0, "b", 0), 0);
    EXPECT_EQ(InsertListItem(p, 10, 0, "a", 0), 0);
    EXPECT_EQ(InsertListItem(p, 10, -1, "c", 0), 0);
    EXPECT_EQ(InsertListItem(p, 10, 5, "far", 0), kUiErrOutOfRange);
    EXPECT_THAT(rec.ListLines(p, 10), ElementsAre("a", "b", "c"));
    EXPECT_EQ(SetCtrlIndex(p, 10, 3), kUiErrOutOfRange);
    EXPECT_EQ(rec.ListIndex(p, 10), -1);
    EXPECT_EQ(SetCtrlIndex(p, 10, 2), 0);
    EXPECT_EQ(rec.ListIndex(p, 10), 2);

    InsertTextBoxLine(p, 7, 0, "old");
    ResetTextBox(p, 7, "");
    EXPECT_THAT(rec.TextBoxLines(p, 7), IsEmpty());
    InsertTextBoxLine(p, 7, 0, "C:\\phone\\soft.cla");
    EXPECT_THAT(rec.TextBoxLines(p, 7), ElementsAre("C:\\phone\\soft.cla"));
    EXPECT_EQ(rec.Errors().size(), 2u);
}

TEST(RecordingToolkit, ValuesAttributesAndPopups) {
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    const int p = LoadPanel(0, "mmi.uir", 2);
    SetCtrlVal(p, 16, 3);
    int v = 0;
    GetCtrlVal(p, 16, &v);
    EXPECT_EQ(v, 3);
    SetCtrlAttribute(p, 5, ATTR_DIMMED, 1);
    SetCtrlAttribute(p, 15, ATTR_LABEL_TEXT, "Unknown boot");
    SetCtrlAttribute(p, 13, ATTR_STATUS_TEXT, " ");
    EXPECT_TRUE(rec.IsDimmed(p, 5));
    EXPECT_FALSE(rec.IsDimmed(p, 4));
    EXPECT_EQ(rec.Label(p, 15), "Unknown boot");
    EXPECT_EQ(rec.TextAttribute(p, 13, ATTR_STATUS_TEXT), " ");

    rec.QueueConfirm(1);
    EXPECT_EQ(ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 1);
    EXPECT_EQ(ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 0);
    MessagePopup("DOWNLOAD", "PLEASE LOAD A FILE BEFORE START");
    ASSERT_EQ(rec.Popups().size(), 3u);
    EXPECT_EQ(rec.Popups()[2].kind, "Message");
    EXPECT_EQ(rec.Popups()[2].title, "DOWNLOAD");
    EXPECT_EQ(rec.Popups()[2].text, "PLEASE LOAD A FILE BEFORE START");
}

TEST(RecordingToolkit, RunsHooksInsideTheEventPumpAndTheEventLoop) {
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    int pumped = 0;
    rec.SetEventHook([&] {
        ++pumped;
        ProcessSystemEvents();  // a nested pump does not re-enter the hook
    });
    ProcessSystemEvents();
    EXPECT_EQ(pumped, 1);
    EXPECT_EQ(rec.EventCount(), 2);

    rec.SetRunHook([] { QuitUserInterface(7); });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_TRUE(rec.QuitRequested());
}

}  // namespace
}  // namespace vbc
