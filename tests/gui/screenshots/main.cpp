// Drives the real vbcflash GUI against the simulated phone and saves what the operator sees:
// the main panel at rest, a download in progress, the success panel, an error panel and the
// service panel after a switch on; the station window during and after a run of four phones.
// Run under a display (scripts/screenshots.sh uses Xvfb):
//
//   vbcflash_screenshots OUTPUT_DIRECTORY
//
// Each picture is the part of the screen that holds the program's windows, as they stand.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "gui/qt/stationwindow.h"
#include "platform/serial.h"
#include "tests/gui/guisession.h"
#include "ui/mfl51mmi.h"

namespace vbc::test {
namespace {

constexpr int kMargin = 24;
constexpr std::size_t kSoftwareSize = 160 * 1024;  // about 15 s on the paced line

QString gOutput;
int gFailures = 0;

void Fail(const char* what) {
    std::fprintf(stderr, "vbcflash_screenshots: %s\n", what);
    ++gFailures;
}

// Lets the window system catch up: shown windows mapped, placed and painted.
void Settle(int ms = 300) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QApplication::sendPostedEvents();
    }
}

// The screen around the program's visible windows (or only the one given), with a margin, saved
// as name.png.
void Shoot(const char* name, QWidget* only = nullptr) {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && (only ? w == only : w->property("vbcPanelHandle").isValid()))
            area |= w->frameGeometry();
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (area.isEmpty() || !screen) {
        Fail("nothing to shoot");
        return;
    }
    area = area.adjusted(-kMargin, -kMargin, kMargin, kMargin) & screen->geometry();
    const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = QDir(gOutput).filePath(QString::fromLatin1(name) + ".png");
    if (shot.isNull() || !shot.save(path)) {
        Fail("cannot save a screenshot");
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// A plain backdrop below every window, so that the pictures show the program, not the
// bare display.
class Desktop : public QWidget {
  public:
    Desktop() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        QPalette p = palette();
        p.setColor(QPalette::Window, QColor(0x3B, 0x4A, 0x5A));
        setPalette(p);
        setAutoFillBackground(true);
        if (QScreen* screen = QGuiApplication::primaryScreen()) setGeometry(screen->geometry());
        show();
        lower();
    }
};

void ClickOk(const char* panel) {
    if (QAbstractButton* ok = GuiProgram::PanelButton(GuiProgram::Window(panel), 2)) {
        ok->click();
    } else {
        Fail("no OK button");
    }
    Settle();
}

