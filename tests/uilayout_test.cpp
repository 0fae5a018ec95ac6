// The layout tree and menu shapes of the panel resources, as backends that lay panels out
// themselves read them.
#include <gtest/gtest.h>

#include <string>

#include "toolkit/uiresources.h"
#include "ui/uirids.h"

namespace vbc::platform {
namespace {

const UiNode* FindNode(const UiNode& n, std::string_view name) {
    if (n.objectName == name) return &n;
    for (const UiNode& c : n.children) {
        if (const UiNode* f = FindNode(c, name)) return f;
    }
    return nullptr;
}

TEST(UiLayoutReader, ReadsTheMainPanelsLayoutTree) {
    UiNode top;
    ASSERT_TRUE(ReadUiLayout(UiResource(kMmiUir, PANEL_MAIN), &top));
    EXPECT_EQ(top.className, "QWidget");
    EXPECT_EQ(top.sizes.at("minimumSize"), (UiSize{640, 460}));
    EXPECT_EQ(top.sizes.at("geometry"), (UiSize{920, 600}));
    ASSERT_NE(top.Layout(), nullptr);
    EXPECT_EQ(top.Layout()->className, "QVBoxLayout");

    const UiNode* middle = FindNode(top, "middleLayout");
    ASSERT_NE(middle, nullptr);
    EXPECT_EQ(middle->kind, UiNodeKind::Layout);
    EXPECT_EQ(middle->stretch, (std::vector<int>{0, 1}));
    const UiNode* progress = FindNode(top, "progressLayout");
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->columnStretch, (std::vector<int>{0, 1, 0}));

    struct Cell {
        const char* name;
        int row, column, rowSpan, columnSpan, ctrlId;
    };
    const Cell cells[] = {{"fileNameLabel", 0, 0, 1, 1, 0},
                          {"loadFileButton", 0, 2, 1, 1, MAIN_LOAD_FILE},
                          {"statusText", 1, 1, 1, 2, MAIN_STATUS_TEXT},
                          {"portSelector", 0, 1, 1, 1, MAIN_PORT}};
    for (const Cell& c : cells) {
        const UiNode* n = FindNode(top, c.name);
        ASSERT_NE(n, nullptr) << c.name;
        EXPECT_EQ(n->kind, UiNodeKind::Widget) << c.name;
        EXPECT_EQ((std::vector<int>{n->row, n->column, n->rowSpan, n->columnSpan, n->ctrlId}),
                  (std::vector<int>{c.row, c.column, c.rowSpan, c.columnSpan, c.ctrlId}))
            << c.name;
    }
    const UiNode* label = FindNode(top, "fileNameLabel");
    EXPECT_EQ(*label->Property("text"), "File:");
    EXPECT_EQ(*label->Property("buddy"), "fileNameBox");
    const UiNode* spacer = FindNode(top, "buttonSpacer");
    ASSERT_NE(spacer, nullptr);
    EXPECT_EQ(spacer->kind, UiNodeKind::Spacer);
    EXPECT_EQ(*spacer->Property("orientation"), "Qt::Horizontal");
    EXPECT_EQ(spacer->sizes.at("sizeHint"), (UiSize{40, 0}));
    EXPECT_FALSE(FindNode(top, "stopButton")->BoolProperty("enabled", true));
    EXPECT_TRUE(FindNode(top, "startButton")->BoolProperty("default", false));
}

TEST(UiLayoutReader, ReadsSizePoliciesAndItemAlignment) {
    UiNode top;
    ASSERT_TRUE(ReadUiLayout(UiResource(kUtilityUir, UTIL_BOOT_ERR), &top));
    const UiNode* text = FindNode(top, "messageText");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->horizontalPolicy, "Expanding");
    EXPECT_EQ(text->verticalPolicy, "Preferred");
    EXPECT_EQ(text->horizontalStretch, 1);
    EXPECT_EQ(*FindNode(top, "messageLayout")->Property("spacing"), "16");
    EXPECT_EQ(*FindNode(top, "panelIcon")->Property("standardIcon"), "critical");

    const std::string item = R"(<ui version="4.0"><widget class="QWidget" name="w">
        <layout class="QGridLayout" name="g"><item row="1" column="2" alignment="Qt::AlignTop">
        <widget class="QLabel" name="l"/></item></layout></widget></ui>)";
    ASSERT_TRUE(ReadUiLayout(item, &top));
    const UiNode* l = FindNode(top, "l");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->alignment, "Qt::AlignTop");
    EXPECT_EQ(l->row, 1);
    EXPECT_EQ(l->column, 2);
}

TEST(UiLayoutReader, RefusesCellsSpansAndStretchesThatAreNotNumbers) {
    const char* broken[] = {
        R"(<ui><widget class="QWidget"><layout class="QGridLayout"><item row="x" column="0"><widget class="QLabel"/></item></layout></widget></ui>)",
        R"(<ui><widget class="QWidget"><layout class="QGridLayout"><item row="0" column="0" colspan="0"><widget class="QLabel"/></item></layout></widget></ui>)",
        R"(<ui><widget class="QWidget"><layout class="QHBoxLayout" stretch="0,a"/></widget></ui>)",
        R"(<ui><widget class="QWidget"><layout class="QHBoxLayout" stretch="0,-1"/></widget></ui>)",
        R"(<ui><widget class="QWidget"><property name="minimumSize"><size><width>w</width><height>1</height></size></property></widget></ui>)",
        R"(<ui><widget class="QWidget"><property name="ctrlId"><number>two</number></property></widget></ui>)",
        R"(<ui><widget class="QWidget"><layout class="QHBoxLayout"></widget></ui>)",
    };
    for (const char* xml : broken) {
        UiNode top;
        top.objectName = "stale";
        EXPECT_FALSE(ReadUiLayout(xml, &top)) << xml;
        EXPECT_TRUE(top.objectName.empty() && top.children.empty()) << xml;
    }
}

TEST(UiLayoutReader, MenusNestAsTheMenuBarShowsThem) {
    UiPanelInfo info;
    ASSERT_TRUE(ReadUiPanel(UiMenuBarResource(kMmiUir, MENUBAR_MAIN), &info));
    ASSERT_EQ(info.menuTree.size(), 4u);
    const UiMenuNode& file = info.menuTree[0];
    EXPECT_TRUE(file.isMenu);
    EXPECT_EQ(file.title, "&File");
    // Restore, Save, separator, Save log, separator, Quit.
    ASSERT_EQ(file.entries.size(), 6u);
    EXPECT_EQ(file.entries[0].itemId, 100);
    EXPECT_TRUE(file.entries[2].separator);
    EXPECT_EQ(info.MenuItem(100)->shortcut, "Ctrl+R");
    EXPECT_EQ(info.MenuItem(170)->shortcut, "");
    const UiMenuNode& waits = info.menuTree[1];
    ASSERT_EQ(waits.entries.size(), 4u);
    EXPECT_TRUE(waits.entries[0].isMenu);
    EXPECT_EQ(waits.entries[0].title, "Chip select &0");
    EXPECT_EQ(waits.entries[0].entries.size(), 5u);
    EXPECT_EQ(info.menuTree[2].entries.size(), 9u);  // the line speeds
}

}  // namespace
}  // namespace vbc::platform
