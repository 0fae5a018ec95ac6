// The whole program on real widgets (offscreen): start-up with and without flash.txt, a file
// loaded through the dialog, whole Start jobs against the simulated phone (what the operator
// sees before, during and after), error results with their exact texts, and the service
// panel's switch on and off.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSpinBox>
#include <QTest>
#include <algorithm>
#include <set>

#include "platform/uniquefd.h"
#include "tests/gui/guisession.h"
#include "ui/mfl51mmi.h"

namespace vbc::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMainFlash = " Flash ST M36DR864CB";
constexpr const char* kUnknownFlash =
    "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)";

// The examples in a scratch directory; the phone and the program are started by each test.
class Gui : public ::testing::Test {
  protected:
    Gui() { CopyExamples(true); }
    ~Gui() override {
        program.reset();
        if (phone) phone->Stop();
    }

    void StartPhone(sim::SimulatorOptions options = {}) {
        std::string why;
        phone = test::StartPhone(options, &why);
        ASSERT_TRUE(phone) << why;
    }
    void StartProgram() { program = std::make_unique<GuiProgram>(); }
    GuiProgram& P() { return *program; }

    // A software file in the working directory, loaded as after the file dialog.
    std::string Load(std::size_t size) {
        software = SoftwareImage(size);
        WriteFile("phone.cla", software);
        P().LoadSoftware((dir.path() / "phone.cla").string());
        EXPECT_EQ(_sg_DownloadContext.fileSize, static_cast<std::int32_t>(size));
        return software;
    }
    void ClickStart() { QTest::mouseClick(P().Button(MAIN_START), Qt::LeftButton); }

    ScratchDir dir;
    std::unique_ptr<sim::Simulator> phone;
    std::unique_ptr<GuiProgram> program;
    std::string software;
};

TEST_F(Gui, StartUpWithFlashTxtShowsTheMainPanelAtRest) {
    StartPhone();
    StartProgram();
    EXPECT_EQ(P().flashTxtStatus, 1);
    ASSERT_TRUE(P().Main());
    EXPECT_TRUE(P().Main()->isVisible());
    EXPECT_EQ(P().Comments()->count(), 0);
    EXPECT_FALSE(P().Led(MAIN_CPU_LED)->IsLit());
    EXPECT_FALSE(P().Led(MAIN_FLASH_LED)->IsLit());
    ASSERT_TRUE(P().Control<QProgressBar>(MAIN_PROGRESS_B));
    EXPECT_EQ(P().Control<QProgressBar>(MAIN_PROGRESS_B)->value(), 0);
    ASSERT_TRUE(P().MenuBar());
    EXPECT_TRUE(P().MenuBar()->isVisible());
    EXPECT_TRUE(P().Unlocked());
    ASSERT_TRUE(P().MenuItem(150));
    // The main panel is the one window: no message panel at start-up.
    int windows = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) windows += w->isVisible() ? 1 : 0;
    EXPECT_EQ(windows, 1);

    // Each port entry names the device it stands for and keeps its port number as value.
    auto* ports = P().Control<QComboBox>(MAIN_PORT);
    ASSERT_TRUE(ports);
    ASSERT_EQ(ports->count(), 8);
    const std::string first = ports->itemText(0).toStdString();
    EXPECT_EQ(first, "COM1 \u2014 " + phone->SlavePath());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ports->itemData(i).toInt(), i + 1);
        EXPECT_TRUE(ports->itemText(i).startsWith(QStringLiteral("COM%1 \u2014 ").arg(i + 1)));
    }
    // A device that appears later is shown when the operator opens the list.
    std::filesystem::create_symlink(phone->SlavePath(), "COM5");
    QTest::mouseClick(ports, Qt::LeftButton);
    EXPECT_EQ(ports->itemText(4).toStdString(), "COM5 \u2014 " + phone->SlavePath());
    ports->hidePopup();
}

