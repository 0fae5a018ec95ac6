// The embedded panel resources: that each panel and control the program addresses by number
// is there with the kind and the callback name it needs, and the reader that front ends
// without widgets use to read them.
#include "toolkit/uiresources.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "core/context.h"
#include "tests/waitstateitems.h"
#include "ui/mfl53ser.h"
#include "ui/uirids.h"

namespace vbc::platform {
namespace {

UiPanelInfo Read(std::string_view xml) {
    UiPanelInfo info;
    EXPECT_TRUE(ReadUiPanel(xml, &info));
    return info;
}

TEST(UiResources, EveryEmbeddedResourceReads) {
    ASSERT_EQ(UiResources().size(), 15u);
    std::set<std::pair<std::string, int>> panels;
    for (const auto& r : UiResources()) {
        SCOPED_TRACE(r.name);
        UiPanelInfo info;
        ASSERT_TRUE(ReadUiPanel(r.xml, &info));
        EXPECT_FALSE(info.title.empty());
        if (r.kind == UiResourceKind::Panel) {
            EXPECT_TRUE(panels.emplace(r.file, r.number).second);
            EXPECT_EQ(info.className, "QWidget");
        } else {
            EXPECT_EQ(info.className, "QMainWindow");
        }
    }
}

TEST(UiResources, LookUpByFileAndNumber) {
    EXPECT_FALSE(UiResource(kMmiUir, PANEL_MAIN).empty());
    EXPECT_EQ(UiResource("MMI.UIR", PANEL_MAIN), UiResource(kMmiUir, PANEL_MAIN));
    EXPECT_EQ(UiResource("C:\\vbc\\Utility.uir", UTIL_BOOT_ERR),
              UiResource(kUtilityUir, UTIL_BOOT_ERR));
    EXPECT_EQ(UiResource("./mmi.uir", PANEL_TIMEOUT), UiResource(kMmiUir, PANEL_TIMEOUT));
    EXPECT_NE(UiResource(kMmiUir, 3), UiResource(kUtilityUir, 3));
    EXPECT_TRUE(UiResource(kMmiUir, 42).empty());
    EXPECT_TRUE(UiResource("other.uir", PANEL_MAIN).empty());
    EXPECT_TRUE(UiResource("mmi.ui", PANEL_MAIN).empty());
    // Menu bars and panels are numbered apart.
    EXPECT_FALSE(UiMenuBarResource(kMmiUir, MENUBAR_MAIN).empty());
    EXPECT_NE(UiMenuBarResource(kMmiUir, 1), UiResource(kMmiUir, 1));
    EXPECT_TRUE(UiMenuBarResource(kUtilityUir, 1).empty());
}

struct MainControl {
    int id;
    const char* className;
    const char* callback;
};

TEST(UiResources, MainPanelHasExactlyTheControlsTheProgramUses) {
    const MainControl expected[] = {
        {MAIN_LOAD_FILE, "QPushButton", "_mfl51_52MMILoadFile"},
        {MAIN_QUIT, "QPushButton", "_mfl51_51MMIQuit"},
        {MAIN_DOWNLOAD_CONFIG, "QComboBox", "_mfl51_60MMIDownloadConfiguration"},
        {MAIN_START, "QPushButton", "_mfl51_50MMIStart"},
        {MAIN_PRODUCT_TYPE, "QComboBox", "_mfl51_59MMISelectProjectType"},
        {MAIN_FILE_NAME, "QLineEdit", ""},
        {MAIN_FILE_SIZE, "QSpinBox", ""},
        {MAIN_COMMENT_LIST, "QListWidget", ""},
        {MAIN_PROGRESS_B, "QProgressBar", ""},
        {MAIN_PROGRESS_A, "QSpinBox", ""},
        {MAIN_STATUS_TEXT, "QLabel", ""},
        {MAIN_FLASH_LED, "VbcLed", ""},
        {MAIN_CPU_LED, "VbcLed", ""},
        {MAIN_PORT, "QComboBox", "_mfl51_56MMISelectPort"},
        {MAIN_TRANSFER_TEXT, "QLabel", ""},
        {MAIN_STOP, "QPushButton", "_mfl51_53MMIStop"},
    };
    const UiPanelInfo info = Read(UiResource(kMmiUir, PANEL_MAIN));
    EXPECT_EQ(info.callback, "_mfl51_61MMIInterfacePanelFunction");
    EXPECT_TRUE(info.closeBox);
    ASSERT_EQ(info.controls.size(), std::size(expected));
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const UiControlInfo* c = info.Control(e.id);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->className, e.className);
        EXPECT_EQ(c->callback, e.callback);
    }
}

