// The station window on real widgets (offscreen), its vbcflash-cli workers against simulated
// phones on several pseudo-terminals (COM1...COM3 of the working directory): tiles from waiting
// to passed, a failing phone kept to its tile, Stop and the close box during the transfer, and
// the main panel kept off the station's ports meanwhile.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "core/resultcodes.h"
#include "gui/qt/stationwindow.h"
#include "platform/serial.h"
#include "report/report.h"
#include "tests/gui/guisession.h"
#include "ui/mfl51mmi.h"

namespace vbc::test {
namespace {

using Json = nlohmann::ordered_json;
using platform::StationTileView;

constexpr int kLimitMs = 60'000;

class Station : public ::testing::Test {
  protected:
    Station() {
        CopyExamples(true);
        platform::SetStationWorkerProgram(VBC_CLI_PATH);
    }
    ~Station() override {
        program.reset();  // the window goes with the program's toolkit
        for (auto& [n, phone] : phones) phone->Stop();
        platform::SetStationWorkerProgram("");
    }

    // A phone (one job) on COMn.
    void StartPhone(int n, sim::SimulatorOptions options = {}) {
        options.linkName = "COM" + std::to_string(n);
        options.once = true;
        if (phones.count(n)) phones[n]->Stop();  // its link goes with it
        auto phone = std::make_unique<sim::Simulator>(options);
        std::string why;
        ASSERT_TRUE(phone->Start(&why)) << why;
        phones[n] = std::move(phone);
    }
    bool FlashHoldsTheSoftware(int n) const {
        const std::vector<std::uint8_t> flash = phones.at(n)->Flash().Image();
        return flash.size() >= software.size() &&
               std::equal(software.begin(), software.end(), flash.begin(),
                          [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    }

    // The program with a software file loaded and the station window open on ports.
    void OpenStation(std::size_t size, const std::vector<int>& ports) {
        program = std::make_unique<GuiProgram>();
        software = SoftwareImage(size);
        WriteFile("phone.cla", software);
        program->LoadSoftware("phone.cla");
        program->MenuItem(MENU_ITEM_STATION)->trigger();
        window = platform::CurrentStationWindow();
        ASSERT_TRUE(window && window->isVisible());
        for (int n : ports) window->PortBox(n)->setChecked(true);
    }
    void ClickStart() { QTest::mouseClick(window->StartButton(), Qt::LeftButton); }

    StationTileView Tile(int port) const {
        for (const StationTileView& t : window->Tiles())
            if (t.port == port) return t;
        return {};
    }
    // Runs the event loop until done, keeping the states each tile goes through in seen.
    bool WaitUntil(const std::function<bool()>& done) {
        return QTest::qWaitFor(
            [&] {
                for (const StationTileView& t : window->Tiles()) {
                    auto& list = seen[t.port];
                    const std::string state = t.state.toStdString();
                    if (list.empty() || list.back() != state) list.push_back(state);
                }
                return done();
            },
            kLimitMs);
    }
    bool WaitForStates(const std::vector<int>& ports, const char* state) {
        return WaitUntil([&] {
            return std::all_of(ports.begin(), ports.end(),
                               [&](int n) { return Tile(n).state == QLatin1String(state); });
        });
    }
    bool WaitUntilIdle() {
        return QTest::qWaitFor([&] { return !window->Running(); }, kLimitMs);
    }

    // The log's records by port.
    static std::map<int, std::vector<Json>> Log() {
        std::map<int, std::vector<Json>> records;
        std::istringstream in(ReadFile("station.jsonl"));
        for (std::string line; std::getline(in, line);) {
            const Json r = Json::parse(line, nullptr, false);
            EXPECT_FALSE(r.is_discarded()) << line;
            if (!r.is_discarded()) records[r.value("port", 0)].push_back(r);
        }
        return records;
    }

    ScratchDir dir;
    std::map<int, std::unique_ptr<sim::Simulator>> phones;
    std::unique_ptr<GuiProgram> program;
    platform::StationWindow* window = nullptr;
    std::string software;
    std::map<int, std::vector<std::string>> seen;
};

// Three ports wait for phones (a boot loader that stays silent), then three phones come and
// pass. Meanwhile the main panel's Start is dimmed, its job refuses a station port, and Quit
// refuses to end the station's jobs unlogged.
TEST_F(Station, ThreeTilesGoFromWaitingToPassedWhileTheMainPanelKeepsOff) {
    sim::SimulatorOptions silent;
    silent.phone.faults.neverAnswer = true;
    for (int n : {1, 2, 3}) StartPhone(n, silent);
    OpenStation(60'000, {1, 2, 3});
    EXPECT_EQ(window->PortBox(1)->text().toStdString(), "COM1 \u2014 " + phones[1]->SlavePath());
    EXPECT_NE(window->findChild<QLabel*>("jobSettings")->text().indexOf("phone.cla (60000 bytes)"),
              -1);
    ClickStart();
    ASSERT_TRUE(window->Running());
    EXPECT_FALSE(program->Button(MAIN_START)->isEnabled());
    EXPECT_EQ(StationPorts(), (std::vector<int>{1, 2, 3}));

    _sg_DownloadContext.comPort = 2;
    std::string refusal;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        refusal = box->text().toStdString();
        box->accept();
    });
    _mfl51_50MMIStart(_v_Panel, MAIN_START, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(refusal, "COM2 is in use by the station. Stop the station or choose another port.");
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        refusal = box->text().toStdString();
        box->accept();
    });
    _mfl51_102MMIMenuQuit(0, 102, nullptr, _v_Panel);
    EXPECT_EQ(refusal, "The station is running. Stop it in the station window before quitting.");