// The working directory of the session, under a plain name since the file box shows it.
class WorkDir {
  public:
    WorkDir() : old_(std::filesystem::current_path()) {
        path_ = std::filesystem::temp_directory_path() / "vbcflash-demo";
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        std::filesystem::current_path(path_);
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path old_;
    std::filesystem::path path_;
};

// Waits, the window live, until done or the time runs out.
bool SettleUntil(const std::function<bool()>& done, int ms = 120'000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// The station window with four paced phones: during the writing, and after the run, in which
// the phone on COM3 fails on a sector near the end of the software.
void ShootStation(GuiProgram& program) {
    std::vector<std::unique_ptr<sim::Simulator>> phones(5);
    auto start = [&phones](int n, bool silent) {
        sim::SimulatorOptions options;
        options.pace = true;
        options.once = !silent;
        options.linkName = "COM" + std::to_string(n);
        options.phone.faults.neverAnswer = silent;  // the port then waits for the next phone
        std::string why;
        if (n == 3 && !silent && !options.phone.faults.badChecksum.Parse("9:*", false, &why))
            Fail("fault");
        if (phones[n]) phones[n]->Stop();
        phones[n] = std::make_unique<sim::Simulator>(options);
        if (!phones[n]->Start(&why)) Fail("a simulator does not start");
    };
    // Silent boot loaders hold the ports until the units are given; then the phones come.
    for (int n = 1; n <= 4; ++n) start(n, true);
    platform::SetStationWorkerProgram(VBC_CLI_PATH);
    if (QAction* item = program.MenuItem(MENU_ITEM_STATION)) item->trigger();
    platform::StationWindow* window = platform::CurrentStationWindow();
    if (!window) return Fail("no station window");
    for (int n = 1; n <= 4; ++n) window->PortBox(n)->setChecked(true);
    window->StartButton()->click();
    // A scanner gives each port's next phone its unit, typed into the tile.
    for (int n = 1; n <= 4; ++n) {
        QLineEdit* unit = window->UnitEdit(n);
        if (!unit) return Fail("no unit field");
        unit->setText(QStringLiteral("35209100%1").arg(421770 + 13 * n));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(unit, &enter);
    }
    for (int n = 1; n <= 4; ++n) start(n, false);
    auto tiles = [window](const std::function<bool(const platform::StationTileView&)>& all) {
        const auto views = window->Tiles();
        return !views.empty() && std::all_of(views.begin(), views.end(), all);
    };
    if (!SettleUntil([&] {
            return tiles([](const auto& t) { return t.state == "writing" && t.percent >= 45; });
        })) {
        Fail("the station's phones did not all write");
    }
    Settle();
    Shoot("station-writing", window);
    if (!SettleUntil([&] {
            for (int n = 1; n <= 4; ++n) {
                if (!phones[n]->Running()) start(n, true);
            }
            return tiles([](const auto& t) { return t.state == "passed" || t.state == "failed"; });
        })) {
        Fail("the station's run did not end");
    }
    Settle(1500);
    Shoot("station-done", window);
    window->StopButton()->click();
    SettleUntil([window] { return !window->Running(); });
    window->close();
    for (int n = 1; n <= 4; ++n) phones[n]->Stop();
}

int Run() {
    WorkDir dir;
    CopyExamples(true);
    Desktop desktop;

    sim::SimulatorOptions options;
    options.pace = true;  // the line's own time, so that a download can be seen going
    std::string why;
    std::unique_ptr<sim::Simulator> phone = StartPhone(options, &why);
    if (!phone) {
        std::fprintf(stderr, "vbcflash_screenshots: the simulator does not start: %s\n",
                     why.c_str());
        return 1;
    }

    GuiProgram program;
    QWidget* main = program.Main();
    if (!main) return 1;
    main->move(kMargin * 4, kMargin * 3);
    Settle();

    // At rest, a file loaded and the settings chosen.
    WriteFile("handset_v4.2.cla", SoftwareImage(kSoftwareSize));
    program.LoadSoftware((dir.path() / "handset_v4.2.cla").string());
    Settle();
    Shoot("main");

    // During the download: once the bar has well started.
    bool shot = false;
    auto* progress = program.Control<QProgressBar>(MAIN_PROGRESS_B);
    program.tk.onPump = [&] {
        if (shot || !progress || progress->value() < 40) return;
        shot = true;
        Settle(200);
        Shoot("download");
    };
    program.Button(MAIN_START)->click();
    program.tk.onPump = nullptr;
    if (!shot) Fail("the download ended before it could be shot");
    Settle();
    if (GuiProgram::Window("SuccessPanel")) {
        Shoot("success");
        ClickOk("SuccessPanel");
    } else {
        Fail("no success panel");
    }
    phone->Stop();

    // A phone whose flash flash.txt does not describe.
    options.unlistedFlash = true;
    phone = StartPhone(options, &why);
    if (!phone) return 1;
    program.Button(MAIN_START)->click();
    Settle();
    if (GuiProgram::Window("FlashFileErrPanel")) {
        Shoot("error");
        ClickOk("FlashFileErrPanel");
    } else {
        Fail("no error panel");
    }
    phone->Stop();

    // The service panel after a switch on.
    options.unlistedFlash = false;
    phone = StartPhone(options, &why);
    if (!phone) return 1;
    if (QAction* service = program.MenuItem(150)) service->trigger();
    Settle();
    QWidget* panel = GuiProgram::Window("ServicePanel");
    if (panel) {
        panel->move(main->frameGeometry().right() - panel->width() / 2,
                    main->frameGeometry().top() + kMargin * 2);
        if (QAbstractButton* on = GuiProgram::PanelButton(panel, SERVICE_SWITCH_ON)) on->click();
        Settle();
        Shoot("service");
        if (QAbstractButton* off = GuiProgram::PanelButton(panel, SERVICE_SWITCH_OFF)) {
            off->click();
        }
        // Switch off leaves the program holding COM1, which the station window then refuses.
        CloseCom(1);
    } else {
        Fail("no service panel");
    }
    phone->Stop();
    if (panel) panel->close();
    Settle();
    ShootStation(program);
    return gFailures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vbc::test

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vbcflash_screenshots OUTPUT_DIRECTORY\n");
        return 2;
    }
    vbc::test::gOutput = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(vbc::test::gOutput)) return 1;
    return vbc::test::Run();
}
