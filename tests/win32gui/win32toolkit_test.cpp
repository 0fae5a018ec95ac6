// The Win32 backend of the toolkit on real windows: every panel built from its resource and laid
// out whole, values set and read, list lines, dimming, menus, and the operator's clicks reaching
// the callbacks the resources name.
#include "gui/win32/win32toolkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/win32/unicode.h"
#include "toolkit/uiresources.h"
#include "ui/uirids.h"

namespace vbc::platform::win32 {
namespace {

struct Event {
    int handle;  // panel, or menu bar for a menu item
    int number;  // control or menu item; 0 for a panel event
    int event;
    bool operator==(const Event&) const = default;
};

std::vector<Event> g_events;
Win32Toolkit* g_toolkit = nullptr;

int RecordControl(int panel, int control, int event, void*, int, int) {
    g_events.push_back({panel, control, event});
    return 0;
}

int RecordPanel(int panel, int event, void*, int, int) {
    g_events.push_back({panel, 0, event});
    return 0;
}

void RecordMenu(int menuBar, int item, void*, int) {
    g_events.push_back({menuBar, item, EVENT_COMMIT});
}

// As a message panel's OK button does: the panel goes from its own callback.
int DiscardOwnPanel(int panel, int control, int event, void*, int, int) {
    g_events.push_back({panel, control, event});
    if (event == EVENT_COMMIT) g_toolkit->DiscardPanel(panel);
    return 0;
}

std::wstring Text(HWND hwnd) {
    wchar_t buffer[1024] = {};
    ::GetWindowTextW(hwnd, buffer, 1024);
    return buffer;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buffer[64] = {};
    ::GetClassNameW(hwnd, buffer, 64);
    return buffer;
}

// A child's rectangle in its panel's client coordinates.
RECT Placed(HWND child) {
    RECT r;
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool IsGroup(HWND hwnd) {
    return ClassOf(hwnd) == L"Button" &&
           (::GetWindowLongW(hwnd, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
}

// Every control has room, lies inside the client area, and none covers another (a group box
// only frames the ones inside it).
void ExpectLaidOutWhole(HWND panel, const std::string& what) {
    RECT client;
    ::GetClientRect(panel, &client);
    std::vector<HWND> children;
    for (HWND c = ::GetWindow(panel, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    ASSERT_FALSE(children.empty()) << what;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const RECT a = Placed(children[i]);
        const std::string name = what + " child " + std::to_string(i) + " " +
                                 Utf8(ClassOf(children[i])) + " \"" + Utf8(Text(children[i])) +
                                 "\"";
        EXPECT_GT(a.right - a.left, 0) << name;
        EXPECT_GT(a.bottom - a.top, 0) << name;
        EXPECT_TRUE(a.left >= 0 && a.top >= 0 && a.right <= client.right &&
                    a.bottom <= client.bottom)
            << name << " at " << a.left << "," << a.top << "," << a.right << "," << a.bottom
            << " in " << client.right << "x" << client.bottom;
        if (IsGroup(children[i])) continue;
        for (std::size_t j = i + 1; j < children.size(); ++j) {
            if (IsGroup(children[j])) continue;
            const RECT b = Placed(children[j]);
            RECT overlap;
            EXPECT_FALSE(::IntersectRect(&overlap, &a, &b))
                << name << " overlaps " << Utf8(ClassOf(children[j])) << " \""
                << Utf8(Text(children[j])) << "\"";
        }
    }
}

class Win32ToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const CallbackEntry table[] = {
            {"_mfl51_50MMIStart", RecordControl},
            {"_mfl51_53MMIStop", RecordControl},
            {"_mfl51_56MMISelectPort", RecordControl},
            {"_mfl51_61MMIInterfacePanelFunction", nullptr, RecordPanel},
            {"_mfl51_100MMIMenuRestore", nullptr, nullptr, RecordMenu},
            {"_mfl51_170MMIMenuVerify", nullptr, nullptr, RecordMenu},
            {"_mfl54_4BootErrorWindowsButton", DiscardOwnPanel},
        };
        RegisterCallbacks(table, std::size(table));
        g_events.clear();
        g_toolkit = &tk;
        main = tk.LoadPanel(0, kMmiUir, PANEL_MAIN);
        ASSERT_GT(main, 0);
        hwnd = tk.PanelWindow(main);
    }
    void TearDown() override { g_toolkit = nullptr; }

    HWND Control(int id) { return tk.ControlWindow(main, id); }

    int Value(int control) {
        int v = -12345;
        EXPECT_EQ(tk.GetCtrlVal(main, control, &v), 0) << "control " << control;
        return v;
    }

    Win32Toolkit tk;
    int main = 0;
    HWND hwnd = nullptr;
};

TEST_F(Win32ToolkitTest, EveryPanelIsBuiltFromItsResourceAndLaidOutWhole) {
    const std::pair<std::string_view, const wchar_t*> classes[] = {
        {"QPushButton", L"Button"},
        {"QLabel", L"Static"},
        {"QLineEdit", L"Edit"},
        {"QSpinBox", L"Edit"},
        {"QComboBox", L"ComboBox"},
        {"QListWidget", L"ListBox"},
        {"QProgressBar", L"msctls_progress32"},
        {"VbcLed", kLedWindowClass},
        {"QGroupBox", L"Button"}};
    for (const UiResourceInfo& r : UiResources()) {
        if (r.kind != UiResourceKind::Panel) continue;
        SCOPED_TRACE(r.name);
        UiPanelInfo info;
        ASSERT_TRUE(ReadUiPanel(r.xml, &info));
        const int panel = tk.LoadPanel(0, r.file, r.number);
        ASSERT_GT(panel, 0);
        EXPECT_EQ(Text(tk.PanelWindow(panel)), Utf16(info.title));
        for (const UiControlInfo& c : info.controls) {
            HWND w = tk.ControlWindow(panel, c.id);
            ASSERT_NE(w, nullptr) << "control " << c.id;
            EXPECT_EQ(::GetDlgCtrlID(w), kControlIdBase + c.id);
            for (const auto& [qt, win] : classes) {
                if (qt == c.className) {
                    EXPECT_EQ(ClassOf(w), win) << "control " << c.id;
                }
            }
        }
        ExpectLaidOutWhole(tk.PanelWindow(panel), r.name);
        EXPECT_EQ(tk.DiscardPanel(panel), 0);
        EXPECT_EQ(tk.PanelWindow(panel), nullptr);
    }
    EXPECT_EQ(tk.LoadPanel(0, kMmiUir, 42), kUiErrNoResource);
    EXPECT_EQ(tk.LoadPanel(999999, kMmiUir, PANEL_SUCCESS), kUiErrBadHandle);
}

TEST_F(Win32ToolkitTest, MainPanelShowsTheTextsAndEntriesOfItsResource) {
    EXPECT_EQ(Text(hwnd), L"vbcflash - VBC4410 software download");
    EXPECT_EQ(Text(Control(MAIN_START)), L"&Start");
    EXPECT_EQ(Text(Control(MAIN_STOP)), L"St&op");
    EXPECT_EQ(Text(Control(MAIN_CPU_LED)), L"CPU");
    EXPECT_EQ(Text(tk.NamedWindow(main, "fileGroup")), L"Software file");
    EXPECT_EQ(Text(tk.NamedWindow(main, "portLabel")), L"&Port:");
    EXPECT_EQ(Text(Control(MAIN_FILE_SIZE)), L"0 bytes");
    HWND port = Control(MAIN_PORT);
    ASSERT_EQ(::SendMessageW(port, CB_GETCOUNT, 0, 0), 8);
    for (int i = 0; i < 8; ++i) {
        wchar_t entry[16] = {};
        ::SendMessageW(port, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
        EXPECT_EQ(std::wstring(entry), L"COM" + std::to_wstring(i + 1));
        EXPECT_EQ(::SendMessageW(port, CB_GETITEMDATA, i, 0), i + 1);
    }
    EXPECT_EQ(Value(MAIN_PORT), 1);
    EXPECT_EQ(Value(MAIN_PRODUCT_TYPE), 2);
    EXPECT_EQ(Value(MAIN_DOWNLOAD_CONFIG), 0);
    // Stop is dimmed until a job runs; Start is the default button (Enter).
    EXPECT_FALSE(::IsWindowEnabled(Control(MAIN_STOP)));
    EXPECT_EQ(LOWORD(::SendMessageW(hwnd, DM_GETDEFID, 0, 0)), kControlIdBase + MAIN_START);
}

TEST_F(Win32ToolkitTest, ValuesAreSetAndReadAsTheControlShowsThem) {
    struct Case {
        int control;
        int set;
        int rc;
        int read;
        const wchar_t* shown;  // nullptr: not a text
    };
    const Case cases[] = {
        {MAIN_PORT, 3, 0, 3, L"COM3"},
        {MAIN_PORT, 9, kUiErrOutOfRange, 3, L"COM3"},  // no such entry: unchanged
        {MAIN_PRODUCT_TYPE, 1, 0, 1, L"Type 1 (bootstrap mfl104_4.spm)"},
        {MAIN_PROGRESS_B, 150, 0, 100, nullptr},  // the nearest value in range
        {MAIN_PROGRESS_B, -5, 0, 0, nullptr},
        {MAIN_PROGRESS_B, 37, 0, 37, nullptr},
        {MAIN_PROGRESS_A, 42, 0, 42, L"42 %"},
        {MAIN_PROGRESS_A, 101, 0, 100, L"100 %"},
        {MAIN_FILE_SIZE, 131072, 0, 131072, L"131072 bytes"},
        {MAIN_CPU_LED, 1, 0, 1, L"CPU"},
        {MAIN_CPU_LED, 0, 0, 0, L"CPU"},
        {MAIN_STATUS_TEXT, 17, 0, 17, L"17"},
        {MAIN_START, 1, kUiErrNotSupported, 0, L"&Start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("control " + std::to_string(c.control) + " set " + std::to_string(c.set));
        EXPECT_EQ(tk.SetCtrlVal(main, c.control, c.set), c.rc);
        EXPECT_EQ(Value(c.control), c.read);
        if (c.shown) {
            EXPECT_EQ(Text(Control(c.control)), c.shown);
        }
    }
    int v = 0;
    EXPECT_EQ(tk.SetCtrlVal(main, 99, 1), kUiErrBadHandle);
    EXPECT_EQ(tk.GetCtrlVal(main, 99, &v), kUiErrBadHandle);
    EXPECT_EQ(tk.GetCtrlVal(main + 1000, MAIN_PORT, &v), kUiErrBadHandle);
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_FILE_NAME, &v), kUiErrNotSupported);  // empty, no number
}

TEST_F(Win32ToolkitTest, TextsGoToWindowsAsUtf16AndComeBackAsUtf8) {
    const std::string path =
        "C:\\Users\\J\xC3\xBCrgen\\T\xC3\xA9l\xC3\xA9\x63hargements\\soft \xE2\x82\xAC.cla";
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_FILE_NAME, path), 0);
    EXPECT_EQ(Text(Control(MAIN_FILE_NAME)),
              L"C:\\Users\\J\u00fcrgen\\T\u00e9l\u00e9\u0063hargements\\soft \u20ac.cla");
    EXPECT_EQ(Utf8(Text(Control(MAIN_FILE_NAME))), path);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_FLASH_LED, ATTR_LABEL_TEXT, " Flash AMD Am29LV160"),
              0);
    EXPECT_EQ(Text(Control(MAIN_FLASH_LED)), L" Flash AMD Am29LV160");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, "Elapsed 0 mn 42 s"),
              0);
    EXPECT_EQ(Text(Control(MAIN_STATUS_TEXT)), L"Elapsed 0 mn 42 s");
    // A selector's entry by its text; a label renamed through the control it names.
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_PORT, "COM5"), 0);
    EXPECT_EQ(Value(MAIN_PORT), 5);
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_PORT, "COM9"), kUiErrOutOfRange);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_PORT, ATTR_LABEL_TEXT, "P&ort:"), 0);
    EXPECT_EQ(Text(tk.NamedWindow(main, "portLabel")), L"P&ort:");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_COMMENT_LIST, ATTR_LABEL_TEXT, "x"),
              kUiErrNotSupported);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_PORT, ATTR_STATUS_TEXT, "x"), kUiErrNotSupported);
    // Malformed UTF-8 shows as U+FFFD, not as a cut or empty text.
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_FILE_NAME,
                            std::string("a\xFF"
                                        "b")),
              0);
    EXPECT_EQ(Text(Control(MAIN_FILE_NAME)), L"a\ufffdb");
}

