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

}  // namespace
}  // namespace vbc
