// Drives the real vbcflash GUI against the simulated phone and saves what the operator sees:
// the main panel at rest, a download in progress, the success panel, an error panel and the
// service panel after a switch on. Run under a display (scripts/screenshots.sh uses Xvfb):
//
//   vbcflash_screenshots OUTPUT_DIRECTORY
//
// Each picture is the part of the screen that holds the program's windows, as they stand.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWindow>
#include <cstdio>

#include "tests/gui/guisession.h"

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

// The screen around the program's visible windows, with a margin, saved as name.png.
void Shoot(const char* name) {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->property("vbcPanelHandle").isValid()) area |= w->frameGeometry();
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
    } else {
        Fail("no service panel");
    }
    phone->Stop();
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