// The job's figures change many times a second: a text that needs the room the label has
// repaints the label alone; one that needs more lays the panel out again.
TEST_F(Win32ToolkitTest, ALabelsNewTextMovesControlsOnlyWhenItNeedsAnotherRoom) {
    tk.DisplayPanel(main);
    const auto changesPanel = [&](const std::string& text) {
        ::UpdateWindow(hwnd);
        EXPECT_EQ(tk.SetCtrlVal(main, MAIN_TRANSFER_TEXT, text), 0);
        return ::GetUpdateRect(hwnd, nullptr, FALSE) != FALSE;
    };
    changesPanel("10000/20000 bytes");
    EXPECT_FALSE(changesPanel("20000/10000 bytes"));
    EXPECT_EQ(Text(Control(MAIN_TRANSFER_TEXT)), L"20000/10000 bytes");
    EXPECT_TRUE(changesPanel(std::string(300, 'W')));
}

TEST_F(Win32ToolkitTest, CommentLinesAreInsertedWhereAsked) {
    struct Step {
        int index;
        const char* line;
        int value;
        int rc;
    };
    const Step steps[] = {{-1, " one ", 10, 0},
                          {-1, " two ", 20, 0},
                          {0, " zero ", 30, 0},
                          {3, " three ", 40, 0},
                          {5, " five ", 50, kUiErrOutOfRange},
                          {-2, " x ", 0, kUiErrOutOfRange}};
    for (const Step& s : steps) {
        EXPECT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, s.index, s.line, s.value), s.rc)
            << s.line;
    }
    HWND list = Control(MAIN_COMMENT_LIST);
    const wchar_t* expected[] = {L" zero ", L" one ", L" two ", L" three "};
    ASSERT_EQ(::SendMessageW(list, LB_GETCOUNT, 0, 0), 4);
    for (int i = 0; i < 4; ++i) {
        wchar_t line[64] = {};
        ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        EXPECT_EQ(std::wstring(line), expected[i]);
    }
    int v = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_COMMENT_LIST, &v), kUiErrOutOfRange);  // nothing selected
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, 2), 0);
    EXPECT_EQ(Value(MAIN_COMMENT_LIST), 20);
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, 4), kUiErrOutOfRange);
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_COMMENT_LIST, 40), 0);
    EXPECT_EQ(::SendMessageW(list, LB_GETCURSEL, 0, 0), 3);
    // A line wider than the list can be scrolled to.
    EXPECT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, -1, std::string(400, 'W'), 0), 0);
    RECT r;
    ::GetClientRect(list, &r);
    EXPECT_GT(::SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), r.right);
    // Text boxes take lines too.
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_STATUS_TEXT, -1, "b"), 0);
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_STATUS_TEXT, 0, "a"), 0);
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_STATUS_TEXT, 3, "x"), kUiErrOutOfRange);
    EXPECT_EQ(Text(Control(MAIN_STATUS_TEXT)), L"a\nb");
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_COMMENT_LIST, 0, "x"), kUiErrNotSupported);
}

