// The Qt backend of the toolkit on real widgets (offscreen): panels built from the embedded
// resources, callbacks bound by name and fired by the operator's clicks, keys and menus,
// values and attributes as the program sets them, and Qt's dialogs as the popups.
#include "gui/qt/qttoolkit.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "gui/qt/qtled.h"
#include "tests/gui/modal.h"
#include "tests/testutil.h"
#include "tests/waitstateitems.h"
#include "toolkit/uiresources.h"
#include "ui/uirids.h"

namespace vbc::platform {
namespace {

// What reached the program: one record per callback call, with the name it was bound by.
struct Fired {
    std::string name;
    int panel = 0;
    int control = 0;  // control callbacks; the item for menu callbacks
    int event = 0;
    int menuBar = 0;
    void* data = nullptr;
};
std::vector<Fired> gFired;
std::function<void(const Fired&)> gReaction;  // what the program does in the callback

void Record(Fired f) {
    gFired.push_back(f);
    if (gReaction) gReaction(f);
}

template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
};

template <Name N>
int Control(int panel, int control, int event, void* data, int, int) {
    Record({N.text, panel, control, event, 0, data});
    return 0;
}
template <Name N>
int Panel(int panel, int event, void* data, int, int) {
    Record({N.text, panel, 0, event, 0, data});
    return 0;
}
template <Name N>
void Menu(int menuBar, int item, void* data, int panel) {
    Record({N.text, panel, item, 0, menuBar, data});
}

#define CTRL(n) \
    { #n, &Control < #n>, nullptr, nullptr }
#define PANEL(n) \
    { #n, nullptr, &Panel < #n>, nullptr }
#define MENU(n) \
    { #n, nullptr, nullptr, &Menu < #n> }
// The items of chip select M are numbered 1(M+1)N, so the macro takes both digits.
#define WAIT_STATES(d, m)                                                                         \
    MENU(_mfl51_1##d##0MMIMenuCS##m##_0WaitState), MENU(_mfl51_1##d##1MMIMenuCS##m##_1WaitState), \
        MENU(_mfl51_1##d##2MMIMenuCS##m##_2WaitState),                                            \
        MENU(_mfl51_1##d##3MMIMenuCS##m##_3WaitState),                                            \
        MENU(_mfl51_1##d##4MMIMenuCS##m##_4WaitState)

const CallbackEntry kCallbacks[] = {
    CTRL(_mfl51_50MMIStart),
    CTRL(_mfl51_51MMIQuit),
    CTRL(_mfl51_52MMILoadFile),
    CTRL(_mfl51_56MMISelectPort),
    CTRL(_mfl51_59MMISelectProjectType),
    CTRL(_mfl51_60MMIDownloadConfiguration),
    PANEL(_mfl51_61MMIInterfacePanelFunction),
    CTRL(_mfl51_80MMIDownloadSuccessOk),
    CTRL(_mfl51_81MMIButtonTimeOut),
    CTRL(_mfl54_0GenericErrWindowsButton),
    CTRL(_mfl54_1FlashFileErrButton),
    CTRL(_mfl54_2ConfFileErrButton),
    CTRL(_mfl54_3PcLibrairiesErrButton),
    CTRL(_mfl54_4BootErrorWindowsButton),
    CTRL(_mfl54_5CompatibErrWindowButton),
    CTRL(_mfl54_6CommandErrWindowButton),
    CTRL(_mfl54_7Spm08ErrorWindowsButton),
    CTRL(_mfl54_8ClearBlocksNotOk),
    CTRL(_mfl53_10SwitchOnMobile),
    CTRL(_mfl53_11SwitchOffMobile),
    PANEL(_mfl53_16ServicePanelQuit),
    MENU(_mfl51_100MMIMenuRestore),
    MENU(_mfl51_101MMIMenuSave),
    MENU(_mfl51_102MMIMenuQuit),
    MENU(_mfl52_20MMIMenuSaveLog),
    WAIT_STATES(1, 0),
    WAIT_STATES(2, 1),
    WAIT_STATES(3, 2),
    WAIT_STATES(4, 3),
    MENU(_mfl51_150MMIMenuService),
    MENU(_mfl51_160MMIMenuLineSpeed),
};

constexpr int kServicePanel = 4;

class QtToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterCallbacks(kCallbacks, std::size(kCallbacks));
        gFired.clear();
        gReaction = nullptr;
    }
    void TearDown() override {
        gReaction = nullptr;
        gFired.clear();
    }

    int LoadMain() {
        int panel = tk.LoadPanel(0, kMmiUir, PANEL_MAIN);
        EXPECT_GT(panel, 0);
        return panel;
    }
    int ShowMain() {
        int panel = LoadMain();
        EXPECT_EQ(tk.DisplayPanel(panel), 0);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(tk.PanelWidget(panel)));
        return panel;
    }
    template <class T>
    T* Widget(int panel, int control) {
        QWidget* w = tk.ControlWidget(panel, control);
        EXPECT_NE(w, nullptr) << "control " << control;
        T* t = qobject_cast<T*>(w);
        EXPECT_NE(t, nullptr) << "control " << control << " is "
                              << (w ? w->metaObject()->className() : "missing");
        return t;
    }
    static void FlushDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QtToolkit tk;
};

TEST_F(QtToolkitTest, EveryResourceLoadsHiddenWithEveryNumberedControl) {
    for (const auto& r : UiResources()) {
        if (r.kind != UiResourceKind::Panel) continue;
        SCOPED_TRACE(r.name);
        UiPanelInfo info;
        ASSERT_TRUE(ReadUiPanel(r.xml, &info));
        const int panel = tk.LoadPanel(0, r.file, r.number);
        ASSERT_GT(panel, 0);
        QWidget* window = tk.PanelWidget(panel);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isWindow());
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(window->windowTitle().toStdString(), info.title);
        for (const auto& c : info.controls) {
            QWidget* w = tk.ControlWidget(panel, c.id);
            ASSERT_NE(w, nullptr) << c.id;
            const std::string cls = w->metaObject()->className();
            EXPECT_EQ(cls, c.className == kLedClass ? "vbc::platform::QtLed" : c.className);
        }
        EXPECT_EQ(tk.DisplayPanel(panel), 0);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(tk.DiscardPanel(panel), 0);
        EXPECT_EQ(tk.PanelWidget(panel), nullptr);
    }
}

TEST_F(QtToolkitTest, MainPanelControlsHaveTheirKinds) {
    const int main = LoadMain();
    Widget<QPushButton>(main, MAIN_LOAD_FILE);
    Widget<QPushButton>(main, MAIN_QUIT);
    Widget<QComboBox>(main, MAIN_DOWNLOAD_CONFIG);
    QPushButton* start = Widget<QPushButton>(main, MAIN_START);
    ASSERT_NE(start, nullptr);
    EXPECT_TRUE(start->isDefault());
    Widget<QLineEdit>(main, MAIN_FILE_NAME);
    Widget<QSpinBox>(main, MAIN_FILE_SIZE);
    Widget<QListWidget>(main, MAIN_COMMENT_LIST);
    Widget<QProgressBar>(main, MAIN_PROGRESS_B);
    Widget<QSpinBox>(main, MAIN_PROGRESS_A);
    Widget<QLabel>(main, MAIN_STATUS_TEXT);
    QtLed* flash = Widget<QtLed>(main, MAIN_FLASH_LED);
    QtLed* cpu = Widget<QtLed>(main, MAIN_CPU_LED);
    ASSERT_TRUE(flash && cpu);
    EXPECT_FALSE(flash->IsLit());
    EXPECT_EQ(cpu->Label(), "CPU");
    // Selectors start on the values the download context starts with.
    int value = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PORT, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PRODUCT_TYPE, &value), 0);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_DOWNLOAD_CONFIG, &value), 0);
    EXPECT_EQ(value, 0);
}

