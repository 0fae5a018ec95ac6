#include "gui/qt/qttoolkit.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <QUiLoader>
#include <QWindow>
#include <algorithm>
#include <map>
#include <set>

#include "gui/qt/qtled.h"
#include "toolkit/uiresources.h"

namespace vbc::platform {
namespace {

constexpr const char* kHandleProperty = "vbcPanelHandle";
constexpr const char* kPlacedProperty = "vbcPlaced";
constexpr int kShowTimeoutMs = 2000;

QString FromStd(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString FromView(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool IntProperty(const QObject* o, const char* name, int* value) {
    const QVariant v = o->property(name);
    if (!v.isValid()) return false;
    bool ok = false;
    const int i = v.toInt(&ok);
    if (!ok) return false;
    *value = i;
    return true;
}

// Creates our own widget classes where the resources name them.
class Loader : public QUiLoader {
  public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        if (className == FromView(kLedClass)) {
            auto* led = new QtLed(parent);
            led->setObjectName(name);
            return led;
        }
        return QUiLoader::createWidget(className, parent, name);
    }
};

QStyle::StandardPixmap StandardIconOf(const QString& name) {
    if (name == QLatin1String("critical")) return QStyle::SP_MessageBoxCritical;
    if (name == QLatin1String("warning")) return QStyle::SP_MessageBoxWarning;
    if (name == QLatin1String("question")) return QStyle::SP_MessageBoxQuestion;
    return QStyle::SP_MessageBoxInformation;
}

// The label widgets that name this control (QLabel buddies), dimmed and relabelled with it.
QList<QLabel*> BuddyLabels(QWidget* control) {
    QList<QLabel*> labels;
    for (QLabel* l : control->window()->findChildren<QLabel*>()) {
        if (l->buddy() == control) labels.append(l);
    }
    return labels;
}

int InsertIndex(int index, int count) {
    if (index == -1 || index == count) return count;  // -1: at the end
    if (index < 0 || index > count) return -1;
    return index;
}

}  // namespace

struct QtToolkit::Impl : public QObject {
    struct Panel {
        QPointer<QWidget> window;
        PanelCallbackPtr callback = nullptr;
        bool closeBox = true;
        std::map<int, QPointer<QWidget>> controls;
    };
    struct MenuBar {
        QPointer<QMenuBar> bar;
        int panel = 0;
        std::map<int, QPointer<QAction>> items;
        // Dimmed by the program: the whole bar, and items on their own. An item is enabled
        // only when neither is, so undimming the bar gives back each item's own state.
        bool dimmed = false;
        std::set<int> dimmedItems;

        bool Delivers(int item) const { return !dimmed && !dimmedItems.contains(item); }
        void ApplyDimming() {
            if (bar) bar->setEnabled(!dimmed);
            // The actions too: a disabled action takes no shortcut and no trigger either.
            for (auto& [id, action] : items) {
                if (action) action->setEnabled(Delivers(id));
            }
        }
    };

    Loader loader;
    std::map<int, Panel> panels;
    std::map<int, MenuBar> menuBars;
    int nextHandle = 1;
    QEventLoop* loop = nullptr;
    bool quitPending = false;
    int quitCode = 0;

    Panel* FindPanel(int handle) {
        auto it = panels.find(handle);
        if (it == panels.end()) return nullptr;
        if (!it->second.window) {  // went with a discarded parent panel
            panels.erase(it);
            return nullptr;
        }
        return &it->second;
    }

    QWidget* Control(int panel, int control) {
        Panel* p = FindPanel(panel);
        if (!p) return nullptr;
        auto it = p->controls.find(control);
        return it == p->controls.end() ? nullptr : it->second.data();
    }

    MenuBar* FindMenuBar(int handle) {
        auto it = menuBars.find(handle);
        if (it == menuBars.end()) return nullptr;
        if (!it->second.bar) {
            menuBars.erase(it);
            return nullptr;
        }
        return &it->second;
    }

    QWidget* LoadUi(std::string_view xml) {
        QByteArray bytes = QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size()));
        QBuffer buffer(&bytes);
        if (!buffer.open(QIODevice::ReadOnly)) return nullptr;
        QWidget* w = loader.load(&buffer, nullptr);
        if (!w)
            qWarning("vbcflash: a panel resource cannot be built: %s",
                     qPrintable(loader.errorString()));
        return w;
    }

