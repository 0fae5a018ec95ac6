#include "gui/qt/stationwindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "cli/options.h"
#include "gui/qt/qtfrontend.h"
#include "gui/qt/qttoolkit.h"
#include "platform/serial.h"
#include "station/station.h"
#include "station/stationview.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"

namespace vbc::platform {
namespace {

namespace st = vbc::station;

constexpr int kPortBoxes = 16;
constexpr int kTickMs = 100;
// The port list is looked at again this often while the station is idle: adapters come and go.
constexpr int kDeviceTicks = 20;
constexpr const char* kTitle = "Station";

std::unique_ptr<StationWindow> gWindow;
std::string gWorkerProgram;

QString Qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The shared view's words, as the widgets take them.
StationTileView QtViewOf(const st::PortStatus& p) {
    const st::TileView t = st::ViewOf(p);
    StationTileView v;
    v.port = t.port;
    v.device = Qs(t.device);
    v.state = Qs(t.state);
    v.detail = Qs(t.detail);
    v.flash = Qs(t.flash);
    v.percent = t.percent;
    v.rate = Qs(t.rate);
    v.elapsed = Qs(t.elapsed);
    v.message = Qs(t.message);
    v.counts = Qs(t.counts);
    v.unit = Qs(t.unit);
    v.colour = Qs(t.colour);
    return v;
}

// A tile's message is kept to this many lines (the whole text is its tooltip).
constexpr int kMessageLines = 3;

// text as label shows it word-wrapped in at most lines lines: cut at a word, with an ellipsis,
// when it needs more, so that nothing is cut off half-way down a line.
QString FitLines(const QLabel* label, const QString& text, int lines) {
    const QFontMetrics fm(label->font());
    const int width = std::max(label->width(), 200);
    const int room = fm.lineSpacing() * lines;
    auto height = [&](const QString& t) {
        return fm.boundingRect(QRect(0, 0, width, 10 * room), Qt::TextWordWrap, t).height();
    };
    if (height(text) <= room) return text;
    QString cut = text;
    while (!cut.isEmpty() && height(cut + QChar(0x2026)) > room) {
        const int space = cut.lastIndexOf(QLatin1Char(' '));
        cut.truncate(space > 0 ? space : cut.size() - 1);
    }
    return cut + QChar(0x2026);
}

std::string WorkerProgram() {
    if (!gWorkerProgram.empty()) return gWorkerProgram;
    const std::string beside = st::WorkerBesideProgram();
    if (!beside.empty()) return beside;
    return QStandardPaths::findExecutable(QStringLiteral("vbcflash-cli")).toStdString();
}

}  // namespace

struct StationWindow::Held {
    st::ImageHolder image;  // the sealed copy the workers read
};

struct StationWindow::Tile {
    QFrame* frame = nullptr;
    QLabel* title = nullptr;
    QLabel* device = nullptr;
    QLabel* state = nullptr;
    QLabel* detail = nullptr;
    QLabel* flash = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* rate = nullptr;
    QLabel* elapsed = nullptr;
    QLabel* message = nullptr;
    QLabel* counts = nullptr;
    QLineEdit* unitEdit = nullptr;
    QLabel* unit = nullptr;
    QString colour;
};

StationWindow::StationWindow() : held_(std::make_unique<Held>()) {
    setObjectName(QStringLiteral("StationWindow"));
    setWindowTitle(QStringLiteral("vbcflash station"));
    setAttribute(Qt::WA_DeleteOnClose, false);

    auto* settingsColumn = new QVBoxLayout;

    auto* job = new QGroupBox(QStringLiteral("Job (from the main panel)"));
    jobBox_ = job;
    jobText_ = new QLabel;
    jobText_->setObjectName(QStringLiteral("jobSettings"));
    jobText_->setTextFormat(Qt::PlainText);
    jobText_->setWordWrap(true);
    jobText_->setMinimumWidth(260);
    (new QVBoxLayout(job))->addWidget(jobText_);
    settingsColumn->addWidget(job);

    auto* ports = new QGroupBox(QStringLiteral("Ports"));
    auto* portGrid = new QGridLayout(ports);
    allPorts_ = new QCheckBox(QStringLiteral("All serial ports"));
    allPorts_->setObjectName(QStringLiteral("allPorts"));
    portGrid->addWidget(allPorts_, 0, 0);
    for (int n = 1; n <= kPortBoxes; ++n) {
        auto* box = new QCheckBox(QStringLiteral("COM%1").arg(n));
        box->setObjectName(QStringLiteral("port%1").arg(n));
        box->setProperty("port", n);
        portGrid->addWidget(box, n, 0);
        portBoxes_.push_back(box);
    }
    connect(allPorts_, &QCheckBox::toggled, this, [this] { ShowPortDevices(); });
    settingsColumn->addWidget(ports);

    auto* log = new QGroupBox(QStringLiteral("Log"));
    auto* logRow = new QHBoxLayout(log);
    logPath_ = new QLineEdit(QStringLiteral("station.jsonl"));
    logPath_->setObjectName(QStringLiteral("logPath"));
    logPath_->setToolTip(
        QStringLiteral("One record a phone is appended here (relative to the working directory)"));
    chooseLog_ = new QPushButton(QStringLiteral("Choose..."));
    logRow->addWidget(logPath_, 1);
    logRow->addWidget(chooseLog_);
    connect(chooseLog_, &QPushButton::clicked, this, [this] {
        const QString path =
            QFileDialog::getSaveFileName(this, QStringLiteral("Station log"), logPath_->text(),
                                         QStringLiteral("Station logs (*.jsonl);;All files (*)"),
                                         nullptr, QFileDialog::DontConfirmOverwrite);
        if (!path.isEmpty()) logPath_->setText(path);
    });
    settingsColumn->addWidget(log);

    auto* records = new QGroupBox(QStringLiteral("Database"));
    auto* recordRows = new QVBoxLayout(records);
    database_ = new QLineEdit(QStringLiteral("station.db"));
    database_->setObjectName(QStringLiteral("database"));
    database_->setToolTip(
        QStringLiteral("Every phone is recorded here too: a SQLite file (relative to the working "
                       "directory), or a PostgreSQL server: postgresql://USER@HOST/DB"));
    recordRows->addWidget(database_);
    auto* idRow = new QHBoxLayout;
    auto* idLabel = new QLabel(QStringLiteral("Read identity:"));
    readId_ = new QLineEdit;
    readId_->setObjectName(QStringLiteral("readId"));
    readId_->setPlaceholderText(QStringLiteral("OFFSET:LENGTH (none)"));
    readId_->setToolTip(
        QStringLiteral("A range of each phone's flash read before writing and recorded as its "
                       "flash_id, e.g. 0x7F0000:16"));
    idLabel->setBuddy(readId_);
    idRow->addWidget(idLabel);
    idRow->addWidget(readId_, 1);
    recordRows->addLayout(idRow);
    settingsColumn->addWidget(records);

    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(QStringLiteral("Start"));
    stop_ = new QPushButton(QStringLiteral("Stop"));
    start_->setObjectName(QStringLiteral("start"));
    stop_->setObjectName(QStringLiteral("stop"));
    for (QPushButton* b : {start_, stop_}) {
        QFont f = b->font();
        f.setPointSizeF(f.pointSizeF() * 1.3);
        f.setBold(true);
        b->setFont(f);
        b->setMinimumHeight(b->sizeHint().height() * 3 / 2);
        buttons->addWidget(b);
    }
    stop_->setEnabled(false);
    connect(start_, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(stop_, &QPushButton::clicked, this, [this] { OnStop(); });
    settingsColumn->addLayout(buttons);
    settingsColumn->addStretch(1);

    auto* tileColumn = new QVBoxLayout;
    tileArea_ = new QWidget;
    grid_ = new QGridLayout(tileArea_);
    grid_->setSpacing(10);
    grid_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* hint = new QLabel(Qs(st::kTileHint));
    hint->setAlignment(Qt::AlignCenter);
    hint_ = hint;
    grid_->addWidget(hint, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setWidget(tileArea_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    tileColumn->addWidget(scroll, 1);
    totals_ = new QLabel;
    totals_->setObjectName(QStringLiteral("totals"));
    QFont tf = totals_->font();
    tf.setPointSizeF(tf.pointSizeF() * 1.5);
    tf.setBold(true);
    totals_->setFont(tf);
    tileColumn->addWidget(totals_);

    auto* top = new QHBoxLayout(this);
    top->addLayout(settingsColumn);
    top->addLayout(tileColumn, 1);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { OnTick(); });
    timer->start(kTickMs);
    ShowJobSettings();
    ShowPortDevices();
    totals_->setText(TotalsText());
    resize(std::max(sizeHint().width(), 900), std::max(sizeHint().height(), 560));
}

StationWindow::~StationWindow() {
    // Every phone under way gets its stopped record before the window goes.
    if (station_ && running_) {
        station_->Stop();
        while (!station_->Finished()) station_->Step(100);
        SetStationPorts({});
    }
}

QCheckBox* StationWindow::PortBox(int port) const {
    return port >= 1 && port <= kPortBoxes ? portBoxes_[port - 1] : nullptr;
}

void StationWindow::ShowJobSettings() {
    const QString text = Qs(st::JobSettingsText(running_ ? station_.get() : nullptr));
    if (text != jobText_->text()) jobText_->setText(text);
}

void StationWindow::ShowPortDevices() {
    const bool all = allPorts_->isChecked();
    const std::vector<PortInfo> serialPorts = ListSerialPorts();  // one scan for the 16 boxes
    for (int n = 1; n <= kPortBoxes; ++n) {
        QCheckBox* box = portBoxes_[n - 1];
        const QString text = PortEntryText(n, serialPorts);
        if (box->text() != text) box->setText(text);
        if (all) box->setChecked(PortHasDevice(n, serialPorts));
        box->setEnabled(!running_ && !all);
    }
}

std::vector<int> StationWindow::ChosenPorts() const {
    std::vector<int> ports;
    for (int n = 1; n <= kPortBoxes; ++n) {
        if (portBoxes_[n - 1]->isChecked()) ports.push_back(n);
    }
    return ports;
}

void StationWindow::SetEditable(bool editable) {
    allPorts_->setEnabled(editable);
    for (QCheckBox* box : portBoxes_) box->setEnabled(editable && !allPorts_->isChecked());
    logPath_->setEnabled(editable);
    chooseLog_->setEnabled(editable);
    database_->setEnabled(editable);
    readId_->setEnabled(editable);
    start_->setEnabled(editable);
    stop_->setEnabled(!editable);
}

void StationWindow::OnStart() {
    if (running_) return;
    auto refuse = [this](const QString& why) {
        QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kTitle), why, QMessageBox::Ok,
                        this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    };
    if (allPorts_->isChecked()) ShowPortDevices();
    st::StartForm form;
    form.ports = ChosenPorts();
    form.allPorts = allPorts_->isChecked();
    form.logPath = logPath_->text().trimmed().toStdString();
    form.database = database_->text().trimmed().toStdString();
    form.readId = readId_->text().trimmed().toStdString();
    form.readIdProblem = cli::CheckRange(form.readId, nullptr, nullptr);
    form.workerProgram = WorkerProgram();
    auto held = std::make_unique<Held>();
    std::unique_ptr<st::Station> station;
    if (const std::string refusal = st::StartStation(form, &held->image, &station);
        !refusal.empty())
        return refuse(Qs(refusal));
    held_ = std::move(held);
    station_ = std::move(station);
    running_ = true;
    closeWhenStopped_ = false;
    logErrorShown_ = false;
    SetStationPorts(form.ports);
    SetEditable(false);
    BuildTiles(form.ports);
    ShowJobSettings();
    ShowTiles();
}

void StationWindow::OnStop() {
    if (running_ && station_) station_->Stop();
    stop_->setEnabled(false);
}

void StationWindow::OnTick() {
    ++ticks_;
    if (!running_) {
        ShowJobSettings();
        if (ticks_ % kDeviceTicks == 0) ShowPortDevices();
        return;
    }
    station_->Step(0);
    station_->TakeEvents();  // the tiles show the state; the log holds the records
    ShowTiles();
    if (!station_->LogError().empty() && !logErrorShown_) {
        logErrorShown_ = true;
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kTitle),
                        Qs(st::LogErrorText(*station_)), QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    if (!station_->Finished()) return;
    running_ = false;
    held_ = std::make_unique<Held>();
    SetStationPorts({});
    SetEditable(true);
    ShowPortDevices();
    ShowJobSettings();
    if (closeWhenStopped_) close();
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (!running_) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeWhenStopped_) return;
    if (const std::string question = st::CloseQuestion(station_->Ports()); !question.empty()) {
        QMessageBox box(QMessageBox::Question, QString::fromLatin1(kTitle), Qs(question),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes) return;
    }
    closeWhenStopped_ = true;
    // The station may have ended while the question was up: nothing is left to stop.
    if (!running_) {
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    OnStop();
}

void StationWindow::BuildTiles(const std::vector<int>& ports) {
    tiles_.clear();
    while (QLayoutItem* item = grid_->takeAt(0)) {
        if (item->widget() && item->widget() != hint_) delete item->widget();
        delete item;
    }
    hint_->hide();
    const int columns = st::TileColumns(ports.size());
    const QFont base = font();
    auto scaled = [&base](double factor, bool bold) {
        QFont f = base;
        f.setPointSizeF(base.pointSizeF() * factor);
        f.setBold(bold);
        return f;
    };
    for (std::size_t i = 0; i < ports.size(); ++i) {
        auto t = std::make_unique<Tile>();
        t->frame = new QFrame;
        t->frame->setObjectName(QStringLiteral("StationTile"));
        t->frame->setProperty("port", ports[i]);
        t->frame->setFrameShape(QFrame::StyledPanel);
        t->frame->setFixedSize(270, 292);
        auto* v = new QVBoxLayout(t->frame);
        v->setSpacing(3);
        auto* head = new QHBoxLayout;
        t->title = new QLabel(QStringLiteral("COM%1").arg(ports[i]));
        t->title->setFont(scaled(1.6, true));
        t->device = new QLabel;
        t->device->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        t->device->setMinimumWidth(0);
        head->addWidget(t->title);
        head->addWidget(t->device, 1);
        v->addLayout(head);
        t->state = new QLabel;
        t->state->setObjectName(QStringLiteral("state"));
        QFont sf = scaled(1.7, true);
        sf.setCapitalization(QFont::AllUppercase);
        t->state->setFont(sf);
        t->state->setAlignment(Qt::AlignCenter);
        t->state->setMinimumHeight(QFontMetrics(sf).height() + 12);
        v->addWidget(t->state);
        t->detail = new QLabel;
        t->flash = new QLabel;
        t->flash->setObjectName(QStringLiteral("flash"));
        v->addWidget(t->detail);
        v->addWidget(t->flash);
        t->bar = new QProgressBar;
        t->bar->setRange(0, 100);
        t->bar->setFormat(QStringLiteral("%p %"));
        v->addWidget(t->bar);
        auto* figures = new QHBoxLayout;
        t->rate = new QLabel;
        t->elapsed = new QLabel;
        t->elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        figures->addWidget(t->rate);
        figures->addWidget(t->elapsed);
        v->addLayout(figures);
        t->message = new QLabel;
        t->message->setObjectName(QStringLiteral("message"));
        t->message->setWordWrap(true);
        t->message->setTextFormat(Qt::PlainText);
        t->message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        v->addWidget(t->message, 1);
        t->counts = new QLabel;
        t->counts->setObjectName(QStringLiteral("counts"));
        v->addWidget(t->counts);
        // A barcode scanner types the next phone's unit here; Enter gives it to the port.
        t->unitEdit = new QLineEdit;
        t->unitEdit->setObjectName(QStringLiteral("unit"));
        t->unitEdit->setPlaceholderText(QStringLiteral("Unit of the next phone (scan)"));
        const int port = ports[i];
        QLineEdit* edit = t->unitEdit;
        connect(edit, &QLineEdit::returnPressed, this, [this, port, edit] {
            const QString unit = edit->text().trimmed();
            if (unit.isEmpty() || !station_ || !running_) return;
            station_->SetUnit(port, unit.toStdString());
            edit->clear();
            ShowTiles();
        });
        v->addWidget(t->unitEdit);
        t->unit = new QLabel;
        t->unit->setObjectName(QStringLiteral("unitText"));
        v->addWidget(t->unit);
        grid_->addWidget(t->frame, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
        tiles_.push_back(std::move(t));
    }
    // The window grows to show every tile, within the screen.
    const QSize wanted = sizeHint().expandedTo(size());
    if (const QScreen* screen = this->screen()) {
        resize(wanted.boundedTo(screen->availableGeometry().size()));
    } else {
        resize(wanted);
    }
}

void StationWindow::ShowTiles() {
    if (!station_) return;
    const std::vector<st::PortStatus> ports = station_->Ports();
    for (std::size_t i = 0; i < ports.size() && i < tiles_.size(); ++i) {
        Tile& t = *tiles_[i];
        const StationTileView v = QtViewOf(ports[i]);
        const QString& colour = v.colour;
        auto set = [](QLabel* l, const QString& text) {
            if (l->text() != text) l->setText(text);
        };
        set(t.device, QFontMetrics(t.device->font()).elidedText(v.device, Qt::ElideLeft, 150));
        t.device->setToolTip(v.device);
        set(t.state, v.state);
        if (colour != t.colour) {
            t.colour = colour;
            t.state->setStyleSheet(
                QStringLiteral("QLabel { color: white; background: %1; border-radius: 4px; }")
                    .arg(colour));
            t.frame->setStyleSheet(QStringLiteral("QFrame#StationTile { border: 3px solid %1; "
                                                  "border-radius: 6px; }")
                                       .arg(colour));
        }
        set(t.detail, QFontMetrics(t.detail->font()).elidedText(v.detail, Qt::ElideRight, 250));
        t.detail->setToolTip(v.detail);
        set(t.flash, v.flash.isEmpty() ? QString() : QStringLiteral("Flash: ") + v.flash);
        if (t.bar->value() != v.percent) t.bar->setValue(v.percent);
        set(t.rate, v.rate);
        set(t.elapsed, v.elapsed);
        set(t.message, FitLines(t.message, v.message, kMessageLines));
        t.message->setToolTip(v.message);
        set(t.counts, v.counts);
        set(t.unit, QFontMetrics(t.unit->font()).elidedText(v.unit, Qt::ElideRight, 250));
        t.unit->setToolTip(v.unit);
    }
    const QString totals = TotalsText();
    if (totals_->text() != totals) totals_->setText(totals);
}

std::vector<StationTileView> StationWindow::Tiles() const {
    std::vector<StationTileView> out;
    if (!station_) return out;
    for (const st::PortStatus& p : station_->Ports()) out.push_back(QtViewOf(p));
    return out;
}

QString StationWindow::TotalsText() const {
    return Qs(st::TotalsText(station_.get()));
}

QLineEdit* StationWindow::UnitEdit(int port) const {
    for (const auto& t : tiles_)
        if (t->frame->property("port").toInt() == port) return t->unitEdit;
    return nullptr;
}

void OpenStationWindow() {
    if (!gWindow) {
        gWindow = std::make_unique<StationWindow>();
        // Beside the main panel, when the screen has room there.
        auto* qt = dynamic_cast<QtToolkit*>(&CurrentToolkit());
        QWidget* main = qt ? qt->PanelWidget(_v_Panel) : nullptr;
        if (main && main->isVisible()) {
            const QRect frame = main->frameGeometry();
            QPoint at(frame.right() + 12, frame.top());
            if (const QScreen* screen = main->screen()) {
                const QRect room = screen->availableGeometry();
                if (at.x() + gWindow->width() > room.right())
                    at.setX(std::max(room.left(), room.right() - gWindow->width()));
            }
            gWindow->move(at);
        }
    }
    gWindow->show();
    gWindow->raise();
    gWindow->activateWindow();
}

StationWindow* CurrentStationWindow() {
    return gWindow.get();
}

void DestroyStationWindow() {
    gWindow.reset();
}

void SetStationWorkerProgram(const std::string& path) {
    gWorkerProgram = path;
}

}  // namespace vbc::platform