    // The silent boot loaders end once the workers' boots have timed out; real phones follow.
    ASSERT_TRUE(WaitUntil([&] {
        return std::none_of(phones.begin(), phones.end(),
                            [](const auto& p) { return p.second->Running(); });
    }));
    for (int n : {1, 2, 3}) {
        // The workers' own lines before each boot say nothing of a phone.
        EXPECT_EQ(seen[n], std::vector<std::string>{"waiting for a phone"}) << n;
        StartPhone(n);
    }
    ASSERT_TRUE(WaitForStates({1, 2, 3}, "passed"));
    for (int n : {1, 2, 3}) {
        SCOPED_TRACE(n);
        const StationTileView t = Tile(n);
        EXPECT_EQ(t.flash, "ST M36DR864CB");
        EXPECT_EQ(t.percent, 100);
        EXPECT_EQ(t.counts, QStringLiteral("passed 1 \u00B7 failed 0"));
        EXPECT_EQ(t.message.toStdString(), "The software has been downloaded successfully.");
        ASSERT_TRUE(WaitUntil([&] { return !phones[n]->Running(); }));
        EXPECT_TRUE(FlashHoldsTheSoftware(n));
    }
    EXPECT_EQ(window->TotalsText().left(29), "Passed 3   Failed 0   Stopped");

