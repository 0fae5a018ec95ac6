// The vbcflash program on real widgets, for the whole-job GUI tests and the screenshot driver:
// a scratch directory holding the example flash.txt and bootstraps, the simulated phone on
// COM1, the program started as vbcflash starts it (its toolkit, its callbacks, its main
// panel), and ways to watch what the operator sees while a job runs.
#pragma once

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "data/mfl51loadfile.h"
#include "gui/qt/qtfrontend.h"
#include "gui/qt/qtled.h"
#include "platform/serial.h"
#include "sim/simulator.h"
#include "testing/programstate.h"
#include "tests/gui/modal.h"
#include "tests/testutil.h"
#include "toolkit/toolkit.h"
#include "ui/mfl50dev.h"
#include "ui/mfl52display.h"
#include "ui/mfl53ser.h"
#include "ui/uirids.h"

namespace vbc::test {

// The program's toolkit, counting its event pumps and calling a hook from each (not from
// within the hook itself).
class ObservedToolkit : public platform::FrontEndToolkit {
  public:
    int ProcessSystemEvents() override {
        ++pumps;
        if (onPump && !inHook_) {
            inHook_ = true;
            onPump();
            inHook_ = false;
        }
        return FrontEndToolkit::ProcessSystemEvents();
    }

    int pumps = 0;
    std::function<void()> onPump;

  private:
    bool inHook_ = false;
};

// Sees every window that is shown and every paint, application-wide.
class EventWatcher : public QObject {
  public:
    EventWatcher() { qApp->installEventFilter(this); }
    ~EventWatcher() override { qApp->removeEventFilter(this); }

    std::function<void(QWidget* window)> onWindowShown;
    std::function<void(QWidget* widget)> onPaint;

    bool eventFilter(QObject* o, QEvent* e) override {
        if (!o->isWidgetType()) return false;
        auto* w = static_cast<QWidget*>(o);
        if (e->type() == QEvent::Show && w->isWindow() && onWindowShown) onWindowShown(w);
        if (e->type() == QEvent::Paint && onPaint) onPaint(w);
        return false;
    }
};

// A software file of n bytes that no two sectors share.
inline std::string SoftwareImage(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + (i >> 11)) & 0xFF);
    return s;
}

// Copies the example files the program and the simulator read into the working directory.
inline void CopyExamples(bool withFlashTxt) {
    const std::filesystem::path examples = std::filesystem::path(VBC_SOURCE_DIR) / "examples";
    for (const char* name : {"mfl104_4.spm", "mfl104_5.spm"})
        std::filesystem::copy_file(examples / name, name);
    if (withFlashTxt) std::filesystem::copy_file(examples / "flash.txt", "flash.txt");
}

// The simulated phone on COM1 of the working directory, reading the example flash.txt.
inline std::unique_ptr<sim::Simulator> StartPhone(sim::SimulatorOptions options,
                                                  std::string* error) {
    if (!std::filesystem::exists("flash.txt")) {
        std::filesystem::copy_file(std::filesystem::path(VBC_SOURCE_DIR) / "examples/flash.txt",
                                   "phone-flash.txt");
        options.flashTxt = "phone-flash.txt";
    }
    options.linkName = "COM1";
    options.linkDir = ".";
    auto phone = std::make_unique<sim::Simulator>(options);
    if (!phone->Start(error)) return nullptr;
    return phone;
}

// The program started as vbcflash starts it, in the current directory, without entering the
// event loop: callers drive the widgets, and a job runs inside the click that starts it.
class GuiProgram {
  public:
    GuiProgram() {
        test::ResetProgramState();
        platform::SetToolkit(&tk);
        flashTxtStatus = StartMainPanel();
    }
    ~GuiProgram() {
        platform::CloseAllPorts();
        platform::SetToolkit(nullptr);
        test::ResetProgramState();
    }
    GuiProgram(const GuiProgram&) = delete;
    GuiProgram& operator=(const GuiProgram&) = delete;

    QWidget* Main() const { return tk.PanelWidget(_v_Panel); }
    QWidget* Control(int id) const { return tk.ControlWidget(_v_Panel, id); }
    template <class W>
    W* Control(int id) const {
        return qobject_cast<W*>(Control(id));
    }
    platform::QtLed* Led(int id) const { return Control<platform::QtLed>(id); }
    QAbstractButton* Button(int id) const { return Control<QAbstractButton>(id); }
    QListWidget* Comments() const { return Control<QListWidget>(MAIN_COMMENT_LIST); }
    QMenuBar* MenuBar() const { return tk.MenuBarWidget(tk.PanelMenuBar(_v_Panel)); }
    QAction* MenuItem(int item) const { return tk.MenuItemAction(tk.PanelMenuBar(_v_Panel), item); }
    std::vector<std::string> CommentLines() const {
        std::vector<std::string> lines;
        for (int i = 0; i < Comments()->count(); ++i)
            lines.push_back(Comments()->item(i)->text().toStdString());
        return lines;
    }
    // Locked: controls 2, 3, 4, 5 and 16 dimmed, and the menu bar still there but dimmed.
    bool Locked() const {
        for (int id : {MAIN_LOAD_FILE, MAIN_QUIT, MAIN_DOWNLOAD_CONFIG, MAIN_START, MAIN_PORT}) {
            if (Control(id)->isEnabled()) return false;
        }
        return MenuBar() && MenuBar()->isVisible() && !MenuBar()->isEnabled();
    }
    bool Unlocked() const {
        for (int id : {MAIN_LOAD_FILE, MAIN_QUIT, MAIN_DOWNLOAD_CONFIG, MAIN_START, MAIN_PORT}) {
            if (!Control(id)->isEnabled()) return false;
        }
        return MenuBar() && MenuBar()->isVisible() && MenuBar()->isEnabled();
    }
    // Where the main window is and where its content sits in it: what would jump.
    struct Frame {
        QRect window;
        QPoint content;
        bool operator==(const Frame&) const = default;
    };
    Frame CurrentFrame() const { return {Main()->geometry(), Comments()->mapTo(Main(), QPoint())}; }

    // Top-level windows of the program on screen whose object name is name ("SuccessPanel",
    // "TurnOnPanel", "FlashFileErrPanel"...; the names of the panel resources).
    static std::vector<QWidget*> Windows(const char* name) {
        std::vector<QWidget*> found;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->objectName() == QLatin1String(name)) found.push_back(w);
        }
        return found;
    }
    static QWidget* Window(const char* name) {
        const std::vector<QWidget*> w = Windows(name);
        return w.size() == 1 ? w.front() : nullptr;
    }
    // The message text (control 3) of a "Utility.uir" panel on screen.
    static std::string MessageText(const char* name) {
        QWidget* w = Window(name);
        if (!w) return {};
        for (QLabel* l : w->findChildren<QLabel*>()) {
            if (l->property("ctrlId").toInt() == UTIL_MESSAGE_TEXT) return l->text().toStdString();
        }
        return {};
    }
    // The panel's button with that control number.
    static QAbstractButton* PanelButton(QWidget* window, int id) {
        if (!window) return nullptr;
        for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
            if (b->property("ctrlId").toInt() == id) return b;
        }
        return nullptr;
    }

    // Loads a software file the way Load file does after the dialog.
    void LoadSoftware(const std::string& path) {
        std::snprintf(_sg_DownloadContext.claFileName, sizeof _sg_DownloadContext.claFileName, "%s",
                      path.c_str());
        _mfl51_0InitLoadFile();
    }

    ObservedToolkit tk;
    std::int32_t flashTxtStatus = 0;
};

}  // namespace vbc::test