TEST_F(Win32ToolkitTest, DimmingReachesTheControlAndTheLabelThatNamesIt) {
    HWND label = tk.NamedWindow(main, "portLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_PORT, ATTR_DIMMED, 1), 0);
    EXPECT_FALSE(::IsWindowEnabled(Control(MAIN_PORT)));
    EXPECT_FALSE(::IsWindowEnabled(label));
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_PORT, ATTR_DIMMED, 0), 0);
    EXPECT_TRUE(::IsWindowEnabled(Control(MAIN_PORT)));
    EXPECT_TRUE(::IsWindowEnabled(label));
    // A dimmed default button is not pressed by Enter.
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_START, ATTR_DIMMED, 1), 0);
    EXPECT_EQ(::SendMessageW(hwnd, DM_GETDEFID, 0, 0), 0);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_START, 12345, 1), kUiErrNotSupported);
}

// Alt+mnemonics as the system delivers them to the window that has the focus: a label's moves
// the focus to the control it names, a button's presses it; a dimmed control hands the focus on.
TEST_F(Win32ToolkitTest, MnemonicsAndDimmingMoveTheFocusAsTheKeyboardExpects) {
    tk.DisplayPanel(main);
    ::SetForegroundWindow(hwnd);
    const auto alt = [&](wchar_t key) {
        HWND to = ::GetFocus();
        ::PostMessageW(to ? to : hwnd, WM_SYSCHAR, key, 1 << 29);
        tk.ProcessSystemEvents();
    };
    alt(L'p');
    EXPECT_EQ(::GetFocus(), Control(MAIN_PORT));
    alt(L'y');
    EXPECT_EQ(::GetFocus(), Control(MAIN_PRODUCT_TYPE));
    tk.SetCtrlAttribute(main, MAIN_PRODUCT_TYPE, ATTR_DIMMED, 1);
    EXPECT_NE(::GetFocus(), nullptr);
    EXPECT_NE(::GetFocus(), Control(MAIN_PRODUCT_TYPE));
    tk.SetCtrlAttribute(main, MAIN_STOP, ATTR_DIMMED, 0);
    alt(L'o');
    EXPECT_EQ(g_events, (std::vector<Event>{{main, MAIN_STOP, EVENT_COMMIT}}));
}