TEST_F(QtToolkitTest, BadHandlesAndMissingResourcesAreRefused) {
    EXPECT_EQ(tk.LoadPanel(0, kMmiUir, 42), kUiErrNoResource);
    EXPECT_EQ(tk.LoadPanel(0, "nothing.uir", PANEL_MAIN), kUiErrNoResource);
    EXPECT_EQ(tk.LoadPanel(77, kMmiUir, PANEL_MAIN), kUiErrBadHandle);
    const int main = LoadMain();
    EXPECT_EQ(tk.LoadMenuBar(main, kMmiUir, 2), kUiErrNoResource);
    EXPECT_EQ(tk.LoadMenuBar(main + 100, kMmiUir, MENUBAR_MAIN), kUiErrBadHandle);
    EXPECT_EQ(tk.DisplayPanel(main + 100), kUiErrBadHandle);
    EXPECT_EQ(tk.SetCtrlVal(main, 99, 1), kUiErrBadHandle);
    EXPECT_EQ(tk.DiscardMenuBar(12345), kUiErrBadHandle);
    EXPECT_EQ(tk.DiscardPanel(main), 0);
    EXPECT_EQ(tk.DiscardPanel(main), kUiErrBadHandle);
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_START, 1), kUiErrBadHandle);
    int value = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PORT, &value), kUiErrBadHandle);
}

TEST_F(QtToolkitTest, ButtonsCommitToTheCallbackTheResourceNames) {
    const int main = ShowMain();
    const struct {
        int control;
        const char* callback;
    } buttons[] = {{MAIN_START, "_mfl51_50MMIStart"},
                   {MAIN_QUIT, "_mfl51_51MMIQuit"},
                   {MAIN_LOAD_FILE, "_mfl51_52MMILoadFile"}};
    for (const auto& b : buttons) {
        gFired.clear();
        QTest::mouseClick(tk.ControlWidget(main, b.control), Qt::LeftButton);
        ASSERT_EQ(gFired.size(), 1u) << b.callback;
        EXPECT_EQ(gFired[0].name, b.callback);
        EXPECT_EQ(gFired[0].panel, main);
        EXPECT_EQ(gFired[0].control, b.control);
        EXPECT_EQ(gFired[0].event, EVENT_COMMIT);
        EXPECT_EQ(gFired[0].data, nullptr);
    }
}