TEST(UiResources, SelectorsOfferTheirValuesAndShowTheContextDefaults) {
    const UiPanelInfo info = Read(UiResource(kMmiUir, PANEL_MAIN));
    const DownloadContext defaults;

    const UiControlInfo* port = info.Control(MAIN_PORT);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->items, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                                     "COM7", "COM8"}));
    EXPECT_EQ(port->itemValues, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_GE(port->currentIndex, 0);
    EXPECT_EQ(port->itemValues[port->currentIndex], defaults.comPort);

    const UiControlInfo* product = info.Control(MAIN_PRODUCT_TYPE);
    ASSERT_NE(product, nullptr);
    EXPECT_EQ(product->itemValues, (std::vector<int>{1, 2}));
    ASSERT_GE(product->currentIndex, 0);
    EXPECT_EQ(product->itemValues[product->currentIndex], defaults.productType);

    const UiControlInfo* config = info.Control(MAIN_DOWNLOAD_CONFIG);
    ASSERT_NE(config, nullptr);
    ASSERT_FALSE(config->items.empty());
    ASSERT_GE(config->currentIndex, 0);
    EXPECT_EQ(config->itemValues[config->currentIndex], defaults.downloadType);
}

TEST(UiResources, MenuBarCarriesEveryMenuCallbackWithItsNumber) {
    const UiPanelInfo info = Read(UiMenuBarResource(kMmiUir, MENUBAR_MAIN));
    std::vector<std::pair<int, std::string>> expected = {{100, "_mfl51_100MMIMenuRestore"},
                                                         {101, "_mfl51_101MMIMenuSave"},
                                                         {103, "_mfl52_20MMIMenuSaveLog"},
                                                         {102, "_mfl51_102MMIMenuQuit"}};
    for (const auto& item : test::kWaitStateItems) expected.emplace_back(item.id, item.callback);
    for (int row = 0; row <= 8; ++row)
        expected.emplace_back(160 + row, "_mfl51_160MMIMenuLineSpeed");
    expected.emplace_back(170, "_mfl51_170MMIMenuVerify");
    expected.emplace_back(150, "_mfl51_150MMIMenuService");
    expected.emplace_back(180, "_mfl51_180MMIMenuStation");

    ASSERT_EQ(info.menuItems.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].second);
        EXPECT_EQ(info.menuItems[i].id, expected[i].first);
        EXPECT_EQ(info.menuItems[i].callback, expected[i].second);
        EXPECT_FALSE(info.menuItems[i].text.empty());
        // Only the wait-state, line-speed and Verify after writing items show a check.
        EXPECT_EQ(info.menuItems[i].checkable, expected[i].first >= 110 &&
                                                   expected[i].first < 180 &&
                                                   expected[i].first / 10 != 15);
    }
    // The wait-state items are grouped by chip select, in a menu of their own each.
    for (int m = 0; m < 4; ++m) {
        const std::string menu = "Chip select &" + std::to_string(m);
        for (int n = 0; n < 5; ++n) {
            const UiMenuItemInfo* item = info.MenuItem(110 + 10 * m + n);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->menu, menu);
            EXPECT_EQ(item->text.substr(0, 2), "&" + std::to_string(n));
        }
    }
    // The line-speed items, one a row, in a menu of their own.
    for (int row = 0; row <= 8; ++row) {
        const UiMenuItemInfo* item = info.MenuItem(160 + row);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->menu, "&Line speed");
        EXPECT_EQ(item->text.substr(0, 6), "Row &" + std::to_string(row));
    }
}

struct MessagePanelCase {
    const char* file;
    int number;
    const char* okCallback;
    bool programText;  // the program puts its message into control 3
};

// The letter after a single '&', lower case; 0 when the text has none.
char Mnemonic(const std::string& text) {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&') continue;
        if (text[i + 1] != '&') return static_cast<char>(std::tolower(text[i + 1]));
        ++i;
    }
    return 0;
}

void Mnemonics(const UiNode& node, std::vector<std::string>* texts) {
    for (const char* property : {"text", "title"}) {
        if (const std::string* t = node.Property(property); t && Mnemonic(*t)) texts->push_back(*t);
    }
    for (const UiNode& child : node.children) Mnemonics(child, texts);
}