// The lock dims the menu bar where it is: the window and its content stay put, the bar keeps
// its handle, and no item answers, by mouse or by shortcut, until the unlock.
TEST_F(Gui, TheLockDimsTheMenuBarInPlaceAndNoItemAnswers) {
    StartProgram();
    const int bar = _v_MenuBarHandle;
    const GuiProgram::Frame frame = P().CurrentFrame();
    std::vector<QPointer<QAction>> items;  // a bar taken away would take them along
    for (QAction* a : P().MenuBar()->findChildren<QAction*>()) {
        if (a->property("itemId").isValid()) items.push_back(a);
    }
    ASSERT_EQ(items.size(), 36u);
    for (int cs = 0; cs < 4; ++cs) {
        for (int n = 0; n < 5; ++n) EXPECT_EQ(P().MenuItem(110 + 10 * cs + n)->isChecked(), n == 0);
    }
    for (int row = 0; row <= 8; ++row)
        EXPECT_EQ(P().MenuItem(LineSpeedItem(row))->isChecked(), row == 1);
    EXPECT_TRUE(P().MenuItem(MENU_ITEM_VERIFY)->isCheckable());
    EXPECT_FALSE(P().MenuItem(MENU_ITEM_VERIFY)->isChecked());

    _mfl52_5LockDuringDownload();
    QApplication::processEvents();
    EXPECT_TRUE(P().Locked());
    EXPECT_EQ(_v_MenuBarHandle, bar);
    EXPECT_TRUE(P().CurrentFrame() == frame);
    for (const QPointer<QAction>& a : items) {
        ASSERT_TRUE(a);
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
        // Save log would open its dialog: its being disabled is the check.
        if (a->property("itemId").toInt() != 103) a->trigger();
    }
    P().Main()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(P().Main()));
    QTest::keyClick(P().Main(), Qt::Key_S, Qt::ControlModifier);  // Save configuration
    QTest::keyClick(P().Main(), Qt::Key_R, Qt::ControlModifier);  // Restore configuration
    EXPECT_TRUE(P().CommentLines().empty());
    EXPECT_FALSE(std::filesystem::exists("config.txt"));
    EXPECT_TRUE(GuiProgram::Windows("ServicePanel").empty());
    EXPECT_TRUE(GuiProgram::Windows("ConfFileErrPanel").empty());
    for (int cs = 0; cs < 4; ++cs) EXPECT_EQ(_sg_DownloadContext.csWaitStates[cs], 0);
    EXPECT_EQ(_sg_DownloadContext.speedIndex, 1);

    _mfl52_6UnlockAfterDownload();
    QApplication::processEvents();
    EXPECT_TRUE(P().Unlocked());
    EXPECT_EQ(_v_MenuBarHandle, bar);
    EXPECT_TRUE(P().CurrentFrame() == frame);
    P().MenuItem(132)->trigger();
    EXPECT_EQ(P().CommentLines(), std::vector<std::string>{" 2 wait state on the chip select 2 "});
    EXPECT_TRUE(P().MenuItem(132)->isChecked());
    EXPECT_FALSE(P().MenuItem(130)->isChecked());
}