    QTest::mouseClick(window->StopButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_TRUE(program->Button(MAIN_START)->isEnabled());
    EXPECT_TRUE(StationPorts().empty());
    const auto records = Log();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& [port, list] : records) {
        ASSERT_EQ(list.size(), 1u) << port;
        EXPECT_EQ(list[0]["ok"], true);
        EXPECT_EQ(list[0]["software"], "phone.cla");
        EXPECT_EQ(list[0]["bytes"], 60'000);
        EXPECT_EQ(list[0]["device"], phones[port]->SlavePath());
    }
}

// A phone whose first sector fails every try: its tile shows failed with the result's message,
// the other two pass, and the log holds the three results.
TEST_F(Station, AFailingPhoneShowsFailedWithItsMessageAndTheOthersPass) {
    sim::SimulatorOptions failing;
    std::string why;
    ASSERT_TRUE(failing.phone.faults.badChecksum.Parse("0:*", false, &why)) << why;
    StartPhone(1, failing);
    StartPhone(2);
    StartPhone(3);
    OpenStation(60'000, {1, 2, 3});
    ClickStart();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Tile(1).state == "failed" && Tile(2).state == "passed" &&
                   Tile(3).state == "passed";
        },
        kLimitMs));
    const auto records = Log();
    ASSERT_EQ(records.at(1).size(), 1u);
    const Json& failed = records.at(1)[0];
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["category"], ResultChecksum);
    EXPECT_EQ(failed["code"], 204);
    EXPECT_EQ(failed["message"], "Problem : Bad checksum");
    EXPECT_EQ(Tile(1).message.toStdString(), "Problem : Bad checksum");
    EXPECT_EQ(Tile(1).counts, QStringLiteral("passed 0 \u00B7 failed 1"));
    EXPECT_EQ(records.at(2)[0]["ok"], true);
    EXPECT_EQ(records.at(3)[0]["ok"], true);
    EXPECT_EQ(window->TotalsText().left(29), "Passed 2   Failed 1   Stopped");
    QTest::mouseClick(window->StopButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntilIdle());
}

// Paced phones, stopped while the sectors go out: by Stop (every tile stops, every phone is
// logged as stopped), and by the close box, which asks first and closes once they have stopped.
TEST_F(Station, StopAndTheCloseBoxStopEveryTileMidTransferAndLogTheStoppedPhones) {
    sim::SimulatorOptions paced;
    paced.pace = true;
    for (int n : {1, 2, 3}) StartPhone(n, paced);
    OpenStation(400'000, {1, 2, 3});
    ClickStart();
    ASSERT_TRUE(WaitForStates({1, 2, 3}, "writing"));

    // The close box asks; No leaves the phones being written.
    std::string question;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        question = box->text().toStdString();
        box->button(QMessageBox::No)->click();
    });
    window->close();
    EXPECT_EQ(question,
              "Phones are being written on COM1, COM2, COM3. Stop them and close the station? "
              "Their flash may then hold part of the software.");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->Running());

    QTest::mouseClick(window->StopButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitForStates({1, 2, 3}, "stopped"));
    ASSERT_TRUE(WaitUntilIdle());
    auto records = Log();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& [port, list] : records) {
        ASSERT_EQ(list.size(), 1u) << port;
        EXPECT_EQ(list[0]["category"], ResultStopped);
        EXPECT_EQ(list[0]["code"], StopCode::kByOperator);
        EXPECT_LT(Tile(port).percent, 100);
    }
    EXPECT_TRUE(program->Button(MAIN_START)->isEnabled());

    // Again, and the close box's Yes: the phones stop and the window closes by itself.
    for (int n : {1, 2, 3}) StartPhone(n, paced);
    ClickStart();
    ASSERT_TRUE(WaitForStates({1, 2, 3}, "writing"));
    AnswerModal<QMessageBox>([&](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
    window->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kLimitMs));
    EXPECT_FALSE(window->Running());
    records = Log();
    for (int n : {1, 2, 3}) {
        ASSERT_EQ(records[n].size(), 2u) << n;
        EXPECT_EQ(records[n][1]["category"], ResultStopped);
    }
    EXPECT_TRUE(StationPorts().empty());
}