    static CtrlCallbackPtr ControlCallback(const QString& name) {
        if (name.isEmpty()) return nullptr;
        const CallbackEntry* e = FindCallback(name.toStdString());
        if (!e || !e->control) {
            qWarning("vbcflash: no control callback named %s", qPrintable(name));
            return nullptr;
        }
        return e->control;
    }

    // Events that the toolkit turns into callbacks: the control's value changed by the
    // operator (never by the program) and its commit.
    void BindControl(int handle, int id, QWidget* w, CtrlCallbackPtr cb) {
        auto fire = [this, handle, id, cb](int event) {
            if (!FindPanel(handle)) return;  // discarded, waiting for deletion
            cb(handle, id, event, nullptr, 0, 0);
        };
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            connect(b, &QAbstractButton::clicked, b, [fire] { fire(EVENT_COMMIT); });
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            connect(c, &QComboBox::currentIndexChanged, c, [fire] { fire(EVENT_VAL_CHANGED); });
        } else if (auto* l = qobject_cast<QListWidget*>(w)) {
            connect(l, &QListWidget::currentRowChanged, l, [fire] { fire(EVENT_VAL_CHANGED); });
            connect(l, &QListWidget::itemActivated, l, [fire] { fire(EVENT_COMMIT); });
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            connect(s, &QSpinBox::valueChanged, s, [fire] { fire(EVENT_VAL_CHANGED); });
            connect(s, &QSpinBox::editingFinished, s, [fire] { fire(EVENT_COMMIT); });
        } else if (auto* a = qobject_cast<QAbstractSlider*>(w)) {
            connect(a, &QAbstractSlider::valueChanged, a, [fire] { fire(EVENT_VAL_CHANGED); });
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            connect(e, &QLineEdit::textEdited, e, [fire] { fire(EVENT_VAL_CHANGED); });
            connect(e, &QLineEdit::editingFinished, e, [fire] { fire(EVENT_COMMIT); });
        }
    }

    void Decorate(QWidget* window) {
        for (QComboBox* c : window->findChildren<QComboBox*>()) {
            const QStringList values = c->property("itemValues").toStringList();
            for (int i = 0; i < values.size() && i < c->count(); ++i) {
                c->setItemData(i, values[i].toInt());
            }
            // A wheel turned over the window must not change the port or the product.
            c->setFocusPolicy(Qt::StrongFocus);
            c->installEventFilter(this);
        }
        for (QLabel* l : window->findChildren<QLabel*>()) {
            const QVariant icon = l->property("standardIcon");
            if (!icon.isValid()) continue;
            QStyle* style = l->style();
            const int size = style->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, l);
            l->setPixmap(style->standardIcon(StandardIconOf(icon.toString()), nullptr, l)
                             .pixmap(QSize(size, size), l->devicePixelRatioF()));
        }
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (w->property("fixedFont").toBool()) {
                QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
                fixed.setPointSizeF(w->font().pointSizeF());
                w->setFont(fixed);
            }
        }
    }

    // The panel new top-level panels keep in front of: the oldest one still loaded.
    QWidget* OwnerWindow() {
        for (auto it = panels.begin(); it != panels.end();) {
            if (it->second.window) return it->second.window;
            it = panels.erase(it);
        }
        return nullptr;
    }

    QWidget* PopupParent() {
        QWidget* active = QApplication::activeWindow();
        if (active && active->property(kHandleProperty).isValid()) return active;
        return OwnerWindow();
    }

    void OnClose(int handle) {
        Panel* p = FindPanel(handle);
        if (!p || !p->callback) return;
        p->callback(handle, EVENT_CLOSE, nullptr, 0, 0);
    }

    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Wheel) {
            auto* combo = qobject_cast<QComboBox*>(o);
            return combo && !combo->hasFocus();
        }
        auto* window = qobject_cast<QWidget*>(o);
        if (!window || !window->isWindow()) return false;
        if (e->type() == QEvent::Close) {
            // A panel goes only when the program discards it: closing the window asks the
            // panel callback, as the close box of a panel does.
            e->ignore();
            OnClose(window->property(kHandleProperty).toInt());
            return true;
        }
        if (e->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(e);
            const auto mods = key->modifiers() & ~Qt::KeypadModifier;
            if (mods != Qt::NoModifier) return false;
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                // Enter that no control took presses the panel's default button.
                for (QPushButton* b : window->findChildren<QPushButton*>()) {
                    if (b->isDefault() && b->isEnabled() && b->isVisible()) {
                        b->click();
                        return true;
                    }
                }
            } else if (key->key() == Qt::Key_Escape) {
                Panel* p = FindPanel(window->property(kHandleProperty).toInt());
                if (p && p->closeBox) {
                    window->close();
                    return true;
                }
            }
        }
        return false;
    }

    // Shown for the first time: centred on its owner, whole on the owner's screen.
    static void Place(QWidget* w) {
        if (w->property(kPlacedProperty).toBool()) return;
        w->setProperty(kPlacedProperty, true);
        if (!w->testAttribute(Qt::WA_Resized)) w->adjustSize();
        QWidget* owner = w->parentWidget() ? w->parentWidget()->window() : nullptr;
        if (!owner || !owner->isVisible()) return;
        QRect frame = w->frameGeometry();
        frame.moveCenter(owner->frameGeometry().center());
        if (QScreen* screen = owner->screen()) {
            const QRect avail = screen->availableGeometry();
            frame.moveLeft(std::clamp(frame.left(), avail.left(),
                                      std::max(avail.left(), avail.right() - frame.width())));
            frame.moveTop(std::clamp(frame.top(), avail.top(),
                                     std::max(avail.top(), avail.bottom() - frame.height())));
        }
        w->move(frame.topLeft());
    }

    // The program may block right after showing a panel (the turn-on panel stays up for the
    // whole boot, which pumps no events): wait until the window system has put it on the
    // screen and it is painted. Operator input waits meanwhile, so no callback can run.
    static void WaitUntilShown(QWidget* w) {
        QWindow* handle = w->windowHandle();
        if (!handle || handle->isExposed()) return;
        struct ExposeWatcher : QObject {
            QEventLoop* loop = nullptr;
            bool eventFilter(QObject* o, QEvent* e) override {
                if (e->type() == QEvent::Expose && static_cast<QWindow*>(o)->isExposed()) {
                    loop->quit();
                }
                return false;
            }
        };
        QEventLoop wait;
        ExposeWatcher watcher;
        watcher.loop = &wait;
        handle->installEventFilter(&watcher);
        if (!handle->isExposed()) {
            // Bounded, for a window manager that never maps it.
            QTimer::singleShot(kShowTimeoutMs, &wait, &QEventLoop::quit);
            wait.exec(QEventLoop::ExcludeUserInputEvents);
        }
        handle->removeEventFilter(&watcher);
        if (handle->isExposed()) w->repaint();
    }

    void DetachMenuBar(MenuBar& m) {
        if (!m.bar) return;
        QWidget* window = m.bar->parentWidget();
        if (auto* mw = qobject_cast<QMainWindow*>(window)) {
            if (mw->menuWidget() == m.bar) {
                // QMainWindow deletes the one it replaces; keep ours for deleteLater below.
                m.bar->setParent(nullptr);
            }
        } else if (window && window->layout() && window->layout()->menuBar() == m.bar) {
            window->layout()->setMenuBar(nullptr);
        }
        m.bar->hide();
        // Later: the discard may come from one of its own items' callbacks.
        m.bar->deleteLater();
    }
};