TEST_F(Win32ToolkitTest, TheOperatorsActionsReachTheCallbacksAndTheProgramsDoNot) {
    // A click on Start; a port chosen in the list.
    ::SendMessageW(Control(MAIN_START), BM_CLICK, 0, 0);
    HWND port = Control(MAIN_PORT);
    ::SendMessageW(port, CB_SETCURSEL, 2, 0);
    ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kControlIdBase + MAIN_PORT, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(port));
    // The program's own changes are not the operator's.
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_PORT, 4), 0);
    // The close box and Escape ask the panel's callback; the window stays.
    ::SendMessageW(hwnd, WM_CLOSE, 0, 0);
    ::SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    const std::vector<Event> expected = {{main, MAIN_START, EVENT_COMMIT},
                                         {main, MAIN_PORT, EVENT_VAL_CHANGED},
                                         {main, 0, EVENT_CLOSE},
                                         {main, 0, EVENT_CLOSE}};
    EXPECT_EQ(g_events, expected);
    EXPECT_TRUE(::IsWindow(hwnd));
    // A dimmed button takes no click.
    g_events.clear();
    tk.SetCtrlAttribute(main, MAIN_START, ATTR_DIMMED, 1);
    ::SendMessageW(Control(MAIN_START), BM_CLICK, 0, 0);
    EXPECT_TRUE(g_events.empty());
}