TEST_F(QtToolkitTest, SelectorsReportAChangeByTheOperatorOnly) {
    const int main = ShowMain();
    auto* port = Widget<QComboBox>(main, MAIN_PORT);
    auto* product = Widget<QComboBox>(main, MAIN_PRODUCT_TYPE);
    ASSERT_TRUE(port && product);

    // The program setting a value is not the operator choosing it.
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_PORT, 4), 0);
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_PRODUCT_TYPE, 0), 0);
    EXPECT_TRUE(gFired.empty());

    port->setFocus();
    QTest::keyClick(port, Qt::Key_Down);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_56MMISelectPort");
    EXPECT_EQ(gFired[0].panel, main);
    EXPECT_EQ(gFired[0].control, MAIN_PORT);
    EXPECT_EQ(gFired[0].event, EVENT_VAL_CHANGED);
    int value = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PORT, &value), 0);
    EXPECT_EQ(value, 5);

    product->setFocus();
    QTest::keyClick(product, Qt::Key_Down);
    ASSERT_EQ(gFired.size(), 2u);
    EXPECT_EQ(gFired[1].name, "_mfl51_59MMISelectProjectType");
    EXPECT_EQ(gFired[1].control, MAIN_PRODUCT_TYPE);
    EXPECT_EQ(gFired[1].event, EVENT_VAL_CHANGED);
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PRODUCT_TYPE, &value), 0);
    EXPECT_EQ(value, 2);

    // Past the last entry nothing changes, so nothing is reported.
    QTest::keyClick(product, Qt::Key_Down);
    EXPECT_EQ(gFired.size(), 2u);
}

TEST_F(QtToolkitTest, AWheelOverAnUnfocusedSelectorChangesNothing) {
    const int main = ShowMain();
    auto* port = Widget<QComboBox>(main, MAIN_PORT);
    ASSERT_NE(port, nullptr);
    tk.ControlWidget(main, MAIN_COMMENT_LIST)->setFocus();
    const QPointF at = QRectF(port->rect()).center();
    QWheelEvent wheel(at, port->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(port, &wheel);
    int value = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_PORT, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(gFired.empty());
}

TEST_F(QtToolkitTest, EveryMenuItemCallsItsCallbackWithBarItemAndPanel) {
    const int main = ShowMain();
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(bar, 0);
    std::vector<std::pair<int, std::string>> items = {{100, "_mfl51_100MMIMenuRestore"},
                                                      {101, "_mfl51_101MMIMenuSave"},
                                                      {102, "_mfl51_102MMIMenuQuit"},
                                                      {103, "_mfl52_20MMIMenuSaveLog"},
                                                      {150, "_mfl51_150MMIMenuService"}};
    for (const auto& item : test::kWaitStateItems) items.emplace_back(item.id, item.callback);
    for (int row = 0; row <= 8; ++row) items.emplace_back(160 + row, "_mfl51_160MMIMenuLineSpeed");
    for (const auto& [id, name] : items) {
        gFired.clear();
        QAction* action = tk.MenuItemAction(bar, id);
        ASSERT_NE(action, nullptr) << id;
        action->trigger();
        ASSERT_EQ(gFired.size(), 1u) << name;
        EXPECT_EQ(gFired[0].name, name);
        EXPECT_EQ(gFired[0].menuBar, bar);
        EXPECT_EQ(gFired[0].control, id);
        EXPECT_EQ(gFired[0].panel, main);
        EXPECT_EQ(gFired[0].data, nullptr);
    }
}

TEST_F(QtToolkitTest, MenuShortcutsReachTheCallbacks) {
    const int main = ShowMain();
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(bar, 0);
    QWidget* window = tk.PanelWidget(main);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_101MMIMenuSave");

    // With its menu bar dimmed (a job running), and without one, the shortcut does nothing.
    gFired.clear();
    ASSERT_EQ(tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 1), 0);
    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(gFired.empty());
    ASSERT_EQ(tk.DiscardMenuBar(bar), 0);
    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    FlushDeletes();
    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(gFired.empty());
}