QtToolkit::QtToolkit() : d_(std::make_unique<Impl>()) {
    Q_ASSERT_X(QApplication::instance(), "QtToolkit", "needs a QApplication");
    // The program ends through QuitUserInterface, never because a window closed.
    QApplication::setQuitOnLastWindowClosed(false);
}

QtToolkit::~QtToolkit() {
    for (auto& [handle, m] : d_->menuBars) {
        if (m.bar) delete m.bar.data();
    }
    d_->menuBars.clear();
    std::vector<QPointer<QWidget>> windows;
    for (auto& [handle, p] : d_->panels) windows.push_back(p.window);
    d_->panels.clear();
    for (auto& w : windows) delete w.data();  // a child panel may already be gone: QPointer
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int QtToolkit::LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) {
    const std::string_view xml = UiResource(resourceFile, panelResourceId);
    if (xml.empty()) {
        qWarning("vbcflash: no panel %d in %s", panelResourceId, resourceFile.c_str());
        return kUiErrNoResource;
    }
    QWidget* parent = nullptr;
    if (parentPanel != 0) {
        Impl::Panel* pp = d_->FindPanel(parentPanel);
        if (!pp) return kUiErrBadHandle;
        parent = pp->window;
    }
    QWidget* window = d_->LoadUi(xml);
    if (!window) return kUiErrNoResource;

    Impl::Panel panel;
    panel.window = window;
    const int handle = d_->nextHandle++;
    std::vector<std::pair<int, QWidget*>> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        int id = 0;
        if (!IntProperty(w, "ctrlId", &id)) continue;
        if (panel.controls.count(id)) {
            qWarning("vbcflash: control %d appears twice in panel %d of %s", id, panelResourceId,
                     resourceFile.c_str());
            delete window;
            return kUiErrNoResource;
        }
        panel.controls[id] = w;
        controls.emplace_back(id, w);
    }
    const QString panelCallback = window->property("callback").toString();
    if (!panelCallback.isEmpty()) {
        const CallbackEntry* e = FindCallback(panelCallback.toStdString());
        if (e && e->panel) {
            panel.callback = e->panel;
        } else {
            qWarning("vbcflash: no panel callback named %s", qPrintable(panelCallback));
        }
    }
    const QVariant closeBox = window->property("closeBox");
    panel.closeBox = !closeBox.isValid() || closeBox.toBool();

    d_->Decorate(window);
    for (auto [id, w] : controls) {
        if (CtrlCallbackPtr cb = Impl::ControlCallback(w->property("callback").toString())) {
            d_->BindControl(handle, id, w, cb);
        }
    }

    // Message panels stay in front of the panel that was there first (the main panel), yet
    // leave it usable: they are never modal.
    QWidget* owner = parent ? parent : d_->OwnerWindow();
    Qt::WindowFlags flags = owner ? Qt::Dialog : Qt::Window;
    if (!panel.closeBox) {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
    }
    window->setParent(owner, flags);
    window->setWindowModality(Qt::NonModal);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setProperty(kHandleProperty, handle);
    window->installEventFilter(d_.get());
    d_->panels.emplace(handle, std::move(panel));
    return handle;
}