TEST_F(Win32ToolkitTest, AMessagePanelGoesFromItsOwnButtonAndHasNoCloseBox) {
    const int panel = tk.LoadPanel(0, kUtilityUir, UTIL_BOOT_ERR);
    ASSERT_GT(panel, 0);
    HWND window = tk.PanelWindow(panel);
    EXPECT_EQ(::GetWindow(window, GW_OWNER), hwnd);  // in front of the main panel
    EXPECT_EQ(tk.DisplayPanel(panel), 0);
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    ::SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(g_events.empty());
    // A long message: the panel grows to show it whole.
    std::string message = "BOOT : ";
    for (int i = 0; i < 40; ++i) message += "the phone did not answer the boot ";
    EXPECT_EQ(tk.SetCtrlVal(panel, UTIL_MESSAGE_TEXT, message), 0);
    ExpectLaidOutWhole(window, "boot error panel");
    RECT text = Placed(tk.ControlWindow(panel, UTIL_MESSAGE_TEXT));
    EXPECT_GT(text.bottom - text.top, 3 * 13);
    ::SendMessageW(tk.ControlWindow(panel, 2), BM_CLICK, 0, 0);
    EXPECT_EQ((std::vector<Event>{{panel, 2, EVENT_COMMIT}}), g_events);
    EXPECT_EQ(tk.PanelWindow(panel), nullptr);
    EXPECT_EQ(tk.DiscardPanel(panel), kUiErrBadHandle);
    tk.ProcessSystemEvents();
    EXPECT_FALSE(::IsWindow(window));
}