// Dimming the bar or one item stops its items, undimming the bar gives each item back its
// own state; checks go to checkable items only.
TEST_F(QtToolkitTest, MenuBarAttributesDimAndCheckItems) {
    const int main = ShowMain();
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(bar, 0);
    auto fires = [&](int item) {
        gFired.clear();
        tk.MenuItemAction(bar, item)->trigger();
        return gFired.size();
    };
    auto get = [&](int item, int attribute) {
        int value = -1;
        EXPECT_EQ(tk.GetMenuBarAttribute(bar, item, attribute, &value), 0);
        return value;
    };
    EXPECT_EQ(tk.SetMenuBarAttribute(bar, 101, ATTR_DIMMED, 1), 0);
    EXPECT_EQ(tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 1), 0);
    EXPECT_FALSE(tk.MenuBarWidget(bar)->isEnabled());
    for (int item : {100, 101, 132}) EXPECT_EQ(fires(item), 0u) << item;
    EXPECT_EQ(get(0, ATTR_DIMMED), 1);
    EXPECT_EQ(tk.SetMenuBarAttribute(bar, 0, ATTR_DIMMED, 0), 0);
    EXPECT_TRUE(tk.MenuBarWidget(bar)->isEnabled());
    EXPECT_EQ(fires(100), 1u);
    EXPECT_EQ(fires(101), 0u);  // still dimmed on its own
    EXPECT_EQ(get(101, ATTR_DIMMED), 1);

    EXPECT_EQ(tk.SetMenuBarAttribute(bar, 132, ATTR_CHECKED, 1), 0);
    EXPECT_TRUE(tk.MenuItemAction(bar, 132)->isChecked());
    EXPECT_EQ(get(132, ATTR_CHECKED), 1);
    EXPECT_EQ(get(133, ATTR_CHECKED), 0);

    const struct {
        int item, attribute, result;
    } refused[] = {{100, ATTR_CHECKED, kUiErrNotSupported},  // not checkable
                   {0, ATTR_CHECKED, kUiErrNotSupported},
                   {999, ATTR_DIMMED, kUiErrBadHandle}};
    for (const auto& r : refused) {
        int value = 0;
        EXPECT_EQ(tk.SetMenuBarAttribute(bar, r.item, r.attribute, 1), r.result) << r.item;
        EXPECT_EQ(tk.GetMenuBarAttribute(bar, r.item, r.attribute, &value), r.result) << r.item;
    }
    EXPECT_EQ(tk.SetMenuBarAttribute(12345, 0, ATTR_DIMMED, 1), kUiErrBadHandle);
}

TEST_F(QtToolkitTest, MenuBarDiscardAndReloadGivesANewBar) {
    const int main = ShowMain();
    QWidget* window = tk.PanelWidget(main);
    const int first = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(first, 0);
    EXPECT_EQ(tk.PanelMenuBar(main), first);
    QPointer<QMenuBar> firstBar = tk.MenuBarWidget(first);
    ASSERT_TRUE(firstBar);
    EXPECT_EQ(window->layout()->menuBar(), firstBar.data());
    EXPECT_TRUE(firstBar->isVisible());

    EXPECT_EQ(tk.DiscardMenuBar(first), 0);
    EXPECT_EQ(tk.PanelMenuBar(main), 0);
    EXPECT_EQ(tk.MenuBarWidget(first), nullptr);
    EXPECT_EQ(tk.MenuItemAction(first, 100), nullptr);
    EXPECT_EQ(window->layout()->menuBar(), nullptr);
    EXPECT_EQ(tk.DiscardMenuBar(first), kUiErrBadHandle);
    FlushDeletes();
    EXPECT_TRUE(firstBar.isNull());

    const int second = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    ASSERT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(tk.PanelMenuBar(main), second);
    ASSERT_NE(tk.MenuBarWidget(second), nullptr);
    EXPECT_EQ(window->layout()->menuBar(), tk.MenuBarWidget(second));
    // Its items answer again.
    tk.MenuItemAction(second, 100)->trigger();
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].menuBar, second);

    // A second load replaces the bar rather than stacking one more.
    const int third = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    EXPECT_EQ(tk.MenuBarWidget(second), nullptr);
    EXPECT_EQ(window->layout()->menuBar(), tk.MenuBarWidget(third));
}

TEST_F(QtToolkitTest, AMenuCallbackMayDiscardItsOwnBar) {
    const int main = ShowMain();
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    gReaction = [&](const Fired&) { EXPECT_EQ(tk.DiscardMenuBar(bar), 0); };
    QPointer<QMenuBar> widget = tk.MenuBarWidget(bar);
    tk.MenuItemAction(bar, 100)->trigger();
    EXPECT_EQ(gFired.size(), 1u);
    tk.ProcessSystemEvents();
    FlushDeletes();
    EXPECT_TRUE(widget.isNull());
}

TEST_F(QtToolkitTest, ClosingAPanelAsksItsCallbackAndKeepsItUnlessDiscarded) {
    const int main = ShowMain();
    QWidget* window = tk.PanelWidget(main);
    EXPECT_FALSE(window->close());  // the main panel's callback does nothing
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_61MMIInterfacePanelFunction");
    EXPECT_EQ(gFired[0].panel, main);
    EXPECT_EQ(gFired[0].event, EVENT_CLOSE);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(tk.PanelWidget(main), window);

    // The service panel's callback discards it, here from Escape.
    const int service = tk.LoadPanel(0, kMmiUir, kServicePanel);
    ASSERT_EQ(tk.DisplayPanel(service), 0);
    QPointer<QWidget> serviceWindow = tk.PanelWidget(service);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(serviceWindow));
    gReaction = [&](const Fired& f) {
        if (f.event == EVENT_CLOSE) {
            EXPECT_EQ(tk.DiscardPanel(f.panel), 0);
        }
    };
    gFired.clear();
    QTest::keyClick(serviceWindow, Qt::Key_Escape);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl53_16ServicePanelQuit");
    EXPECT_EQ(gFired[0].panel, service);
    EXPECT_EQ(gFired[0].event, EVENT_CLOSE);
    EXPECT_EQ(tk.PanelWidget(service), nullptr);
    FlushDeletes();
    EXPECT_TRUE(serviceWindow.isNull());
}