TEST_F(Gui, StartUpWithoutFlashTxtShowsItsPanelAndTheMainPanelStillWorks) {
    std::filesystem::remove("flash.txt");
    StartProgram();
    EXPECT_EQ(P().flashTxtStatus, 2);
    EXPECT_EQ(GuiProgram::MessageText("FlashFileErrPanel"),
              "FLASH DESCRIPTION : The file flash.txt not found");
    ASSERT_TRUE(P().Main()->isVisible());

    // The main panel takes commands meanwhile: a wait-state item, a product type.
    QAction* item = P().MenuItem(132);
    ASSERT_TRUE(item);
    item->trigger();
    EXPECT_EQ(P().CommentLines(), std::vector<std::string>{" 2 wait state on the chip select 2 "});
    EXPECT_EQ(_sg_DownloadContext.csWaitStates[2], 2);
    auto* type = P().Control<QComboBox>(MAIN_PRODUCT_TYPE);
    type->setCurrentIndex(type->findData(1));
    EXPECT_EQ(_sg_DownloadContext.productType, 1);

    // Its OK button removes it.
    QTest::mouseClick(GuiProgram::PanelButton(GuiProgram::Window("FlashFileErrPanel"), 2),
                      Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(GuiProgram::Windows("FlashFileErrPanel").empty());
}

TEST_F(Gui, LoadFileThroughTheDialog) {
    StartProgram();
    const std::string bytes = SoftwareImage(5000);
    WriteFile("phone.cla", bytes);
    const std::string path = (dir.path() / "phone.cla").string();

    // Cancelled: nothing is loaded.
    AnswerModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
    QTest::mouseClick(P().Button(MAIN_LOAD_FILE), Qt::LeftButton);
    EXPECT_EQ(_sg_DownloadContext.fileSize, 0);
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);

    std::string filter;
    AnswerModal<QFileDialog>([&](QFileDialog* d) {
        filter = d->nameFilters().join("|").toStdString();
        d->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(d)->accept();
    });
    QTest::mouseClick(P().Button(MAIN_LOAD_FILE), Qt::LeftButton);
    EXPECT_NE(filter.find("*.cla"), std::string::npos) << filter;
    EXPECT_EQ(std::string(_sg_DownloadContext.claFileName), path);
    ASSERT_EQ(_sg_DownloadContext.fileSize, 5000);
    EXPECT_EQ(std::memcmp(_sg_DownloadContext.fileBuffer, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(P().Control<QLineEdit>(MAIN_FILE_NAME)->text().toStdString(), path);
    EXPECT_EQ(P().Control<QSpinBox>(MAIN_FILE_SIZE)->value(), 5000);
    EXPECT_TRUE(P().Unlocked());
    EXPECT_TRUE(P().Button(MAIN_START)->isEnabled());
}

// vbcflash FILE.cla, as the desktop entry starts it for a file: the program comes up with the
// file loaded, ready to Start; a file that cannot be loaded gives Load file's message.
TEST_F(Gui, TheSoftwareFileArgumentIsLoadedAtStart) {
    WriteFile("soft.cla", SoftwareImage(5000));
    for (const std::string file : {"soft.cla", "missing.cla"}) {
        SCOPED_TRACE(file);
        test::ResetProgramState();
        // What the operator sees once the event loop would run.
        struct AtLoop : ObservedToolkit {
            std::function<void()> look;
            int RunUserInterface() override {
                look();
                return 0;
            }
        } tk;
        platform::SetToolkit(&tk);
        std::string name;
        int size = -1;
        bool startEnabled = false;
        std::string libPc;
        tk.look = [&] {
            name = qobject_cast<QLineEdit*>(tk.ControlWidget(_v_Panel, MAIN_FILE_NAME))
                       ->text()
                       .toStdString();
            size = qobject_cast<QSpinBox*>(tk.ControlWidget(_v_Panel, MAIN_FILE_SIZE))->value();
            startEnabled = tk.ControlWidget(_v_Panel, MAIN_START)->isEnabled();
            libPc = GuiProgram::MessageText("LibPcErrPanel");
        };
        std::string arg0 = "vbcflash", arg1 = file;
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        EXPECT_EQ(_main(2, argv, file.c_str()), 0);
        EXPECT_EQ(name, (dir.path() / file).string());
        if (file == "soft.cla") {
            EXPECT_EQ(size, 5000);
            EXPECT_TRUE(startEnabled);
            EXPECT_EQ(libPc, "");
        } else {
            EXPECT_EQ(size, 0);
            EXPECT_EQ(libPc, "LIB_PC : File not found");
        }
        platform::SetToolkit(nullptr);
    }
    test::ResetProgramState();
}

TEST_F(Gui, StartWithoutAFileAsksForOne) {
    StartProgram();
    std::string seen;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        seen = (box->windowTitle() + "|" + box->text()).toStdString();
        box->accept();
    });
    ClickStart();
    EXPECT_EQ(seen, "DOWNLOAD|PLEASE LOAD A FILE BEFORE START");
    EXPECT_TRUE(P().Unlocked());
    EXPECT_EQ(P().Comments()->count(), 0);
}