TEST_F(Win32ToolkitTest, MenusCarryTheirItemsChecksAndDimming) {
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(bar, 0);
    EXPECT_EQ(tk.PanelMenuBar(main), bar);
    HMENU menu = tk.MenuBarMenu(bar);
    ASSERT_EQ(::GetMenu(hwnd), menu);
    const wchar_t* titles[] = {L"&File", L"&Wait states", L"&Line speed", L"&Tools"};
    ASSERT_EQ(::GetMenuItemCount(menu), 4);
    for (int i = 0; i < 4; ++i) {
        wchar_t t[64] = {};
        ::GetMenuStringW(menu, static_cast<UINT>(i), t, 64, MF_BYPOSITION);
        EXPECT_EQ(std::wstring(t), titles[i]);
    }
    wchar_t restore[64] = {};
    ::GetMenuStringW(menu, kMenuIdBase + 100, restore, 64, MF_BYCOMMAND);
    EXPECT_EQ(std::wstring(restore), L"&Restore configuration\tCtrl+R");
    // File: Restore, Save, separator, Save log, separator, Quit.
    EXPECT_EQ(::GetMenuItemCount(::GetSubMenu(menu, 0)), 6);
    EXPECT_EQ(::GetMenuItemCount(::GetSubMenu(::GetSubMenu(menu, 1), 0)), 5);  // chip select 0

    struct Case {
        int item;
        int attribute;
        int value;
        int rc;
        UINT state;  // MF_CHECKED / MF_GRAYED bits expected after
    };
    const Case cases[] = {
        {170, ATTR_CHECKED, 1, 0, MF_CHECKED},
        {170, ATTR_DIMMED, 1, 0, MF_CHECKED | MF_GRAYED},
        {170, ATTR_CHECKED, 0, 0, MF_GRAYED},
        {170, ATTR_DIMMED, 0, 0, 0},
        {100, ATTR_CHECKED, 1, kUiErrNotSupported, 0},  // not a checkable item
        {999, ATTR_DIMMED, 1, kUiErrBadHandle, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("item " + std::to_string(c.item) + " attribute " +
                     std::to_string(c.attribute));
        EXPECT_EQ(tk.SetMenuBarAttribute(bar, c.item, c.attribute, c.value), c.rc);
        if (c.rc != 0) continue;
        const UINT state =
            ::GetMenuState(menu, static_cast<UINT>(kMenuIdBase + c.item), MF_BYCOMMAND);
        EXPECT_EQ(state & (MF_CHECKED | MF_GRAYED), c.state);
        int v = -1;
        EXPECT_EQ(tk.GetMenuBarAttribute(bar, c.item, c.attribute, &v), 0);
        EXPECT_EQ(v, c.value);
    }

    // The operator's choice: a checkable item changes its check, then the callback runs.
    auto choose = [&](int item) {
        ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kMenuIdBase + item, 0), 0);
    };
    choose(170);
    choose(100);
    EXPECT_EQ(g_events, (std::vector<Event>{{bar, 170, EVENT_COMMIT}, {bar, 100, EVENT_COMMIT}}));
    int checked = 0;
    tk.GetMenuBarAttribute(bar, 170, ATTR_CHECKED, &checked);
    EXPECT_EQ(checked, 1);
    // Nothing is delivered while the item or the whole bar is dimmed; undimming the bar gives
    // back each item's own state.
    g_events.clear();
    tk.SetMenuBarAttribute(bar, 100, ATTR_DIMMED, 1);
    choose(100);
    tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 1);
    choose(170);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(::GetMenuState(menu, 0, MF_BYPOSITION) & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
    tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 0);
    EXPECT_EQ(::GetMenuState(menu, 0, MF_BYPOSITION) & MF_GRAYED, 0u);
    EXPECT_EQ(::GetMenuState(menu, kMenuIdBase + 100, MF_BYCOMMAND) & MF_GRAYED,
              static_cast<UINT>(MF_GRAYED));
    int dimmed = -1;
    EXPECT_EQ(tk.GetMenuBarAttribute(bar, 0, ATTR_DIMMED, &dimmed), 0);
    EXPECT_EQ(dimmed, 0);

    // The lock takes the bar away and the unlock brings a new one: the window keeps its size.
    RECT before;
    ::GetWindowRect(hwnd, &before);
    EXPECT_EQ(tk.DiscardMenuBar(bar), 0);
    EXPECT_EQ(::GetMenu(hwnd), nullptr);
    EXPECT_EQ(tk.PanelMenuBar(main), 0);
    EXPECT_EQ(tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 1), kUiErrBadHandle);
    const int again = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(again, 0);
    EXPECT_NE(again, bar);
    RECT after;
    ::GetWindowRect(hwnd, &after);
    EXPECT_EQ(after.right - after.left, before.right - before.left);
    EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
}

