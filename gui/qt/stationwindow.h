// The station window of the desktop program (Tools > Station...): the main panel's software and
// settings written into a phone on each of several ports at once, one tile a port. It runs the
// library's station (station/station): the same vbcflash-cli --json workers, the same log records
// as vbcflash-station. While it runs, the main panel's Start is dimmed and its jobs keep off the
// station's ports.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vbc::station {
class Station;
}

namespace vbc::platform {

// What one port's tile shows, in words (the tests and the screenshot driver read it).
struct StationTileView {
    int port = 0;
    QString device;
    QString state;   // "waiting for a phone", "booting", "writing", ..., "passed", "failed"
    QString detail;  // "waiting for the next phone", why the port cannot be used
    QString flash;
    int percent = 0;
    QString rate;
    QString elapsed;
    QString message;  // the last result's
    QString counts;   // "passed 2 · failed 1"
    QString unit;     // "unit SN-1", "next SN-2", both, or ""
    QString colour;   // the state's: "#2e7d32"
};

class StationWindow : public QWidget {
  public:
    StationWindow();
    ~StationWindow() override;
    StationWindow(const StationWindow&) = delete;
    StationWindow& operator=(const StationWindow&) = delete;

    bool Running() const { return running_; }
    QCheckBox* PortBox(int port) const;  // COM1 to COM16
    QCheckBox* AllPortsBox() const { return allPorts_; }
    QLineEdit* LogPathEdit() const { return logPath_; }
    QLineEdit* DatabaseEdit() const { return database_; }
    QLineEdit* ReadIdEdit() const { return readId_; }
    // The unit field of a port's tile (nullptr before Start).
    QLineEdit* UnitEdit(int port) const;
    QPushButton* StartButton() const { return start_; }
    QPushButton* StopButton() const { return stop_; }
    std::vector<StationTileView> Tiles() const;
    QString TotalsText() const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Tile;
    void OnStart();
    void OnStop();
    void OnTick();
    void ShowJobSettings();
    void ShowPortDevices();
    void BuildTiles(const std::vector<int>& ports);
    void ShowTiles();
    void SetEditable(bool editable);
    std::vector<int> ChosenPorts() const;

    std::unique_ptr<station::Station> station_;
    struct Held;
    std::unique_ptr<Held> held_;
    bool running_ = false;
    bool closeWhenStopped_ = false;
    bool logErrorShown_ = false;
    int ticks_ = 0;
    std::vector<QCheckBox*> portBoxes_;
    QCheckBox* allPorts_ = nullptr;
    QLineEdit* logPath_ = nullptr;
    QPushButton* chooseLog_ = nullptr;
    QLineEdit* database_ = nullptr;
    QLineEdit* readId_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QWidget* jobBox_ = nullptr;
    QWidget* tileArea_ = nullptr;
    QWidget* hint_ = nullptr;
    QLabel* jobText_ = nullptr;
    QLabel* totals_ = nullptr;
    QGridLayout* grid_ = nullptr;
    std::vector<std::unique_ptr<Tile>> tiles_;
};

// Tools > Station...: shows the one station window, beside the main panel the first time,
// raised when it is already open.
void OpenStationWindow();
// The window, nullptr while none was opened.
StationWindow* CurrentStationWindow();
// Destroys the window (the program's end; tests). A station still running is ended first.
void DestroyStationWindow();
// The worker program the window starts; "" (the default) finds vbcflash-cli beside the program,
// then on PATH.
void SetStationWorkerProgram(const std::string& path);

}  // namespace vbc::platform