// Restore shows the port and the product type the job will use, also values the selectors
// do not list, which get an entry of their own (once).
TEST_F(Gui, RestoreShowsThePortAndProductTypeInTheirSelectors) {
    StartProgram();
    WriteFile("phone.cla", "X");
    auto* port = P().Control<QComboBox>(MAIN_PORT);
    auto* product = P().Control<QComboBox>(MAIN_PRODUCT_TYPE);
    ASSERT_TRUE(port && product);
    const int ports = port->count();
    const int products = product->count();
    struct Case {
        int port, productType;
        const char* productText;
        int addedPorts, addedProducts;  // entries added since the start
    };
    for (const Case& c :
         {Case{3, 1, "Type 1 (bootstrap mfl104_4.spm)", 0, 0}, Case{12, 0, "Type 0", 1, 1},
          Case{8, 2, "Type 2 (bootstrap mfl104_5.spm)", 1, 1}, Case{12, 0, "Type 0", 1, 1},
          Case{255, 1, "Type 1 (bootstrap mfl104_4.spm)", 2, 1}}) {
        SCOPED_TRACE(c.port);
        WriteFile("config.txt",
                  Crlf({"CLA File : phone.cla", "COM : " + std::to_string(c.port), "PMU : 0",
                        "Product Type : " + std::to_string(c.productType), "Download Type : 0"}));
        P().MenuItem(100)->trigger();
        EXPECT_EQ(_sg_DownloadContext.comPort, c.port);
        EXPECT_EQ(port->currentData().toInt(), c.port);
        const QString portText = port->currentText();
        EXPECT_TRUE(portText == QStringLiteral("COM%1").arg(c.port) ||
                    portText.startsWith(QStringLiteral("COM%1 ").arg(c.port)))
            << portText.toStdString();
        EXPECT_EQ(product->currentData().toInt(), c.productType);
        EXPECT_EQ(product->currentText().toStdString(), c.productText);
        EXPECT_EQ(port->count(), ports + c.addedPorts);
        EXPECT_EQ(product->count(), products + c.addedProducts);
    }
    EXPECT_TRUE(GuiProgram::Windows("ConfFileErrPanel").empty());
}