int QtToolkit::DisplayPanel(int panel) {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    Impl::Place(p->window);
    p->window->show();
    p->window->raise();
    p->window->activateWindow();
    Impl::WaitUntilShown(p->window);
    return 0;
}

int QtToolkit::DiscardPanel(int panel) {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    QPointer<QWidget> window = p->window;
    for (auto it = d_->menuBars.begin(); it != d_->menuBars.end();) {
        if (it->second.panel == panel) {
            d_->DetachMenuBar(it->second);
            it = d_->menuBars.erase(it);
        } else {
            ++it;
        }
    }
    d_->panels.erase(panel);
    window->removeEventFilter(d_.get());
    window->hide();
    // Later, not now: the discard often comes from a callback of one of its own buttons.
    window->deleteLater();
    return 0;
}

int QtToolkit::LoadMenuBar(int panel, const std::string& resourceFile, int menuBarResourceId) {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    QWidget* window = p->window;
    auto* mainWindow = qobject_cast<QMainWindow*>(window);
    if (!mainWindow && !window->layout()) return kUiErrNotSupported;
    const std::string_view xml = UiMenuBarResource(resourceFile, menuBarResourceId);
    if (xml.empty()) {
        qWarning("vbcflash: no menu bar %d in %s", menuBarResourceId, resourceFile.c_str());
        return kUiErrNoResource;
    }
    QWidget* carrier = d_->LoadUi(xml);
    if (!carrier) return kUiErrNoResource;
    QMenuBar* bar = carrier->findChild<QMenuBar*>();
    if (!bar) {
        delete carrier;
        return kUiErrNoResource;
    }
    // The items belong to the form they were designed in; they go with the menu bar.
    for (QAction* a : carrier->findChildren<QAction*>(Qt::FindDirectChildrenOnly)) {
        a->setParent(bar);
    }
    bar->setParent(nullptr);
    delete carrier;

    // One menu bar per panel: a new one replaces the old.
    for (auto it = d_->menuBars.begin(); it != d_->menuBars.end();) {
        if (it->second.panel == panel) {
            d_->DetachMenuBar(it->second);
            it = d_->menuBars.erase(it);
        } else {
            ++it;
        }
    }

    const int handle = d_->nextHandle++;
    Impl::MenuBar m;
    m.bar = bar;
    m.panel = panel;
    for (QAction* a : bar->findChildren<QAction*>()) {
        int id = 0;
        if (!IntProperty(a, "itemId", &id)) continue;
        m.items[id] = a;
        const QString name = a->property("callback").toString();
        if (name.isEmpty()) continue;
        const CallbackEntry* e = FindCallback(name.toStdString());
        if (!e || !e->menu) {
            qWarning("vbcflash: no menu callback named %s", qPrintable(name));
            continue;
        }
        MenuCallbackPtr cb = e->menu;
        Impl* impl = d_.get();
        QObject::connect(a, &QAction::triggered, a, [impl, handle, id, panel, cb] {
            const Impl::MenuBar* live = impl->FindMenuBar(handle);
            if (!live) return;  // discarded, waiting for deletion
            if (!live->Delivers(id)) return;
            cb(handle, id, nullptr, panel);
        });
    }
    if (mainWindow) {
        mainWindow->setMenuWidget(bar);
    } else {
        window->layout()->setMenuBar(bar);
    }
    bar->show();
    d_->menuBars.emplace(handle, std::move(m));
    return handle;
}