TEST_F(QtToolkitTest, MessagePanelsAreNonModalWindowsThatOnlyOkRemoves) {
    const int main = ShowMain();
    const int err = tk.LoadPanel(0, kUtilityUir, UTIL_BOOT_ERR);
    ASSERT_GT(err, 0);
    QPointer<QWidget> window = tk.PanelWidget(err);
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(window->parentWidget(), tk.PanelWidget(main));  // kept in front of it
    EXPECT_EQ(window->windowModality(), Qt::NonModal);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(tk.SetCtrlVal(err, UTIL_MESSAGE_TEXT, "BOOT : Problem during the boot sequence"), 0);
    EXPECT_EQ(tk.DisplayPanel(err), 0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(tk.PanelWidget(main)->isEnabled());

    // Closing it some other way leaves it: it has no panel callback.
    EXPECT_FALSE(window->close());
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(gFired.empty());

    // The main panel still takes the operator's commands meanwhile.
    QTest::mouseClick(tk.ControlWidget(main, MAIN_QUIT), Qt::LeftButton);
    ASSERT_EQ(gFired.size(), 1u);
    gFired.clear();

    // Enter presses OK, whose callback discards the panel it sits on.
    gReaction = [&](const Fired& f) { EXPECT_EQ(tk.DiscardPanel(f.panel), 0); };
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl54_4BootErrorWindowsButton");
    EXPECT_EQ(gFired[0].panel, err);
    EXPECT_EQ(gFired[0].control, 2);
    EXPECT_EQ(gFired[0].event, EVENT_COMMIT);
    EXPECT_EQ(tk.PanelWidget(err), nullptr);
    tk.ProcessSystemEvents();
    FlushDeletes();
    EXPECT_TRUE(window.isNull());
}

TEST_F(QtToolkitTest, EnterPressesTheFocusedButtonOrElseStart) {
    const int main = ShowMain();
    QWidget* window = tk.PanelWidget(main);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    auto* list = Widget<QListWidget>(main, MAIN_COMMENT_LIST);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_50MMIStart");

    gFired.clear();
    auto* quit = Widget<QPushButton>(main, MAIN_QUIT);
    quit->setFocus();
    QTest::keyClick(quit, Qt::Key_Return);
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_51MMIQuit");

    // A dimmed Start is not pressed by Enter either.
    gFired.clear();
    ASSERT_EQ(tk.SetCtrlAttribute(main, MAIN_START, ATTR_DIMMED, 1), 0);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(gFired.empty());
}

TEST_F(QtToolkitTest, TabOrderFollowsTheWorkflow) {
    const int main = ShowMain();
    QWidget* window = tk.PanelWidget(main);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    const int order[] = {MAIN_LOAD_FILE,    MAIN_PORT,  MAIN_PRODUCT_TYPE, MAIN_DOWNLOAD_CONFIG,
                         MAIN_COMMENT_LIST, MAIN_START, MAIN_QUIT};
    tk.ControlWidget(main, order[0])->setFocus();
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), tk.ControlWidget(main, order[i])) << i;
    }
}

TEST_F(QtToolkitTest, ValuesRoundTripThroughEveryKindOfControl) {
    const int main = LoadMain();
    const struct {
        int control;
        int set;
        int status;
        int get;
    } cases[] = {
        {MAIN_FILE_SIZE, 1234567, 0, 1234567},
        {MAIN_PROGRESS_B, 57, 0, 57},
        {MAIN_PROGRESS_B, 150, 0, 100},  // shown as the nearest value it can show
        {MAIN_PROGRESS_A, 42, 0, 42},
        {MAIN_FLASH_LED, 1, 0, 1},
        {MAIN_CPU_LED, 1, 0, 1},
        {MAIN_CPU_LED, 0, 0, 0},
        {MAIN_PORT, 8, 0, 8},
        {MAIN_PORT, 9, kUiErrOutOfRange, 8},  // not an entry: the selector keeps its value
        {MAIN_PRODUCT_TYPE, 1, 0, 1},
        {MAIN_DOWNLOAD_CONFIG, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.control) + " <- " + std::to_string(c.set));
        EXPECT_EQ(tk.SetCtrlVal(main, c.control, c.set), c.status);
        int value = -1;
        EXPECT_EQ(tk.GetCtrlVal(main, c.control, &value), 0);
        EXPECT_EQ(value, c.get);
    }
    EXPECT_TRUE(Widget<QtLed>(main, MAIN_FLASH_LED)->IsLit());
    EXPECT_EQ(Widget<QProgressBar>(main, MAIN_PROGRESS_B)->value(), 100);

    // Texts arrive exactly, trailing blanks included.
    const int err = tk.LoadPanel(0, kUtilityUir, UTIL_LIB_PC_ERR);
    const std::string message = "LIB_PC : Default error number _ 0x       6";
    EXPECT_EQ(tk.SetCtrlVal(err, UTIL_MESSAGE_TEXT, message), 0);
    EXPECT_EQ(Widget<QLabel>(err, UTIL_MESSAGE_TEXT)->text().toStdString(), message);
    const std::string command = "COMMAND : Command error ";
    EXPECT_EQ(tk.SetCtrlVal(err, UTIL_MESSAGE_TEXT, command), 0);
    EXPECT_EQ(Widget<QLabel>(err, UTIL_MESSAGE_TEXT)->text().toStdString(), command);

    // What a control cannot show is refused, not dropped silently.
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_COMMENT_LIST, "text"), kUiErrNotSupported);
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_START, 1), kUiErrNotSupported);
    int value = 0;
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_COMMENT_LIST, &value), kUiErrOutOfRange);  // empty
}