TEST_F(Gui, AWholeJobAgainstThePhone) {
    StartPhone();
    StartProgram();
    Load(3 * 65536 + 1234);  // eight 8 KiB sectors, then 64 KiB ones

    // What the operator sees while the phone is booted, and while the sectors go out.
    const GuiProgram::Frame frame = P().CurrentFrame();
    struct {
        int turnOnShown = 0;
        bool frameKept = true;
        bool lockedAtBoot = false;
        bool ledsOffAtBoot = false;
        int pumpsInTransfer = 0;
        int paintsInTransfer = 0;
        std::set<int> progressPainted;
        bool lockedInTransfer = true;
        bool turnOnGoneInTransfer = true;
    } seen;
    auto* progress = P().Control<QProgressBar>(MAIN_PROGRESS_B);
    ASSERT_TRUE(progress);
    auto inTransfer = [&] { return progress->value() > 0 && progress->value() < 100; };
    EventWatcher watcher;
    watcher.onWindowShown = [&](QWidget* w) {
        if (w->objectName() != QLatin1String("TurnOnPanel")) return;
        ++seen.turnOnShown;
        seen.lockedAtBoot = P().Locked();
        seen.frameKept = seen.frameKept && P().CurrentFrame() == frame;
        seen.ledsOffAtBoot = !P().Led(MAIN_CPU_LED)->IsLit() && !P().Led(MAIN_FLASH_LED)->IsLit();
    };
    watcher.onPaint = [&](QWidget* w) {
        if (w->window() != P().Main() || !inTransfer()) return;
        ++seen.paintsInTransfer;
        if (w == progress) seen.progressPainted.insert(progress->value());
    };
    P().tk.onPump = [&] {
        if (!inTransfer()) return;
        ++seen.pumpsInTransfer;
        seen.lockedInTransfer = seen.lockedInTransfer && P().Locked();
        seen.frameKept = seen.frameKept && P().CurrentFrame() == frame;
        seen.turnOnGoneInTransfer =
            seen.turnOnGoneInTransfer && GuiProgram::Windows("TurnOnPanel").empty();
    };

    ClickStart();

    EXPECT_EQ(seen.turnOnShown, 1);
    EXPECT_TRUE(seen.lockedAtBoot);
    EXPECT_TRUE(seen.ledsOffAtBoot);
    EXPECT_GT(seen.pumpsInTransfer, 0);
    EXPECT_GT(seen.paintsInTransfer, 0);
    EXPECT_GE(seen.progressPainted.size(), 2u);  // the bar moved on screen, not just in memory
    EXPECT_TRUE(seen.lockedInTransfer);
    EXPECT_TRUE(seen.turnOnGoneInTransfer);
    EXPECT_TRUE(seen.frameKept);
    EXPECT_TRUE(P().CurrentFrame() == frame);

    // The success panel, the LEDs lit and labelled, the panel unlocked, the job's lines.
    ASSERT_TRUE(GuiProgram::Window("SuccessPanel"));
    EXPECT_TRUE(GuiProgram::Windows("TurnOnPanel").empty());
    EXPECT_TRUE(P().Led(MAIN_CPU_LED)->IsLit());
    EXPECT_TRUE(P().Led(MAIN_FLASH_LED)->IsLit());
    EXPECT_EQ(P().Led(MAIN_CPU_LED)->Label().toStdString(), "BOOT FROM A VBC4410");
    EXPECT_EQ(P().Led(MAIN_FLASH_LED)->Label().toStdString(), kMainFlash);
    EXPECT_EQ(progress->value(), 100);
    EXPECT_TRUE(P().Unlocked());
    const std::vector<std::string> lines = P().CommentLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(), " Download sector by sector "), lines.end());
    EXPECT_EQ(lines.back(), " You do not need to remove the battery to start the mobile ");
    // The list shows its last line.
    EXPECT_EQ(P().Comments()->currentRow(), P().Comments()->count() - 1);

    // The phone got the software and was switched off; the port is released.
    ASSERT_TRUE(phone->WaitJobDone(10s));
    const sim::JobReport job = phone->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff) << ::testing::PrintToString(job.notes);
    const std::vector<std::uint8_t> flash = phone->FlashImage();
    ASSERT_GE(flash.size(), software.size());
    EXPECT_TRUE(
        std::equal(software.begin(), software.end(), flash.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));

    // The LEDs stay lit until OK.
    QApplication::processEvents();
    EXPECT_TRUE(P().Led(MAIN_CPU_LED)->IsLit());
    QTest::mouseClick(GuiProgram::PanelButton(GuiProgram::Window("SuccessPanel"), 2),
                      Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(GuiProgram::Windows("SuccessPanel").empty());
    EXPECT_FALSE(P().Led(MAIN_CPU_LED)->IsLit());
    EXPECT_FALSE(P().Led(MAIN_FLASH_LED)->IsLit());
    EXPECT_EQ(progress->value(), 0);
    // The labels keep their text.
    EXPECT_EQ(P().Led(MAIN_FLASH_LED)->Label().toStdString(), kMainFlash);
}

// The Line speed menu sets the row the next job runs at: both ends of the line at its rate.
TEST_F(Gui, TheLineSpeedMenuSetsTheRowOfTheJob) {
    StartPhone();
    StartProgram();
    Load(20000);
    QAction* row8 = P().MenuItem(LineSpeedItem(8));
    ASSERT_TRUE(row8);
    EXPECT_EQ(row8->text().toStdString(), "Row &8: 302325 bit/s");
    row8->trigger();
    EXPECT_EQ(_sg_DownloadContext.speedIndex, 8);
    EXPECT_TRUE(row8->isChecked());
    EXPECT_FALSE(P().MenuItem(LineSpeedItem(1))->isChecked());
    EXPECT_EQ(P().CommentLines().back(), " Line speed: 302325 bit/s (row 8) ");

    ClickStart();
    ASSERT_TRUE(GuiProgram::Window("SuccessPanel"));
    ASSERT_TRUE(phone->WaitJobDone(10s));
    const sim::JobReport job = phone->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff) << ::testing::PrintToString(job.notes);
    EXPECT_EQ(job.pcRate, 302325);
    EXPECT_EQ(job.phoneRate, 302325);
    EXPECT_TRUE(job.notes.empty()) << job.notes.front();
}