void ExpectUnique(const std::vector<std::string>& texts) {
    std::map<char, std::string> seen;
    for (const std::string& t : texts) {
        const auto [at, fresh] = seen.emplace(Mnemonic(t), t);
        EXPECT_TRUE(fresh) << "\"" << t << "\" and \"" << at->second << "\" share a mnemonic";
    }
}

// An Alt+letter reaches one thing only: in each panel (the main one with its menu bar's
// titles) and in each menu no two texts share a mnemonic, or the keyboard cannot reach one.
TEST(UiResources, MnemonicsAreUniqueInEachWindowAndMenu) {
    const UiPanelInfo bar = Read(UiMenuBarResource(kMmiUir, MENUBAR_MAIN));
    for (const auto& r : UiResources()) {
        if (r.kind != UiResourceKind::Panel) continue;
        SCOPED_TRACE(r.name);
        UiNode top;
        ASSERT_TRUE(ReadUiLayout(r.xml, &top));
        std::vector<std::string> texts;
        Mnemonics(top, &texts);
        if (r.xml == UiResource(kMmiUir, PANEL_MAIN)) {
            for (const UiMenuNode& menu : bar.menuTree) texts.push_back(menu.title);
        }
        ExpectUnique(texts);
    }
    for (const UiMenuNode& menu : bar.menuTree) {
        SCOPED_TRACE(menu.title);
        std::vector<std::string> texts;
        for (const UiMenuNode& e : menu.entries) {
            if (e.isMenu) texts.push_back(e.title);
            if (const UiMenuItemInfo* item = e.itemId ? bar.MenuItem(e.itemId) : nullptr)
                texts.push_back(item->text);
        }
        ExpectUnique(texts);
    }
}

TEST(UiResources, MessagePanelsHaveTheirOkButtonAndText) {
    const MessagePanelCase cases[] = {
        {kMmiUir, PANEL_SUCCESS, "_mfl51_80MMIDownloadSuccessOk", false},
        {kMmiUir, PANEL_TIMEOUT, "_mfl51_81MMIButtonTimeOut", false},
        {kUtilityUir, UTIL_GENERIC_ERR, "_mfl54_0GenericErrWindowsButton", true},
        {kUtilityUir, UTIL_FLASH_FILE_ERR, "_mfl54_1FlashFileErrButton", true},
        {kUtilityUir, UTIL_CONF_FILE_ERR, "_mfl54_2ConfFileErrButton", true},
        {kUtilityUir, UTIL_LIB_PC_ERR, "_mfl54_3PcLibrairiesErrButton", true},
        {kUtilityUir, UTIL_BOOT_ERR, "_mfl54_4BootErrorWindowsButton", true},
        {kUtilityUir, UTIL_COMMAND_ERR, "_mfl54_6CommandErrWindowButton", true},
        {kUtilityUir, 2, "_mfl54_5CompatibErrWindowButton", true},
        {kUtilityUir, 4, "_mfl54_7Spm08ErrorWindowsButton", true},
        {kUtilityUir, 9, "_mfl54_8ClearBlocksNotOk", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.number));
        const std::string_view xml = UiResource(c.file, c.number);
        const UiPanelInfo info = Read(xml);
        EXPECT_FALSE(info.closeBox);  // only OK removes it, so the indicators get reset
        EXPECT_EQ(info.callback, "");
        std::vector<std::string> callbacks;
        for (const auto& control : info.controls) {
            if (!control.callback.empty()) callbacks.push_back(control.callback);
        }
        EXPECT_EQ(callbacks, std::vector<std::string>{c.okCallback});
        const UiControlInfo* text = info.Control(UTIL_MESSAGE_TEXT);
        if (c.programText) {
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(text->className, "QLabel");
            EXPECT_EQ(UiLabelText(xml, text->objectName), "");
        } else {
            EXPECT_EQ(text, nullptr);
            EXPECT_GT(UiLabelText(xml, kPanelTextObject).size(), 20u);
        }
    }
    EXPECT_EQ(UiLabelText(UiResource(kMmiUir, PANEL_SUCCESS), kPanelTextObject),
              "The software has been downloaded successfully.");
    const std::string timeout = UiLabelText(UiResource(kMmiUir, PANEL_TIMEOUT), kPanelTextObject);
    for (const char* word : {"cable", "port", "switch the phone off", "Start"}) {
        EXPECT_NE(timeout.find(word), std::string::npos) << word;
    }
}