TEST_F(QtToolkitTest, AttributesSetLabelsStatusTextAndDimming) {
    const int main = ShowMain();
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_FLASH_LED, ATTR_LABEL_TEXT, " Flash AMD AM29LV160DB"),
              0);
    EXPECT_EQ(Widget<QtLed>(main, MAIN_FLASH_LED)->Label(), " Flash AMD AM29LV160DB");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_CPU_LED, ATTR_LABEL_TEXT, "BOOT FROM A VBC4410"), 0);
    EXPECT_EQ(Widget<QtLed>(main, MAIN_CPU_LED)->Label(), "BOOT FROM A VBC4410");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, "2 min 5 sec"), 0);
    EXPECT_EQ(Widget<QLabel>(main, MAIN_STATUS_TEXT)->text(), "2 min 5 sec");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT, " "), 0);
    EXPECT_EQ(Widget<QLabel>(main, MAIN_STATUS_TEXT)->text(), " ");
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_START, 1234, 1), kUiErrNotSupported);
    EXPECT_EQ(tk.SetCtrlAttribute(main, MAIN_COMMENT_LIST, ATTR_STATUS_TEXT, "x"),
              kUiErrNotSupported);

    // The lock dims 5, 16, 4, 2 and 3; dimmed controls (and their labels) take no input.
    const int locked[] = {MAIN_START, MAIN_PORT, MAIN_DOWNLOAD_CONFIG, MAIN_LOAD_FILE, MAIN_QUIT};
    for (int c : locked) EXPECT_EQ(tk.SetCtrlAttribute(main, c, ATTR_DIMMED, 1), 0);
    for (int c : locked) EXPECT_FALSE(tk.ControlWidget(main, c)->isEnabled()) << c;
    EXPECT_TRUE(tk.ControlWidget(main, MAIN_PRODUCT_TYPE)->isEnabled());
    auto* portLabel = tk.PanelWidget(main)->findChild<QLabel*>("portLabel");
    ASSERT_NE(portLabel, nullptr);
    EXPECT_FALSE(portLabel->isEnabled());
    QTest::mouseClick(tk.ControlWidget(main, MAIN_START), Qt::LeftButton);
    QTest::mouseClick(tk.ControlWidget(main, MAIN_QUIT), Qt::LeftButton);
    EXPECT_TRUE(gFired.empty());

    for (int c : locked) EXPECT_EQ(tk.SetCtrlAttribute(main, c, ATTR_DIMMED, 0), 0);
    for (int c : locked) EXPECT_TRUE(tk.ControlWidget(main, c)->isEnabled()) << c;
    EXPECT_TRUE(portLabel->isEnabled());
    QTest::mouseClick(tk.ControlWidget(main, MAIN_START), Qt::LeftButton);
    EXPECT_EQ(gFired.size(), 1u);
}

TEST_F(QtToolkitTest, CommentListAppendsSelectsAndScrollsToTheLastLine) {
    const int main = ShowMain();
    auto* list = Widget<QListWidget>(main, MAIN_COMMENT_LIST);
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 200; ++i) {
        const std::string line = " line " + std::to_string(i) + " ";
        ASSERT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, i, line, 0), 0);
        ASSERT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, i), 0);
    }
    tk.ProcessSystemEvents();
    EXPECT_EQ(list->count(), 200);
    EXPECT_EQ(list->item(199)->text(), " line 199 ");
    EXPECT_EQ(list->currentRow(), 199);
    const QRect last = list->visualItemRect(list->item(199));
    EXPECT_TRUE(list->viewport()->rect().contains(last)) << last.y();
    EXPECT_TRUE(gFired.empty());

    EXPECT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, 0, " first ", 7), 0);
    EXPECT_EQ(list->item(0)->text(), " first ");
    EXPECT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, -1, " end ", 3), 0);
    EXPECT_EQ(list->item(201)->text(), " end ");
    EXPECT_EQ(tk.SetCtrlVal(main, MAIN_COMMENT_LIST, 7), 0);
    EXPECT_EQ(list->currentRow(), 0);
    int value = 0;
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, 201), 0);
    EXPECT_EQ(tk.GetCtrlVal(main, MAIN_COMMENT_LIST, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(tk.InsertListItem(main, MAIN_COMMENT_LIST, 500, "x", 0), kUiErrOutOfRange);
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, 202), kUiErrOutOfRange);
    EXPECT_EQ(tk.SetCtrlIndex(main, MAIN_COMMENT_LIST, -1), kUiErrOutOfRange);
    EXPECT_EQ(list->count(), 202);
}