TEST_F(Win32ToolkitTest, AWiderWindowGivesTheRoomToTheCommentList) {
    RECT list = Placed(Control(MAIN_COMMENT_LIST));
    RECT port = Placed(Control(MAIN_PORT));
    RECT window;
    ::GetWindowRect(hwnd, &window);
    ::SetWindowPos(hwnd, nullptr, 0, 0, window.right - window.left + 200,
                   window.bottom - window.top + 100, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT wider = Placed(Control(MAIN_COMMENT_LIST));
    EXPECT_EQ(wider.right - wider.left, list.right - list.left + 200);
    EXPECT_EQ(wider.bottom - wider.top, list.bottom - list.top + 100);
    RECT samePort = Placed(Control(MAIN_PORT));
    EXPECT_EQ(samePort.right - samePort.left, port.right - port.left);
    ExpectLaidOutWhole(hwnd, "main panel, wider");
    // Never smaller than what the panel needs.
    ::SetWindowPos(hwnd, nullptr, 0, 0, 50, 50, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ExpectLaidOutWhole(hwnd, "main panel, asked to be tiny");
}

TEST_F(Win32ToolkitTest, QuitEndsTheLoopItWasAskedIn) {
    EXPECT_EQ(tk.QuitUserInterface(7), 0);  // before the loop: it returns at once
    EXPECT_EQ(tk.RunUserInterface(), 7);
    ::SetTimer(hwnd, 1, 1, [](HWND w, UINT, UINT_PTR id, DWORD) {
        ::KillTimer(w, id);
        g_toolkit->QuitUserInterface(3);
    });
    EXPECT_EQ(tk.RunUserInterface(), 3);
}

}  // namespace
}  // namespace vbc::platform::win32