// The scanner's way: a unit typed into a tile's field and Enter gives it to that port's next
// phone; the database and identity fields of the window apply to every phone; a bad range is
// refused before any worker runs.
TEST_F(Station, AUnitTypedIntoATileGoesWithThePortsNextPhoneIntoTheDatabase) {
    sim::SimulatorOptions silent;
    silent.phone.faults.neverAnswer = true;
    StartPhone(1, silent);
    StartPhone(2, silent);
    OpenStation(60'000, {1, 2});
    window->DatabaseEdit()->selectAll();
    QTest::keyClicks(window->DatabaseEdit(), "line2.db");
    std::string refusal;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        refusal = box->text().toStdString();
        box->accept();
    });
    QTest::keyClicks(window->ReadIdEdit(), "0x10:0");
    ClickStart();
    EXPECT_EQ(refusal,
              "Read identity: expected OFFSET:LENGTH, decimal or 0x hexadecimal, LENGTH at least "
              "1, e.g. 0x10000:4096, not \"0x10:0\"");
    EXPECT_FALSE(window->Running());
    window->ReadIdEdit()->selectAll();
    QTest::keyClicks(window->ReadIdEdit(), "0x7F0000:4");
    ClickStart();
    ASSERT_TRUE(window->Running());

    QLineEdit* unit = window->UnitEdit(2);
    ASSERT_TRUE(unit);
    unit->setFocus();
    QTest::keyClicks(unit, "SN 0042");
    QTest::keyClick(unit, Qt::Key_Return);
    EXPECT_TRUE(unit->text().isEmpty());
    EXPECT_EQ(Tile(2).unit, "next SN 0042");
    ASSERT_TRUE(WaitUntil([&] {
        return std::none_of(phones.begin(), phones.end(),
                            [](const auto& p) { return p.second->Running(); });
    }));
    StartPhone(1);
    StartPhone(2);
    ASSERT_TRUE(WaitForStates({1, 2}, "passed"));
    EXPECT_EQ(Tile(2).unit, "unit SN 0042");
    EXPECT_EQ(Tile(1).unit, "");
    QTest::mouseClick(window->StopButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntilIdle());

    std::map<int, Json> rows;
    std::string error;
    auto source = report::OpenSource("line2.db", &error);
    ASSERT_TRUE(source) << error;
    ASSERT_TRUE(source->Records(
        {}, [&](const Json& r) { rows[r["port"].get<int>()] = r; }, &error));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[2]["unit"], "SN 0042");
    EXPECT_TRUE(rows[1]["unit"].is_null());
    for (int n : {1, 2}) EXPECT_EQ(rows[n]["flash_id"], "ffffffff") << n;
    EXPECT_FALSE(std::filesystem::exists("station.db"));
}

// What Start refuses, before any worker runs: no software loaded, no port chosen, a bootstrap
// missing, a port this program holds open (the service panel's Switch on).
TEST_F(Station, StartRefusesWhatNoWorkerCouldUse) {
    program = std::make_unique<GuiProgram>();
    program->MenuItem(MENU_ITEM_STATION)->trigger();
    window = platform::CurrentStationWindow();
    ASSERT_TRUE(window);
    StartPhone(1);
    const struct {
        bool load;
        bool port;
        bool noBootstrap;
        bool held;
        const char* text;
    } cases[] = {
        {false, true, false, false, "Load a software file in the main panel first."},
        {true, false, false, false, "Choose at least one port."},
        {true, true, true, false,
         "The phones cannot be booted: mfl104_5.spm, the bootstrap of product type 2: LIB_PC : "
         "File not found"},
        {true, true, false, true,
         "COM1 is open in this program (the service panel switched a phone on there). Switch it "
         "off, or choose other ports."},
    };
    for (const auto& c : cases) {
        if (c.load && !_sg_DownloadContext.fileBuffer) {
            WriteFile("phone.cla", SoftwareImage(1000));
            program->LoadSoftware("phone.cla");
        }
        window->PortBox(1)->setChecked(c.port);
        if (c.noBootstrap) std::filesystem::rename("mfl104_5.spm", "spm.away");
        if (c.held) {
            ASSERT_EQ(OpenComConfig(1, "COM1", 38400, kParityEven, 8, 1, 512, 512), 0);
        }
        std::string text;
        AnswerModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text().toStdString();
            box->accept();
        });
        ClickStart();
        EXPECT_EQ(text, c.text);
        EXPECT_FALSE(window->Running());
        if (c.noBootstrap) std::filesystem::rename("spm.away", "mfl104_5.spm");
        if (c.held) CloseCom(1);
    }
    EXPECT_FALSE(std::filesystem::exists("station.jsonl"));
}

}  // namespace
}  // namespace vbc::test
