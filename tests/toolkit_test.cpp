#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testing/recordingtoolkit.h"
#include "toolkit/toolkit.h"

namespace vbc {
namespace {

using platform::RecordingToolkit;
using platform::ScopedToolkit;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(NullToolkit, AnswersSensiblyWithoutAnyWindow) {
    platform::SetToolkit(nullptr);
    const int a = LoadPanel(0, "mmi.uir", 2);
    const int b = LoadPanel(0, "mmi.uir", 2);
    const int m = LoadMenuBar(a, "mmi.uir", 1);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_GT(m, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(m, a);
    EXPECT_NE(m, b);

    EXPECT_EQ(SetCtrlVal(a, 5, 7), 0);
    int value = 123;
    EXPECT_EQ(GetCtrlVal(a, 5, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 0);

    char path[260] = "unchanged";
    EXPECT_EQ(FileSelectPopup("", "*.cla", "", "", 3, 0, 0, 1, 0, path), 0);
    EXPECT_STREQ(path, "unchanged");
    EXPECT_EQ(RunUserInterface(), 0);
}

TEST(ToolkitDispatch, GoesToTheInstalledBackendAndBack) {
    RecordingToolkit rec;
    {
        ScopedToolkit use(rec);
        const int p = LoadPanel(0, "Utility.uir", 1);
        SetCtrlVal(p, 3, nullptr);  // a null text arrives as ""
        EXPECT_EQ(rec.CtrlText(p, 3), "");
        EXPECT_THAT(rec.LogLines(), ElementsAre("LoadPanel 0 Utility.uir 1",
                                                "SetCtrlVal " + std::to_string(p) + " 3 \"\""));
    }
    EXPECT_NE(&platform::CurrentToolkit(), &rec);
    LoadPanel(0, "mmi.uir", 5);
    EXPECT_EQ(rec.Log().size(), 2u);
}

TEST(ToolkitDispatch, FileSelectCopiesTheChosenPathOrRefusesOneThatDoesNotFit) {
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    char path[260];
    std::strcpy(path, "old.cla");

    rec.QueueFileSelect("/data/phone/new.cla");
    EXPECT_EQ(FileSelectPopup("/data", "*.cla", "", "", 3, 0, 0, 1, 0, path), 1);
    EXPECT_STREQ(path, "/data/phone/new.cla");

    rec.QueueFileSelectCancel();
    EXPECT_EQ(FileSelectPopup("/data", "*.cla", "", "", 3, 0, 0, 1, 0, path), 0);
    EXPECT_STREQ(path, "/data/phone/new.cla");

    const std::string longest(259, 'a');
    rec.QueueFileSelect(longest);
    EXPECT_EQ(FileSelectPopup("", "*.cla", "", "", 3, 0, 0, 1, 0, path), 1);
    EXPECT_EQ(std::string(path), longest);

    rec.QueueFileSelect(std::string(260, 'b'));
    EXPECT_EQ(FileSelectPopup("", "*.cla", "", "", 3, 0, 0, 1, 0, path), kUiErrOutOfRange);
    EXPECT_EQ(std::string(path), longest);

    ASSERT_EQ(rec.Popups().size(), 4u);
    EXPECT_EQ(rec.Popups()[0].directory, "/data");
    EXPECT_EQ(rec.Popups()[0].pattern, "*.cla");
}

int gCalls = 0;
int gLastPanel = 0;
int CountingCallback(int panel, int, int, void*, int, int) {
    ++gCalls;
    gLastPanel = panel;
    return 0;
}
int OtherCallback(int, int, int, void*, int, int) {
    return 42;
}

TEST(CallbackRegistry, FindsByNameAndALaterTableWins) {
    const std::string name = "toolkit_test_Counting";
    const platform::CallbackEntry first[] = {{"toolkit_test_Counting", CountingCallback},
                                             {nullptr, OtherCallback}};
    platform::RegisterCallbacks(first, 2);
    const platform::CallbackEntry* e = platform::FindCallback(name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->control, &CountingCallback);
    EXPECT_EQ(std::string(e->name), name);
    EXPECT_EQ(platform::FindCallback("toolkit_test_Nothing"), nullptr);

    const platform::CallbackEntry second[] = {{"toolkit_test_Counting", OtherCallback}};
    platform::RegisterCallbacks(second, 1);
    EXPECT_EQ(platform::FindCallback(name)->control, &OtherCallback);
    platform::RegisterCallbacks(first, 1);
}

TEST(RecordingToolkit, FiresCallbacksOnLivePanelsOnly) {
    const platform::CallbackEntry table[] = {{"toolkit_test_Fire", CountingCallback}};
    platform::RegisterCallbacks(table, 1);
    RecordingToolkit rec;
    ScopedToolkit use(rec);
    gCalls = 0;
    const int p = LoadPanel(0, "Utility.uir", 7);
    EXPECT_EQ(rec.FireControl("toolkit_test_Fire", p, 4, EVENT_COMMIT), 0);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gLastPanel, p);
    EXPECT_THAT(rec.Errors(), IsEmpty());

    EXPECT_EQ(rec.FireControl("toolkit_test_Unknown", p, 4, EVENT_COMMIT), kUiErrBadHandle);
    DiscardPanel(p);
    EXPECT_EQ(rec.FireControl("toolkit_test_Fire", p, 4, EVENT_COMMIT), kUiErrBadHandle);
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