int QtToolkit::DiscardMenuBar(int menuBar) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    d_->DetachMenuBar(*m);
    d_->menuBars.erase(menuBar);
    return 0;
}

int QtToolkit::SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        m->dimmed = value != 0;
        m->ApplyDimming();
        return 0;
    }
    auto it = m->items.find(menuItem);
    if (it == m->items.end() || !it->second) return kUiErrBadHandle;
    QAction* action = it->second;
    if (attribute == ATTR_DIMMED) {
        if (value != 0) {
            m->dimmedItems.insert(menuItem);
        } else {
            m->dimmedItems.erase(menuItem);
        }
        m->ApplyDimming();
        return 0;
    }
    if (attribute == ATTR_CHECKED && action->isCheckable()) {
        action->setChecked(value != 0);
        return 0;
    }
    return kUiErrNotSupported;
}

int QtToolkit::GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    bool on = false;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        on = m->dimmed;
    } else {
        auto it = m->items.find(menuItem);
        if (it == m->items.end() || !it->second) return kUiErrBadHandle;
        if (attribute == ATTR_DIMMED) {
            on = m->dimmedItems.contains(menuItem);
        } else if (attribute == ATTR_CHECKED && it->second->isCheckable()) {
            on = it->second->isChecked();
        } else {
            return kUiErrNotSupported;
        }
    }
    if (value) *value = on ? 1 : 0;
    return 0;
}

int QtToolkit::RunUserInterface() {
    if (d_->quitPending) {
        d_->quitPending = false;
        return d_->quitCode;
    }
    QEventLoop loop;
    QEventLoop* outer = d_->loop;
    d_->loop = &loop;
    const int code = loop.exec();
    d_->loop = outer;
    return code;
}

int QtToolkit::QuitUserInterface(int returnCode) {
    if (d_->loop) {
        d_->loop->exit(returnCode);
    } else {
        // Asked from a callback before the loop runs: the loop returns at once.
        d_->quitPending = true;
        d_->quitCode = returnCode;
    }
    return 0;
}

int QtToolkit::ProcessSystemEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return 0;
}

int QtToolkit::SetCtrlVal(int panel, int control, int value) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    if (auto* led = qobject_cast<QtLed*>(w)) {
        led->SetLit(value != 0);
    } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
        // Qt ignores a value out of range; the toolkit shows the nearest one.
        bar->setValue(std::clamp(value, bar->minimum(), bar->maximum()));
    } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        QSignalBlocker block(spin);
        spin->setValue(value);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        const int index = combo->findData(value);
        if (index < 0) return kUiErrOutOfRange;
        QSignalBlocker block(combo);
        combo->setCurrentIndex(index);
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
        for (int i = 0; i < list->count(); ++i) {
            if (list->item(i)->data(Qt::UserRole).toInt() == value) {
                QSignalBlocker block(list);
                list->setCurrentRow(i);
                list->scrollToItem(list->item(i));
                return 0;
            }
        }
        return kUiErrOutOfRange;
    } else if (auto* button = qobject_cast<QAbstractButton*>(w); button && button->isCheckable()) {
        QSignalBlocker block(button);
        button->setChecked(value != 0);
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
        QSignalBlocker block(slider);
        slider->setValue(value);
    } else if (auto* lcd = qobject_cast<QLCDNumber*>(w)) {
        lcd->display(value);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setNum(value);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        QSignalBlocker block(edit);
        edit->setText(QString::number(value));
    } else {
        return kUiErrNotSupported;
    }
    return 0;
}

