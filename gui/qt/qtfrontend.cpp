#include "gui/qt/qtfrontend.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QKeyEvent>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "gui/qt/stationwindow.h"
#include "platform/jobstop.h"
#include "platform/serial.h"
#include "ui/mfl51mmi.h"
#include "ui/uirids.h"

namespace vbc::platform {
namespace {

// Longest entry, in characters, the selector itself makes room for; its list is wider.
constexpr int kSelectorChars = 22;

QString Path(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// What an entry names, and what the operator may want to know about it.
struct PortDevice {
    QString device;       // empty: nothing answers to the name
    QString description;  // for the tooltip
};

PortDevice Resolve(int port, const std::vector<PortInfo>& ports) {
    const std::string name = "COM" + std::to_string(port);
    const std::string resolved = ResolvePortName(name);
    if (resolved != name) {
        PortDevice d{Path(resolved), {}};
        for (const PortInfo& p : ports) {
            if (p.path == resolved) d.description = QString::fromStdString(p.description);
        }
        return d;
    }
    // A file or a link of that name in the working directory (a simulator's pseudo-terminal).
    std::error_code ec;
    const std::filesystem::path local(name);
    if (!std::filesystem::is_symlink(local, ec) && !std::filesystem::exists(local, ec)) return {};
    if (std::filesystem::is_symlink(local, ec)) {
        const std::filesystem::path target = std::filesystem::read_symlink(local, ec);
        if (!ec) {
            PortDevice d{Path(target.string()), QStringLiteral("Link %1 in the working directory")
                                                    .arg(QString::fromStdString(name))};
            if (!std::filesystem::exists(local, ec)) d.description += QStringLiteral(" (dangling)");
            return d;
        }
    }
    return {Path("./" + name), QStringLiteral("File in the working directory")};
}

QString EntryText(int port, const PortDevice& d) {
    const QString dash = QStringLiteral(" %1 ").arg(QChar(0x2014));
    return QStringLiteral("COM%1").arg(port) + dash +
           (d.device.isEmpty() ? QStringLiteral("no device") : d.device);
}

// Relabels the selector just before its list opens.
class PortFollower : public QObject {
  public:
    explicit PortFollower(QComboBox* selector) : QObject(selector), selector_(selector) {}

    bool eventFilter(QObject* o, QEvent* e) override {
        if (o == selector_ && OpensTheList(e)) ShowPortDevices(selector_);
        return false;
    }

  private:
    static bool OpensTheList(QEvent* e) {
        if (e->type() == QEvent::MouseButtonPress) return true;
        if (e->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(e);
        return key->key() == Qt::Key_F4 || key->key() == Qt::Key_Space ||
               ((key->modifiers() & Qt::AltModifier) &&
                (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up));
    }

    QComboBox* selector_;
};

// Qt's messages while the application starts: held, because a missing display shows as
// several warnings and then a fatal message, and the operator should get one line.
struct HeldMessage {
    QtMsgType type;
    const char* file;  // the context's texts are literals of the code that logged
    int line;
    const char* function;
    const char* category;
    QString text;
};

std::mutex g_startMutex;
std::vector<HeldMessage> g_held;

// The reason of a failed start: the platform plugin's own warning if it gave one.
QString StartFailureReason(const QString& fatal) {
    for (const HeldMessage& m : g_held) {
        if (m.category && std::strncmp(m.category, "qt.qpa", 6) == 0) {
            return QStringLiteral("%1: %2").arg(QLatin1String(m.category), m.text.simplified());
        }
    }
    return fatal.section(QLatin1Char('\n'), 0, 0).simplified();
}

void HoldStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (type != QtFatalMsg) {
        g_held.push_back(
            {type, context.file, context.line, context.function, context.category, text});
        return;
    }
    // Qt aborts once this returns: the program ends here, with its own status.
    const QByteArray line =
        QStringLiteral(
            "vbcflash: cannot open the display (%1); set DISPLAY or WAYLAND_DISPLAY "
            "to a running display, or use vbcflash-cli\n")
            .arg(StartFailureReason(text))
            .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
    std::_Exit(kExitNoDisplay);
}

}  // namespace

std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv) {
    const QtMessageHandler previous = qInstallMessageHandler(HoldStartMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    std::vector<HeldMessage> held;
    {
        std::lock_guard<std::mutex> lock(g_startMutex);
        held.swap(g_held);
    }
    for (const HeldMessage& m : held) {
        const QMessageLogContext context(m.file, m.line, m.function, m.category);
        qt_message_output(m.type, context, m.text);
    }
    return app;
}

QString PortEntryText(int port, const std::vector<PortInfo>& ports) {
    return EntryText(port, Resolve(port, ports));
}

bool PortHasDevice(int port, const std::vector<PortInfo>& ports) {
    const PortDevice d = Resolve(port, ports);
    std::error_code ec;
    return !d.device.isEmpty() && std::filesystem::exists(d.device.toStdString(), ec);
}

void ShowPortDevices(QComboBox* selector) {
    if (!selector) return;
    const std::vector<PortInfo> ports = ListSerialPorts();
    for (int i = 0; i < selector->count(); ++i) {
        bool ok = false;
        const int port = selector->itemData(i).toInt(&ok);
        if (!ok || port <= 0) continue;
        const PortDevice d = Resolve(port, ports);
        selector->setItemText(i, EntryText(port, d));
        selector->setItemData(i, d.description.isEmpty() ? d.device : d.description,
                              Qt::ToolTipRole);
    }
    // Long device paths widen the list, not the panel.
    if (QAbstractItemView* view = selector->view()) {
        view->setMinimumWidth(
            std::max(selector->width(), view->sizeHintForColumn(0) + 2 * view->frameWidth() + 8));
    }
}

void FollowPortDevices(QComboBox* selector) {
    if (!selector) return;
    selector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    selector->setMinimumContentsLength(kSelectorChars);
    ShowPortDevices(selector);
    selector->installEventFilter(new PortFollower(selector));
}

FrontEndToolkit::FrontEndToolkit() {
    SetJobWaitHook([] { vbc::ProcessSystemEvents(); });
    SetStationWindowOpener(OpenStationWindow);
}

FrontEndToolkit::~FrontEndToolkit() {
    SetStationWindowOpener(nullptr);
    DestroyStationWindow();
    SetJobWaitHook(nullptr);
}

int FrontEndToolkit::LoadPanel(int parentPanel, const std::string& resourceFile,
                               int panelResourceId) {
    const int handle = QtToolkit::LoadPanel(parentPanel, resourceFile, panelResourceId);
    if (handle > 0 && resourceFile == kMmiUir && panelResourceId == PANEL_MAIN) {
        FollowPortDevices(qobject_cast<QComboBox*>(ControlWidget(handle, MAIN_PORT)));
    }
    return handle;
}

}  // namespace vbc::platform