TEST_F(Gui, AFlashThatFlashTxtDoesNotDescribeEndsOnItsPanel) {
    sim::SimulatorOptions options;
    options.unlistedFlash = true;
    StartPhone(options);
    StartProgram();
    Load(20000);
    ClickStart();
    EXPECT_EQ(GuiProgram::MessageText("FlashFileErrPanel"), kUnknownFlash);
    EXPECT_TRUE(GuiProgram::Windows("SuccessPanel").empty());
    EXPECT_TRUE(P().Unlocked());
    // The boot found the phone: the CPU LED is lit until the panel's OK. The flash is named by
    // its codes and its lamp stays dark.
    EXPECT_TRUE(P().Led(MAIN_CPU_LED)->IsLit());
    EXPECT_FALSE(P().Led(MAIN_FLASH_LED)->IsLit());
    EXPECT_TRUE(P().Led(MAIN_FLASH_LED)->Label().startsWith(" Flash unknown (manufacturer 0x"))
        << P().Led(MAIN_FLASH_LED)->Label().toStdString();
    ASSERT_TRUE(phone->WaitJobDone(10s));
    EXPECT_EQ(phone->LastJob().sectorWrites, 0);
    QTest::mouseClick(GuiProgram::PanelButton(GuiProgram::Window("FlashFileErrPanel"), 2),
                      Qt::LeftButton);
    EXPECT_FALSE(P().Led(MAIN_CPU_LED)->IsLit());
}

// A pseudo-terminal on COM1 with nobody at the other end.
class SilentLine {
  public:
    SilentLine() {
        master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY));
        if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0)
            return;
        const char* slave = ::ptsname(master_.Get());
        if (slave) std::filesystem::create_symlink(slave, "COM1");
    }
    bool Ok() const { return master_.Valid() && std::filesystem::is_symlink("COM1"); }

  private:
    platform::UniqueFd master_;
};

// The operator stops a job: Stop while the sectors go out, Cancel while the phone is awaited.
// Either ends at once on the stopped panel, the port released and the window unlocked.
TEST_F(Gui, StopAndCancelEndTheJobAtOnce) {
    const std::string stopped =
        "Download stopped: the phone's flash may hold part of the software. Run it again before "
        "use.";
    for (const bool duringTransfer : {true, false}) {
        SCOPED_TRACE(duringTransfer ? "Stop during the transfer" : "Cancel during the boot");
        std::unique_ptr<SilentLine> silent;
        if (duringTransfer) {
            StartPhone();
        } else {
            silent = std::make_unique<SilentLine>();
            ASSERT_TRUE(silent->Ok());
        }
        StartProgram();
        Load(3 * 65536 + 1234);
        auto* progress = P().Control<QProgressBar>(MAIN_PROGRESS_B);
        auto* transfer = P().Control<QLabel>(MAIN_TRANSFER_TEXT);
        ASSERT_TRUE(progress && transfer);
        EXPECT_FALSE(P().Button(MAIN_STOP)->isEnabled());
        bool pressed = false;
        bool stopLive = false;
        std::string figures;
        P().tk.onPump = [&] {
            if (pressed) return;
            if (duringTransfer && progress->value() > 0 && progress->value() < 100) {
                figures = transfer->text().toStdString();
                stopLive = P().Button(MAIN_STOP)->isEnabled();
                pressed = true;
                QTest::mouseClick(P().Button(MAIN_STOP), Qt::LeftButton);
            } else if (!duringTransfer && P().tk.pumps > 3) {
                QWidget* turnOn = GuiProgram::Window("TurnOnPanel");
                if (!turnOn) return;
                stopLive = P().Button(MAIN_STOP)->isEnabled();
                pressed = true;
                QTest::mouseClick(GuiProgram::PanelButton(turnOn, TURN_ON_CANCEL), Qt::LeftButton);
            }
        };
        const auto started = std::chrono::steady_clock::now();
        ClickStart();
        // The boot would wait a minute for a phone that never answers.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

        EXPECT_TRUE(pressed);
        EXPECT_TRUE(stopLive);
        EXPECT_EQ(GuiProgram::MessageText("GenericErrPanel"), stopped);
        EXPECT_TRUE(GuiProgram::Windows("TurnOnPanel").empty());
        EXPECT_TRUE(P().Unlocked());
        EXPECT_FALSE(P().Button(MAIN_STOP)->isEnabled());
        if (duringTransfer) {
            EXPECT_THAT(figures, ::testing::MatchesRegex("[0-9]+/197842 bytes, .* elapsed"));
            ASSERT_TRUE(phone->WaitJobDone(10s));
            EXPECT_EQ(phone->LastJob().end, sim::JobEnd::kPcClosed);
            phone->Stop();
            phone.reset();
        }
        QTest::mouseClick(GuiProgram::PanelButton(GuiProgram::Window("GenericErrPanel"), 2),
                          Qt::LeftButton);
        program.reset();
    }
}