TEST_F(QtToolkitTest, FileNameBoxIsResetThenGivenItsLine) {
    const int main = LoadMain();
    auto* box = Widget<QLineEdit>(main, MAIN_FILE_NAME);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(tk.ResetTextBox(main, MAIN_FILE_NAME, ""), 0);
    EXPECT_EQ(box->text(), "");
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_FILE_NAME, 0, "/home/op/soft v2.cla"), 0);
    EXPECT_EQ(box->text(), "/home/op/soft v2.cla");
    EXPECT_EQ(tk.ResetTextBox(main, MAIN_FILE_NAME, ""), 0);
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_FILE_NAME, 0, "/b.cla"), 0);
    EXPECT_EQ(box->text(), "/b.cla");
    EXPECT_EQ(tk.InsertTextBoxLine(main, MAIN_FILE_NAME, 3, "x"), kUiErrOutOfRange);
    EXPECT_EQ(box->text(), "/b.cla");
    EXPECT_EQ(tk.ResetTextBox(main, MAIN_START, ""), kUiErrNotSupported);
}

TEST_F(QtToolkitTest, LedsAreClearlyLitOrOff) {
    const int main = ShowMain();
    auto* led = Widget<QtLed>(main, MAIN_CPU_LED);
    ASSERT_NE(led, nullptr);
    auto centreOfLamp = [&] {
        const QImage image = led->grab().toImage();
        const int d = std::max(10, led->fontMetrics().height());
        const qreal dpr = image.devicePixelRatio();
        return image.pixelColor(static_cast<int>((1 + d / 2.0) * dpr),
                                static_cast<int>(led->height() / 2.0 * dpr));
    };
    ASSERT_EQ(tk.SetCtrlVal(main, MAIN_CPU_LED, 0), 0);
    const QColor off = centreOfLamp();
    ASSERT_EQ(tk.SetCtrlVal(main, MAIN_CPU_LED, 1), 0);
    const QColor lit = centreOfLamp();
    EXPECT_GT(lit.green(), 150);
    EXPECT_GT(lit.green(), lit.red() + 40);
    EXPECT_LT(off.green(), 150);
    EXPECT_LT(std::abs(off.green() - off.red()), 30);  // grey, not a dim green
    EXPECT_EQ(led->accessibleDescription(), "lit");
}

TEST_F(QtToolkitTest, ProcessSystemEventsRepaintsAndRunsCallbacks) {
    const int main = ShowMain();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    };
    PaintCounter led, status;
    tk.ControlWidget(main, MAIN_FLASH_LED)->installEventFilter(&led);
    tk.ControlWidget(main, MAIN_STATUS_TEXT)->installEventFilter(&status);
    tk.ProcessSystemEvents();
    for (int step = 1; step <= 3; ++step) {
        const int ledBefore = led.paints;
        const int statusBefore = status.paints;
        ASSERT_EQ(tk.SetCtrlVal(main, MAIN_FLASH_LED, step % 2), 0);
        ASSERT_EQ(tk.SetCtrlAttribute(main, MAIN_STATUS_TEXT, ATTR_STATUS_TEXT,
                                      std::to_string(step) + " min 0 sec"),
                  0);
        // Nothing is painted while the job holds the thread...
        EXPECT_EQ(led.paints, ledBefore);
        EXPECT_EQ(status.paints, statusBefore);
        // ...and everything at the next pump.
        tk.ProcessSystemEvents();
        EXPECT_GT(led.paints, ledBefore) << step;
        EXPECT_GT(status.paints, statusBefore) << step;
    }
    tk.ControlWidget(main, MAIN_FLASH_LED)->removeEventFilter(&led);
    tk.ControlWidget(main, MAIN_STATUS_TEXT)->removeEventFilter(&status);

    // A click queued during a long operation reaches its callback at the next pump.
    QMetaObject::invokeMethod(tk.ControlWidget(main, MAIN_QUIT), "click", Qt::QueuedConnection);
    EXPECT_TRUE(gFired.empty());
    tk.ProcessSystemEvents();
    ASSERT_EQ(gFired.size(), 1u);
    EXPECT_EQ(gFired[0].name, "_mfl51_51MMIQuit");
}

TEST_F(QtToolkitTest, DisplayPanelReturnsWithThePanelPainted) {
    // The boot that follows the turn-on panel pumps no events: the panel must already be up.
    ShowMain();
    const int turnOn = tk.LoadPanel(0, kMmiUir, PANEL_TURN_ON);
    ASSERT_GT(turnOn, 0);
    auto* text = tk.PanelWidget(turnOn)->findChild<QLabel*>(
        QString::fromUtf8(kPanelTextObject.data(), kPanelTextObject.size()));
    ASSERT_NE(text, nullptr);
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    } counter;
    text->installEventFilter(&counter);
    ASSERT_EQ(tk.DisplayPanel(turnOn), 0);
    EXPECT_TRUE(tk.PanelWidget(turnOn)->windowHandle()->isExposed());
    EXPECT_GT(counter.paints, 0);
    text->removeEventFilter(&counter);
    EXPECT_EQ(tk.DiscardPanel(turnOn), 0);
}