int QtToolkit::SetCtrlVal(int panel, int control, const std::string& text) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    const QString t = FromStd(text);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(t);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        QSignalBlocker block(edit);
        edit->setText(t);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        plain->setPlainText(t);
    } else if (auto* rich = qobject_cast<QTextEdit*>(w)) {
        rich->setPlainText(t);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        const int index = combo->findText(t);
        if (index < 0) return kUiErrOutOfRange;
        QSignalBlocker block(combo);
        combo->setCurrentIndex(index);
    } else {
        return kUiErrNotSupported;
    }
    return 0;
}

int QtToolkit::GetCtrlVal(int panel, int control, int* value) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    int v = 0;
    if (auto* led = qobject_cast<QtLed*>(w)) {
        v = led->IsLit() ? 1 : 0;
    } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
        v = bar->value();
    } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        v = spin->value();
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        if (combo->currentIndex() < 0) return kUiErrOutOfRange;
        const QVariant data = combo->currentData();
        v = data.isValid() ? data.toInt() : combo->currentIndex();
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
        if (!list->currentItem()) return kUiErrOutOfRange;
        v = list->currentItem()->data(Qt::UserRole).toInt();
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        v = button->isChecked() ? 1 : 0;
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
        v = slider->value();
    } else if (auto* lcd = qobject_cast<QLCDNumber*>(w)) {
        v = lcd->intValue();
    } else {
        bool ok = false;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            v = label->text().trimmed().toInt(&ok);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            v = edit->text().trimmed().toInt(&ok);
        }
        if (!ok) return kUiErrNotSupported;
    }
    if (value) *value = v;
    return 0;
}

int QtToolkit::SetCtrlAttribute(int panel, int control, int attribute, int value) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
    const bool enabled = value == 0;
    w->setEnabled(enabled);
    for (QLabel* l : BuddyLabels(w)) l->setEnabled(enabled);
    return 0;
}

int QtToolkit::SetCtrlAttribute(int panel, int control, int attribute, const std::string& text) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    const QString t = FromStd(text);
    if (attribute == ATTR_LABEL_TEXT) {
        if (auto* led = qobject_cast<QtLed*>(w)) {
            led->SetLabel(t);
            led->setToolTip(t);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setText(t);
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            group->setTitle(t);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(t);
        } else {
            const QList<QLabel*> labels = BuddyLabels(w);
            if (labels.isEmpty()) return kUiErrNotSupported;
            for (QLabel* l : labels) l->setText(t);
        }
        return 0;
    }
    if (attribute == ATTR_STATUS_TEXT) {
        if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(t);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            QSignalBlocker block(edit);
            edit->setText(t);
        } else if (auto* status = qobject_cast<QStatusBar*>(w)) {
            status->showMessage(t);
        } else {
            return kUiErrNotSupported;
        }
        return 0;
    }
    return kUiErrNotSupported;
}

int QtToolkit::InsertListItem(int panel, int control, int index, const std::string& label,
                              int value) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    if (auto* list = qobject_cast<QListWidget*>(w)) {
        const int at = InsertIndex(index, list->count());
        if (at < 0) return kUiErrOutOfRange;
        auto* item = new QListWidgetItem(FromStd(label));
        item->setData(Qt::UserRole, value);
        QSignalBlocker block(list);
        list->insertItem(at, item);
        return 0;
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        const int at = InsertIndex(index, combo->count());
        if (at < 0) return kUiErrOutOfRange;
        QSignalBlocker block(combo);
        combo->insertItem(at, FromStd(label), value);
        return 0;
    }
    return kUiErrNotSupported;
}

int QtToolkit::SetCtrlIndex(int panel, int control, int index) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    if (auto* list = qobject_cast<QListWidget*>(w)) {
        if (index < 0 || index >= list->count()) return kUiErrOutOfRange;
        QSignalBlocker block(list);
        list->setCurrentRow(index);
        list->scrollToItem(list->item(index));
        return 0;
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        if (index < 0 || index >= combo->count()) return kUiErrOutOfRange;
        QSignalBlocker block(combo);
        combo->setCurrentIndex(index);
        return 0;
    }
    return kUiErrNotSupported;
}