TEST_F(Gui, APhoneThatNeverAnswersEndsOnTheTimeOutPanel) {
    SilentLine line;
    ASSERT_TRUE(line.Ok());
    StartProgram();
    Load(1000);
    int turnOn = 0;
    EventWatcher watcher;
    watcher.onWindowShown = [&](QWidget* w) {
        turnOn += w->objectName() == QLatin1String("TurnOnPanel") ? 1 : 0;
    };
    ClickStart();
    EXPECT_EQ(turnOn, 1);
    EXPECT_TRUE(GuiProgram::Window("TimeoutPanel"));
    EXPECT_TRUE(GuiProgram::Windows("BootErrPanel").empty());
    EXPECT_TRUE(GuiProgram::Windows("TurnOnPanel").empty());
    EXPECT_FALSE(P().Led(MAIN_CPU_LED)->IsLit());
    EXPECT_TRUE(P().Unlocked());
}

TEST_F(Gui, ServicePanelSwitchesThePhoneOnAndOff) {
    StartPhone();
    StartProgram();
    QAction* service = P().MenuItem(150);
    ASSERT_TRUE(service);
    service->trigger();
    QWidget* panel = GuiProgram::Window("ServicePanel");
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel, P().tk.PanelWidget(_v_ServicePanel));
    // One at a time: the menu item again brings the same panel back.
    service->trigger();
    EXPECT_EQ(GuiProgram::Windows("ServicePanel").size(), 1u);

    auto* list = qobject_cast<QListWidget*>(P().tk.ControlWidget(_v_ServicePanel, 4));
    ASSERT_TRUE(list);
    ASSERT_EQ(list->count(), _vg_FlashDescritpion.count);
    EXPECT_EQ(list->item(0)->text().toStdString(),
              "             ST |    M36DR864CB |            0x20 |      0xca |       2 |     135 ");

    int turnOn = 0;
    EventWatcher watcher;
    watcher.onWindowShown = [&](QWidget* w) {
        turnOn += w->objectName() == QLatin1String("TurnOnPanel") ? 1 : 0;
    };
    QTest::mouseClick(GuiProgram::PanelButton(panel, 2), Qt::LeftButton);
    EXPECT_EQ(turnOn, 1);
    auto* label = qobject_cast<QLabel*>(P().tk.ControlWidget(_v_ServicePanel, 5));
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text().toStdString(), kMainFlash);
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_TRUE(P().Unlocked());  // switch on does not lock the main panel

    QTest::mouseClick(GuiProgram::PanelButton(panel, 3), Qt::LeftButton);
    ASSERT_TRUE(phone->WaitJobDone(10s));
    const sim::JobReport job = phone->LastJob();
    EXPECT_EQ(job.end, sim::JobEnd::kSwitchedOff) << ::testing::PrintToString(job.notes);
    EXPECT_EQ(job.speedChanges, 1);
    EXPECT_EQ(job.sectorWrites, 0);

    // Closing the window closes the panel.
    panel->close();
    QApplication::processEvents();
    EXPECT_EQ(_v_ServicePanel, -1);
    EXPECT_TRUE(GuiProgram::Windows("ServicePanel").empty());
}

}  // namespace
}  // namespace vbc::test