TEST_F(QtToolkitTest, RunUserInterfaceReturnsTheCodeGivenToQuit) {
    const int main = ShowMain();
    gReaction = [&](const Fired&) { tk.QuitUserInterface(7); };
    QTimer::singleShot(0, tk.ControlWidget(main, MAIN_QUIT), [&] {
        QTest::mouseClick(tk.ControlWidget(main, MAIN_QUIT), Qt::LeftButton);
    });
    EXPECT_EQ(tk.RunUserInterface(), 7);
    EXPECT_EQ(gFired.size(), 1u);

    // Asked before the loop runs: the loop returns at once.
    EXPECT_EQ(tk.QuitUserInterface(3), 0);
    EXPECT_EQ(tk.RunUserInterface(), 3);
}

using test::AnswerModal;

TEST_F(QtToolkitTest, MessageAndConfirmPopupsAreModalAndAnswered) {
    ShowMain();
    std::string seen;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        seen = (box->windowTitle() + "|" + box->text()).toStdString();
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(tk.MessagePopup("DOWNLOAD", "PLEASE LOAD A FILE BEFORE START"), 0);
    EXPECT_EQ(seen, "DOWNLOAD|PLEASE LOAD A FILE BEFORE START");

    AnswerModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
    EXPECT_EQ(tk.ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 1);
    AnswerModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
    EXPECT_EQ(tk.ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 0);
    AnswerModal<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(tk.ConfirmPopup("Confirm to quit", "Do you really want to quit?"), 0);
}

TEST_F(QtToolkitTest, FileSelectPopupOffersThePatternAndReturnsThePath) {
    test::ScratchDir dir;
    test::WriteFile(dir.path() / "phone.cla", "data");
    test::WriteFile(dir.path() / "notes.txt", "x");
    ShowMain();

    QStringList filters;
    QString shownDirectory;
    AnswerModal<QFileDialog>([&](QFileDialog* dialog) {
        filters = dialog->nameFilters();
        shownDirectory = dialog->directory().absolutePath();
        dialog->selectFile(QString::fromStdString((dir.path() / "phone.cla").string()));
        static_cast<QDialog*>(dialog)->accept();  // QFileDialog's own is protected
    });
    std::string chosen = "unchanged";
    EXPECT_EQ(tk.FileSelectPopup(dir.path().string(), "*.cla", FILE_SELECT_LOAD, &chosen), 1);
    EXPECT_EQ(chosen, (dir.path() / "phone.cla").string());
    ASSERT_FALSE(filters.isEmpty());
    EXPECT_TRUE(filters.first().contains("(*.cla)")) << filters.first().toStdString();
    EXPECT_EQ(shownDirectory.toStdString(), dir.path().string());

    chosen = "unchanged";
    AnswerModal<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_EQ(tk.FileSelectPopup(dir.path().string(), "*.cla", FILE_SELECT_LOAD, &chosen), 0);
    EXPECT_EQ(chosen, "unchanged");

    // A directory that is not there opens the current one.
    AnswerModal<QFileDialog>([&](QFileDialog* dialog) {
        shownDirectory = dialog->directory().absolutePath();
        dialog->reject();
    });
    EXPECT_EQ(tk.FileSelectPopup("/no/such/dir", "*.cla", FILE_SELECT_LOAD, &chosen), 0);
    EXPECT_EQ(shownDirectory.toStdString(), std::filesystem::current_path().string());
}

TEST_F(QtToolkitTest, FileSelectPopupForSavingTakesANewName) {
    test::ScratchDir dir;
    ShowMain();
    bool saveDialog = false;
    AnswerModal<QFileDialog>([&](QFileDialog* dialog) {
        saveDialog = dialog->acceptMode() == QFileDialog::AcceptSave &&
                     dialog->fileMode() == QFileDialog::AnyFile;
        dialog->selectFile(QString::fromStdString((dir.path() / "job").string()));
        static_cast<QDialog*>(dialog)->accept();
    });
    std::string chosen;
    EXPECT_EQ(tk.FileSelectPopup(dir.path().string(), "*.txt", FILE_SELECT_SAVE, &chosen), 1);
    EXPECT_TRUE(saveDialog);
    EXPECT_EQ(chosen, (dir.path() / "job.txt").string());  // the pattern's suffix added
}

TEST_F(QtToolkitTest, DiscardingAPanelTakesItsMenuBarAndChildPanels) {
    const int main = ShowMain();
    const int bar = tk.LoadMenuBar(main, kMmiUir, MENUBAR_MAIN);
    const int child = tk.LoadPanel(main, kMmiUir, PANEL_TURN_ON);
    ASSERT_GT(child, 0);
    EXPECT_EQ(tk.PanelWidget(child)->parentWidget(), tk.PanelWidget(main));
    EXPECT_EQ(tk.DiscardPanel(main), 0);
    EXPECT_EQ(tk.MenuBarWidget(bar), nullptr);
    EXPECT_EQ(tk.DiscardMenuBar(bar), kUiErrBadHandle);
    FlushDeletes();
    EXPECT_EQ(tk.PanelWidget(child), nullptr);
    EXPECT_EQ(tk.DisplayPanel(child), kUiErrBadHandle);
}

}  // namespace
}  // namespace vbc::platform