TEST(UiResources, TurnOnPanelTellsTheOperatorAndOffersCancel) {
    const std::string_view xml = UiResource(kMmiUir, PANEL_TURN_ON);
    const UiPanelInfo info = Read(xml);
    ASSERT_EQ(info.controls.size(), 1u);
    ASSERT_NE(info.Control(TURN_ON_CANCEL), nullptr);
    EXPECT_EQ(info.Control(TURN_ON_CANCEL)->callback, "_mfl51_54MMITurnOnCancel");
    EXPECT_FALSE(info.closeBox);
    EXPECT_NE(UiLabelText(xml, kPanelTextObject).find("Switch the phone on"), std::string::npos);
}

TEST(UiResources, ServicePanelBindsItsCommandsAndLinesUpItsHeader) {
    const std::string_view xml = UiResource(kMmiUir, 4);
    const UiPanelInfo info = Read(xml);
    EXPECT_EQ(info.callback, "_mfl53_16ServicePanelQuit");
    EXPECT_TRUE(info.closeBox);
    const std::pair<int, const char*> expected[] = {{2, "_mfl53_10SwitchOnMobile"},
                                                    {3, "_mfl53_11SwitchOffMobile"},
                                                    {4, ""},
                                                    {5, ""},
                                                    {6, "_mfl53_12ReadFlash"}};
    ASSERT_EQ(info.controls.size(), std::size(expected));
    for (auto [id, callback] : expected) {
        ASSERT_NE(info.Control(id), nullptr) << id;
        EXPECT_EQ(info.Control(id)->callback, callback) << id;
    }
    EXPECT_EQ(info.Control(4)->className, "QListWidget");
    EXPECT_EQ(info.Control(5)->className, "QLabel");

    // The column header has its bars where the known-flash lines have theirs.
    FlashDescription flash{};
    std::strcpy(flash.manufacturerName, "AMD");
    std::strcpy(flash.deviceName, "AM29LV160DB");
    flash.manufacturerId = 0x01;
    flash.deviceId = 0x49;
    flash.bankCount = 1;
    flash.sectorCount = 35;
    char buffer[100];
    const std::string line = FormatKnownFlashLine(flash, buffer);
    const std::string header = UiLabelText(xml, "knownFlashHeader");
    ASSERT_EQ(header.size(), line.size());
    for (std::size_t i = 0; i < header.size(); ++i) {
        EXPECT_EQ(header[i] == '|', line[i] == '|') << i;
    }
}

// The reader itself, on small documents.
TEST(UiXmlReader, DecodesTextAsQtWould) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<!-- c --><ui version='4.0'><widget class=\"QWidget\" name=\"w\">"
        "<widget class=\"QLabel\" name=\"a\"><property name=\"text\"><string>x &lt;&amp;&gt; "
        "&quot;&apos; &#65;&#x42; &#xe9;</string></property></widget>"
        "<widget class=\"QLabel\" name=\"b\"><property name=\"text\"><string><![CDATA[<raw> "
        "]]></string></property></widget>"
        "<widget class=\"QLabel\" name=\"c\"><property name=\"text\"><string/></property>"
        "</widget></widget></ui>";
    EXPECT_EQ(UiLabelText(xml, "a"), "x <&> \"' AB \xc3\xa9");
    EXPECT_EQ(UiLabelText(xml, "b"), "<raw> ");
    EXPECT_EQ(UiLabelText(xml, "c"), "");
    EXPECT_EQ(UiLabelText(xml, "missing"), "");
    std::string text;
    EXPECT_FALSE(UiStringProperty(xml, "a", "toolTip", &text));
    EXPECT_TRUE(UiStringProperty(xml, "a", "text", &text));
}