namespace {

// Text boxes as lines of text; an empty box has no line.
QStringList TextBoxLines(QWidget* w, bool* ok) {
    QString text;
    *ok = true;
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        text = edit->text();
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        text = plain->toPlainText();
    } else if (auto* rich = qobject_cast<QTextEdit*>(w)) {
        text = rich->toPlainText();
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        text = label->text();
    } else {
        *ok = false;
    }
    if (text.isEmpty()) return {};
    return text.split(QLatin1Char('\n'));
}

bool SetTextBox(QWidget* w, const QString& text) {
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        QSignalBlocker block(edit);
        edit->setText(text);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        plain->setPlainText(text);
    } else if (auto* rich = qobject_cast<QTextEdit*>(w)) {
        rich->setPlainText(text);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(text);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int QtToolkit::ResetTextBox(int panel, int control, const std::string& text) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    return SetTextBox(w, FromStd(text)) ? 0 : kUiErrNotSupported;
}

int QtToolkit::InsertTextBoxLine(int panel, int control, int index, const std::string& text) {
    QWidget* w = d_->Control(panel, control);
    if (!w) return kUiErrBadHandle;
    bool ok = false;
    QStringList lines = TextBoxLines(w, &ok);
    if (!ok) return kUiErrNotSupported;
    const int at = InsertIndex(index, static_cast<int>(lines.size()));
    if (at < 0) return kUiErrOutOfRange;
    lines.insert(at, FromStd(text));
    SetTextBox(w, lines.join(QLatin1Char('\n')));
    return 0;
}

int QtToolkit::MessagePopup(const std::string& title, const std::string& message) {
    QMessageBox box(QMessageBox::Information, FromStd(title), FromStd(message), QMessageBox::Ok,
                    d_->PopupParent());
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}

int QtToolkit::ConfirmPopup(const std::string& title, const std::string& question) {
    QMessageBox box(QMessageBox::Question, FromStd(title), FromStd(question),
                    QMessageBox::Yes | QMessageBox::No, d_->PopupParent());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? 1 : 0;
}

int QtToolkit::FileSelectPopup(const std::string& defaultDirectory,
                               const std::string& defaultFileSpec, int buttonLabel,
                               std::string* chosenPath) {
    QString directory = QFile::decodeName(QByteArray::fromStdString(defaultDirectory));
    if (directory.isEmpty() || !QFileInfo(directory).isDir()) directory = QDir::currentPath();
    QStringList filters;
    const QString pattern = FromStd(defaultFileSpec);
    if (!pattern.isEmpty() && pattern != QLatin1String("*") && pattern != QLatin1String("*.*")) {
        const QString suffix = pattern.section(QLatin1Char('.'), -1);
        filters << (pattern.startsWith(QLatin1String("*.")) && !suffix.contains(QLatin1Char('*'))
                        ? QStringLiteral("%1 files (%2)").arg(suffix.toUpper(), pattern)
                        : QStringLiteral("Files (%1)").arg(pattern));
    }
    filters << QStringLiteral("All files (*)");

    const bool save = buttonLabel == FILE_SELECT_SAVE;
    QFileDialog dialog(d_->PopupParent(),
                       save ? QStringLiteral("Save file") : QStringLiteral("Load file"), directory);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    dialog.setLabelText(QFileDialog::Accept,
                        save ? QStringLiteral("Save") : QStringLiteral("Load"));
    if (save && pattern.startsWith(QLatin1String("*.")) && !pattern.mid(2).contains('*'))
        dialog.setDefaultSuffix(pattern.mid(2));
    if (dialog.exec() != QDialog::Accepted) return 0;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty()) return 0;
    if (chosenPath) *chosenPath = QFile::encodeName(files.first()).toStdString();
    return 1;
}

QWidget* QtToolkit::PanelWidget(int panel) const {
    Impl::Panel* p = d_->FindPanel(panel);
    return p ? p->window.data() : nullptr;
}

QWidget* QtToolkit::ControlWidget(int panel, int control) const {
    return d_->Control(panel, control);
}

QMenuBar* QtToolkit::MenuBarWidget(int menuBar) const {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    return m ? m->bar.data() : nullptr;
}

QAction* QtToolkit::MenuItemAction(int menuBar, int item) const {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return nullptr;
    auto it = m->items.find(item);
    return it == m->items.end() ? nullptr : it->second.data();
}

int QtToolkit::PanelMenuBar(int panel) const {
    for (auto& [handle, m] : d_->menuBars) {
        if (m.panel == panel && m.bar) return handle;
    }
    return 0;
}

}  // namespace vbc::platform