TEST(UiXmlReader, RefusesBrokenResources) {
    const std::string head = "<ui><widget class=\"QWidget\" name=\"w\">";
    const std::string tail = "</widget></ui>";
    auto control = [](const std::string& id, const std::string& extra = "") {
        return "<widget class=\"QComboBox\" name=\"x" + id +
               "\"><property name=\"ctrlId\" stdset=\"0\"><number>" + id + "</number></property>" +
               extra + "</widget>";
    };
    const std::string item = "<item><property name=\"text\"><string>e</string></property></item>";
    auto menuItem = [](const std::string& checkable) {
        return "<widget class=\"QMenuBar\" name=\"m\"><addaction name=\"a\"/></widget>"
               "<action name=\"a\"><property name=\"itemId\" stdset=\"0\"><number>7</number>"
               "</property><property name=\"checkable\"><bool>" +
               checkable + "</bool></property></action>";
    };
    const std::string values =
        "<property name=\"itemValues\"><stringlist><string>1</string><string>2</string>"
        "</stringlist></property>";
    const struct {
        const char* why;
        std::string xml;
        bool ok;
    } cases[] = {
        {"well formed", head + control("3") + control("4") + tail, true},
        {"values match entries", head + control("3", item + item + values) + tail, true},
        {"no root widget", "<ui></ui>", false},
        {"not a ui file", "<form><widget/></form>", false},
        {"unclosed element", head + control("3") + "</ui>", false},
        {"mismatched end tag", head + "<widget></wodget>" + tail, false},
        {"unknown entity", head + "<widget name=\"&nbsp;\"/>" + tail, false},
        {"bad character reference", head + "<widget name=\"&#xZZ;\"/>" + tail, false},
        {"text after the document", head + tail + "<ui/>", false},
        {"number twice", head + control("3") + control("3") + tail, false},
        {"number not a number", head + control("x3") + tail, false},
        {"number zero", head + control("0") + tail, false},
        {"fewer values than entries", head + control("3", item + values) + tail, false},
        {"shown entry past the end",
         head +
             control("3", item + "<property name=\"currentIndex\"><number>1</number></property>") +
             tail,
         false},
        {"menu names a missing action",
         head + "<widget class=\"QMenuBar\" name=\"m\"><addaction name=\"nothing\"/></widget>" +
             tail,
         false},
        {"checkable item", head + menuItem("true") + tail, true},
        {"checkable not a truth value", head + menuItem("yes") + tail, false},
    };
    for (const auto& c : cases) {
        UiPanelInfo info;
        EXPECT_EQ(ReadUiPanel(c.xml, &info), c.ok) << c.why;
    }
}

// pugixml reads leniently; what Qt's loader refuses is refused here too, and what it
// accepts is read as Qt reads it.
TEST(UiXmlReader, RefusesWhatQtRefusesAndReadsTheRestAlike) {
    auto label = [](const std::string& text, const std::string& around = "",
                    const std::string& inside = "") {
        return around + "<ui><widget class=\"QWidget\" name=\"w\">" + inside +
               "<widget class=\"QLabel\" name=\"a\"><property name=\"text\"><string>" + text +
               "</string></property></widget>" + inside + "</widget></ui>" + around;
    };
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<layout>";
    for (int i = 0; i < 300; ++i) deep += "</layout>";
    const struct {
        const char* why;
        std::string xml;
        const char* text;  // null: refused
    } cases[] = {
        {"highest character", label("&#x10FFFF;"), "\xf4\x8f\xbf\xbf"},
        {"escaped reference", label("&amp;amp;"), "&amp;"},
        {"line ends as XML reads them", label("a\r\nb\rc"), "a\nb\nc"},
        {"blanks around the root", label("x", " \n"), "x"},
        {"blank text", label("  "), "  "},
        {"blanks by reference", label("&#x20;&#9;&#13;&#10;"), " \t\r\n"},
        {"text split by a comment", label("a<!-- c -->b<![CDATA[&c]]>"), "ab&c"},
        {"reference to NUL", label("&#0;"), nullptr},
        {"surrogate", label("&#xD800;"), nullptr},
        {"past the last character", label("&#x110000;"), nullptr},
        {"number too long to hold", label("&#x100000041;"), nullptr},
        {"bare ampersand", label("a & b;"), nullptr},
        {"reference without its end", label("&amp"), nullptr},
        {"'<' in an attribute", label("x", "", "<widget name=\"<\"/>"), nullptr},
        {"text around the root", label("x", "t"), nullptr},
        {"CDATA outside the root", label("x") + "<![CDATA[x]]>", nullptr},
        {"NUL byte", label("x") + std::string(1, '\0'), nullptr},
        {"nested past the limit", label("x", "", deep), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::string text;
        EXPECT_EQ(UiStringProperty(c.xml, "a", "text", &text), c.text != nullptr);
        if (c.text) {
            EXPECT_EQ(text, c.text);
        }
        UiPanelInfo info;
        EXPECT_EQ(ReadUiPanel(c.xml, &info), c.text != nullptr);
    }
}

}  // namespace
}  // namespace vbc::platform
