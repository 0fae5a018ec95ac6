// config.txt: the bytes of a save, the restore of every line and the state a failed restore
// leaves behind.
#include "data/mfl56conf.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/context.h"
#include "tests/mainpanel_fixture.h"
#include "tests/testutil.h"

namespace vbc {
namespace {

using test::Crlf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kHeader =
    "* ***********************\r\n* Configuration save file\r\n* ***********************\r\n";

struct Options {
    std::int32_t comPort, pmuOption, productType, downloadType;
    bool operator==(const Options&) const = default;
};

void PrintTo(const Options& o, std::ostream* os) {
    *os << "{" << o.comPort << ", " << o.pmuOption << ", " << o.productType << ", "
        << o.downloadType << "}";
}

Options Current() {
    const DownloadContext& c = _sg_DownloadContext;
    return {c.comPort, c.pmuOption, c.productType, c.downloadType};
}

void Set(const Options& o) {
    DownloadContext& c = _sg_DownloadContext;
    c.comPort = o.comPort;
    c.pmuOption = o.pmuOption;
    c.productType = o.productType;
    c.downloadType = o.downloadType;
}

std::string Image() {
    const DownloadContext& c = _sg_DownloadContext;
    if (!c.fileBuffer) return "<none>";
    return std::string(reinterpret_cast<const char*>(c.fileBuffer),
                       static_cast<std::size_t>(c.fileSize));
}

std::string Join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

class Config : public ::testing::Test {
  protected:
    // Also called again between the cases of a table.
    void SetUp() override {
        ResetDownloadContext();
        CloseMessagePanel(MessagePanel::LibPcErr);
        test::WriteFile("old.cla", "OLD");
        std::strcpy(_sg_DownloadContext.claFileName, "old.cla");
        std::strcpy(_sg_DownloadContext.defaultPath, "old-dir");
        _sg_DownloadContext.fileBuffer = static_cast<std::uint8_t*>(std::malloc(4));
        std::memcpy(_sg_DownloadContext.fileBuffer, "OLD", 4);
        _sg_DownloadContext.fileSize = 3;
        Set(kBefore);
        SetCtrlVal(_v_Panel, MAIN_PORT, kBefore.comPort);
        SetCtrlVal(_v_Panel, MAIN_PRODUCT_TYPE, kBefore.productType);
        SetCtrlAttribute(_v_Panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, 1);
        SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, 1);
        ui.rec.ClearLog();
    }
    std::int32_t Restore(const std::string& bytes) {
        test::WriteFile("config.txt", bytes);
        return _mfl56_0RestoreConfig();
    }
    int Port() const { return ui.rec.CtrlValue(_v_Panel, MAIN_PORT); }
    int ProductTypeShown() const { return ui.rec.CtrlValue(_v_Panel, MAIN_PRODUCT_TYPE); }
    bool StartUsable() const {
        return !ui.rec.IsDimmed(_v_Panel, MAIN_DOWNLOAD_CONFIG) &&
               !ui.rec.IsDimmed(_v_Panel, MAIN_START);
    }
    // The restore's own undim of controls 4 and 5 ends the log (the unlock that ends a
    // software-file load undims them too, before).
    bool RestoreUndimmed() const {
        const auto lines = ui.rec.LogLines();
        const std::string p = std::to_string(_v_Panel);
        return lines.size() >= 2 &&
               lines[lines.size() - 2] == "SetCtrlAttribute " + p + " 4 500 0" &&
               lines.back() == "SetCtrlAttribute " + p + " 5 500 0";
    }
    bool Reloaded() const { return !ui.rec.Calls("ResetTextBox").empty(); }

    static constexpr Options kBefore{3, 0, 1, 2};
    test::ScratchDir dir;
    test::MainPanelUp ui;
};

TEST_F(Config, SaveWritesTheEightLines) {
    ResetDownloadContext();
    std::strcpy(_sg_DownloadContext.claFileName, "D:\\soft\\phone.cla");
    ASSERT_EQ(_mfl56_1SaveConfig(), 1);
    EXPECT_EQ(test::ReadFile("config.txt"),
              "* ***********************\r\n"
              "* Configuration save file\r\n"
              "* ***********************\r\n"
              "CLA File : D:\\soft\\phone.cla\r\n"
              "COM : 1\r\n"
              "PMU : 0\r\n"
              "Product Type : 2\r\n"
              "Download Type : 0\r\n");
    // Saving changes nothing in the program.
    EXPECT_THAT(ui.rec.Log(), IsEmpty());

    // Negative values and a name that fills the field are written whole.
    std::memset(_sg_DownloadContext.claFileName, 'n', 259);
    _sg_DownloadContext.claFileName[259] = '\0';
    Set({-1, 1, -2147483647 - 1, 4});
    ASSERT_EQ(_mfl56_1SaveConfig(), 1);
    EXPECT_EQ(test::ReadFile("config.txt"),
              std::string(kHeader) + "CLA File : " + std::string(259, 'n') +
                  "\r\nCOM : -1\r\nPMU : 1\r\nProduct Type : -2147483648\r\nDownload Type : 4\r\n");
    EXPECT_FALSE(std::filesystem::exists("config.txt.tmp"));
}

// The old file survives a save that cannot complete: the new one is written beside it and
// only then put in its place.
// A save cut short (here by a file-size limit, as a full disk would) keeps the previous file
// whole and leaves nothing beside it.
TEST_F(Config, FailedSaveKeepsThePreviousFile) {
    test::WriteFile("config.txt", "previous");
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit tight = before;
    tight.rlim_cur = 16;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead (EFBIG)
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const std::int32_t status = _mfl56_1SaveConfig();
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(test::ReadFile("config.txt"), "previous");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, ::testing::Each(::testing::Not(::testing::EndsWith(".tmp"))));

    EXPECT_EQ(_mfl56_1SaveConfig(), 1);
    EXPECT_EQ(test::ReadFile("config.txt").substr(0, 27), std::string(kHeader).substr(0, 27));
}

TEST_F(Config, SaveThenRestoreRoundTrips) {
    test::WriteFile("soft.cla", std::string("\x01\x02\x03", 3));
    const std::string name = (dir.path() / "soft.cla").string();
    for (const Options& o : {Options{4, 1, 2, 4}, Options{1, 0, 1, 0}, Options{0, 0, 0, 1},
                             Options{-1, -5, -2, -3}, Options{7, 0, 2, 0}, Options{255, 1, 1, 0}}) {
        SCOPED_TRACE(::testing::PrintToString(o));
        std::strcpy(_sg_DownloadContext.claFileName, name.c_str());
        Set(o);
        ASSERT_EQ(_mfl56_1SaveConfig(), 1);
        // Forget everything the file carries, and dim what the restore must undim.
        ResetDownloadContext();
        Set(kBefore);
        SetCtrlAttribute(_v_Panel, MAIN_DOWNLOAD_CONFIG, ATTR_DIMMED, 1);
        SetCtrlAttribute(_v_Panel, MAIN_START, ATTR_DIMMED, 1);

        EXPECT_EQ(_mfl56_0RestoreConfig(), 1);
        EXPECT_EQ(Current(), o);
        EXPECT_EQ(std::string(_sg_DownloadContext.claFileName), name);
        EXPECT_EQ(Image(), std::string("\x01\x02\x03", 3));
        EXPECT_EQ(std::string(_sg_DownloadContext.defaultPath), dir.path().string());
        EXPECT_EQ(Port(), o.comPort);
        EXPECT_EQ(ProductTypeShown(), o.productType);
        EXPECT_TRUE(RestoreUndimmed());
        EXPECT_TRUE(ui.Unlocked());
        EXPECT_EQ(ui.PanelsShown(), 0u);
    }
}

// Files as the save writes them, and what the reader accepts around the record.
TEST_F(Config, ReadsTheRecordAfterCommentsAndIgnoresTheRest) {
    test::WriteFile("a.cla", "A");
    const std::string record =
        Crlf({"CLA File : a.cla", "COM : 2", "PMU : 1", "Product Type : 2", "Download Type : 3"});
    for (const std::string& file : {
             std::string(kHeader) + record,
             record,
             Crlf({"", "*", "* any comment", "", ""}) + record,
             // Text after the record, even another full record, is not read.
             std::string(kHeader) + record + Crlf({"garbage", "CLA File : b.cla", "COM : 9"}),
             std::string(kHeader) + record + record,
         }) {
        SCOPED_TRACE(file);
        Set(kBefore);
        EXPECT_EQ(Restore(file), 1);
        EXPECT_EQ(Current(), (Options{2, 1, 2, 3}));
        EXPECT_STREQ(_sg_DownloadContext.claFileName, "a.cla");
        EXPECT_EQ(Image(), "A");
        EXPECT_EQ(Port(), 2);
    }
}

// Input the restore runs while it loads the software file (an operator's Alt+S typed after
// Ctrl+R) finds the panel locked, or the whole record applied: never the new file with the old
// port and product type. A failing line unlocks the panel all the same.
TEST_F(Config, InputDuringTheRestoreSeesAllOrNothing) {
    test::WriteFile("a.cla", "A");
    const std::string good =
        Crlf({"CLA File : a.cla", "COM : 2", "PMU : 1", "Product Type : 2", "Download Type : 3"});
    for (const auto& [file, status] :
         {std::pair{good, 1}, std::pair{Crlf({"CLA File : a.cla", "COM : 2"}), 10}}) {
        SCOPED_TRACE(file);
        Set(kBefore);
        int runs = 0;
        ui.rec.SetEventHook([&] {
            ++runs;
            if (!MainPanelLocked() && status == 1) {
                EXPECT_EQ(Current(), (Options{2, 1, 2, 3}));
            }
        });
        EXPECT_EQ(Restore(file), status);
        ui.rec.SetEventHook(nullptr);
        EXPECT_GT(runs, 0);
        EXPECT_TRUE(ui.Unlocked());
    }
}

TEST_F(Config, NoRecordRestoresNothing) {
    for (const std::string& file :
         {std::string(), std::string(kHeader), Crlf({"", "", "*"}),
          std::string("* comment cut off without its line end"), std::string("\r")}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(Restore(file), 1);
        EXPECT_EQ(Current(), kBefore);
        EXPECT_STREQ(_sg_DownloadContext.claFileName, "old.cla");
        EXPECT_EQ(Image(), "OLD");
        EXPECT_THAT(ui.rec.Log(), IsEmpty());
    }
}

TEST_F(Config, NoFileIsCodeTwoAndChangesNothing) {
    EXPECT_EQ(_mfl56_0RestoreConfig(), 2);
    std::filesystem::create_directory("config.txt");
    EXPECT_EQ(_mfl56_0RestoreConfig(), 2);
    std::filesystem::remove("config.txt");
    // Nobody writes to the pipe: the restore must not wait for it.
    ASSERT_EQ(::mkfifo("config.txt", 0644), 0);
    EXPECT_EQ(_mfl56_0RestoreConfig(), 2);
    EXPECT_EQ(Current(), kBefore);
    EXPECT_STREQ(_sg_DownloadContext.claFileName, "old.cla");
    EXPECT_EQ(Image(), "OLD");
    EXPECT_THAT(ui.rec.Log(), IsEmpty());
}

// Each failing line: the fields before it hold their restored values, the failing field holds
// the rejected value (or its old one when the line is missing), the fields after it are
// untouched; the software file was reloaded as soon as the name was read.
TEST_F(Config, EveryCodeAndTheStateItLeaves) {
    test::WriteFile("new.cla", "NEW");
    const std::string name = "CLA File : new.cla";
    struct Case {
        std::vector<std::string> lines;
        std::int32_t code;
        Options after;
        bool reloaded;
        int port;
    };
    const Options b = kBefore;
    const Case cases[] = {
        {{"COM : 1", "PMU : 0"}, 3, b, false, b.comPort},
        {{"# comment", name, "COM : 1"}, 3, b, false, b.comPort},
        {{" CLA File : new.cla"}, 3, b, false, b.comPort},
        {{"cla file : new.cla"}, 3, b, false, b.comPort},
        {{name, "* comment", "COM : 1"}, 6, b, true, b.comPort},
        {{name, "", "COM : 1"}, 6, b, true, b.comPort},
        {{name, "PMU : 0"}, 6, b, true, b.comPort},
        {{name, "COM : 256", "PMU : 1"},
         5,
         {256, b.pmuOption, b.productType, b.downloadType},
         true,
         b.comPort},
        {{name, "COM : 2", "Product Type : 1"},
         10,
         {2, b.pmuOption, b.productType, b.downloadType},
         true,
         2},
        {{name, "COM : 2", "PMU : 2"}, 9, {2, 2, b.productType, b.downloadType}, true, 2},
        {{name, "COM : 2", "PMU : 1", "Download Type : 0"},
         12,
         {2, 1, b.productType, b.downloadType},
         true,
         2},
        {{name, "COM : 2", "PMU : 1", "Product Type : 3"}, 11, {2, 1, 3, b.downloadType}, true, 2},
        {{name, "COM : 2", "PMU : 1", "Product Type : 0", "Download type : 0"},
         14,
         {2, 1, 0, b.downloadType},
         true,
         2},
        {{name, "COM : 2", "PMU : 1", "Product Type : 0", "Download Type : 5"},
         13,
         {2, 1, 0, 5},
         true,
         2},
        // Only the upper bound is tested.
        {{name, "COM : 0", "PMU : -1", "Product Type : -7", "Download Type : -2147483648"},
         1,
         {0, -1, -7, -2147483647 - 1},
         true,
         0},
        {{name, "COM : -1", "PMU : 1", "Product Type : 2", "Download Type : 4"},
         1,
         {-1, 1, 2, 4},
         true,
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lines));
        SetUp();
        EXPECT_EQ(Restore(Join(c.lines)), c.code);
        EXPECT_EQ(Current(), c.after);
        EXPECT_EQ(Reloaded(), c.reloaded);
        EXPECT_EQ(Image(), c.reloaded ? "NEW" : "OLD");
        EXPECT_STREQ(_sg_DownloadContext.claFileName, c.reloaded ? "new.cla" : "old.cla");
        EXPECT_EQ(Port(), c.port);
        // The product-type selector follows once its line is accepted.
        const bool productRead = c.code == 1 || c.code == 13 || c.code == 14;
        EXPECT_EQ(ProductTypeShown(), productRead ? c.after.productType : b.productType);
        EXPECT_EQ(RestoreUndimmed(), c.code == 1);
        EXPECT_EQ(StartUsable(), c.code == 1 || c.reloaded);
    }
}

// Every port the selector and vbcflash-cli offer restores, and is shown; above COM255 the
// line is refused as before, the value kept in the context but not shown.
TEST_F(Config, PortsUpTo255Restore) {
    test::WriteFile("new.cla", "NEW");
    for (const std::int32_t port : {1, 4, 5, 7, 8, 9, 100, 255, 256, 1000, 2147483647}) {
        SCOPED_TRACE(port);
        SetUp();
        const bool valid = port <= 255;
        EXPECT_EQ(Restore(Crlf({"CLA File : new.cla", "COM : " + std::to_string(port), "PMU : 0",
                                "Product Type : 1", "Download Type : 0"})),
                  valid ? 1 : 5);
        EXPECT_EQ(_sg_DownloadContext.comPort, port);
        EXPECT_EQ(Port(), valid ? port : kBefore.comPort);
        EXPECT_EQ(RestoreUndimmed(), valid);
    }
}

TEST_F(Config, NumbersReadAsDecimal) {
    struct Case {
        std::string text;
        std::int32_t value;
    };
    for (const Case& c : {Case{"3", 3}, Case{"+3", 3}, Case{"  -4", -4}, Case{"\t2", 2},
                          Case{"1abc", 1}, Case{"", 0}, Case{"abc", 0}, Case{"- 1", 0},
                          Case{"004", 4}, Case{std::string(18, ' ') + "1", 1},
                          Case{"-2147483648", -2147483647 - 1}, Case{"-000000000000000001", -1}}) {
        SCOPED_TRACE(c.text);
        SetUp();
        EXPECT_EQ(Restore(Crlf({"CLA File : old.cla", "COM : 1", "PMU : 0", "Product Type : 0",
                                "Download Type : " + c.text})),
                  1);
        EXPECT_EQ(_sg_DownloadContext.downloadType, c.value);
    }
}

// Values that do not fit are refused with the code of their line, and never stored.
TEST_F(Config, OverlongValuesAreRefused) {
    struct Case {
        int line;  // 0 the name, 1 to 4 the numbers
        std::string value;
        std::int32_t code;
    };
    const std::string twenty = std::string(19, ' ') + "1";
    for (const Case& c :
         {Case{0, std::string(260, 'n'), 3}, Case{0, std::string(1000, 'n'), 3}, Case{1, twenty, 5},
          Case{2, twenty, 9}, Case{3, twenty, 11}, Case{4, twenty, 13}, Case{1, "2147483648", 5},
          Case{1, "-2147483649", 5}, Case{2, "9999999999999999999", 9},
          Case{3, "-9999999999999999999", 11}, Case{4, "2147483648", 13}}) {
        SCOPED_TRACE(c.line);
        SCOPED_TRACE(c.value);
        SetUp();
        std::vector<std::string> lines = {"CLA File : old.cla", "COM : 2", "PMU : 1",
                                          "Product Type : 0", "Download Type : 0"};
        lines[static_cast<std::size_t>(c.line)].resize(
            lines[static_cast<std::size_t>(c.line)].find(": ") + 2);
        lines[static_cast<std::size_t>(c.line)] += c.value;
        EXPECT_EQ(Restore(Crlf({lines[0], lines[1], lines[2], lines[3], lines[4]})), c.code);
        const Options after = Current();
        const std::int32_t fields[] = {0, after.comPort, after.pmuOption, after.productType,
                                       after.downloadType};
        const std::int32_t before[] = {0, kBefore.comPort, kBefore.pmuOption, kBefore.productType,
                                       kBefore.downloadType};
        EXPECT_EQ(fields[c.line], before[c.line]);
        EXPECT_STREQ(_sg_DownloadContext.claFileName, "old.cla");
        EXPECT_FALSE(RestoreUndimmed());
        EXPECT_EQ(StartUsable(), c.line > 0);
    }
    // The largest name that fits is taken whole.
    SetUp();
    const std::string longName = std::string(200, 'd') + "/" + std::string(58, 'f');
    ASSERT_EQ(longName.size(), 259u);
    std::filesystem::create_directory(std::string(200, 'd'));
    test::WriteFile(longName, "LONG");
    EXPECT_EQ(Restore(Crlf({"CLA File : " + longName, "COM : 1", "PMU : 0", "Product Type : 0",
                            "Download Type : 0"})),
              1);
    EXPECT_EQ(std::string(_sg_DownloadContext.claFileName), longName);
    EXPECT_EQ(Image(), "LONG");
}

// A record the end of the data cuts off gets the code of its first missing line; a last line
// without its line end is complete.
TEST_F(Config, RecordCutOffByTheEndOfTheData) {
    test::WriteFile("new.cla", "NEW");
    struct Case {
        std::string bytes;
        std::int32_t code;
    };
    const std::string full =
        "CLA File : new.cla\r\nCOM : 2\r\nPMU : 1\r\nProduct Type : 0\r\nDownload Type : 3";
    for (const Case& c :
         {Case{"CLA File : new.cla", 6}, Case{"CLA File : new.cla\r", 6},
          Case{"CLA File : new.cla\r\nCO", 6}, Case{"CLA File : new.cla\r\nCOM : 2", 10},
          Case{"CLA File : new.cla\r\nCOM : 2\r\nPMU : 1\r\nProduct Type : 0\r\nDownload", 14},
          Case{"CLA File : new.cla\r\nCOM : 2\r\nPMU : 1\r\nProduct Type : 0\r\nDownload Type : ",
               1},
          Case{full, 1}, Case{full + "\r", 1}, Case{"CLA File", 3}, Case{"C", 3}}) {
        SCOPED_TRACE(c.bytes);
        SetUp();
        EXPECT_EQ(Restore(c.bytes), c.code);
        if (c.code != 3) {
            EXPECT_STREQ(_sg_DownloadContext.claFileName, "new.cla");
            EXPECT_EQ(Image(), "NEW");
        }
    }
    SetUp();
    EXPECT_EQ(Restore(full), 1);
    EXPECT_EQ(Current(), (Options{2, 1, 0, 3}));
}

TEST_F(Config, NameReplacesTheWholeField) {
    test::WriteFile("b.cla", "B");
    std::memset(_sg_DownloadContext.claFileName, 'z', 259);
    EXPECT_EQ(Restore(Crlf({"CLA File : b.cla", "COM : 1", "PMU : 0", "Product Type : 0",
                            "Download Type : 0"})),
              1);
    EXPECT_EQ(std::string(_sg_DownloadContext.claFileName), "b.cla");
}

// A name that does not load is the load's business: its own panel, no image left but the
// name kept for a Save, and the restore goes on.
TEST_F(Config, SoftwareFileThatDoesNotLoad) {
    const std::string rest = Crlf({"COM : 4", "PMU : 0", "Product Type : 1", "Download Type : 0"});
    EXPECT_EQ(Restore("CLA File : missing.cla\r\n" + rest), 1);
    EXPECT_EQ(Current(), (Options{4, 0, 1, 0}));
    EXPECT_STREQ(_sg_DownloadContext.claFileName, "missing.cla");
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);
    EXPECT_THAT(ui.Shown(UTIL_LIB_PC_ERR), ElementsAre("LIB_PC : File not found"));
    EXPECT_TRUE(StartUsable());
    ASSERT_EQ(_mfl56_1SaveConfig(), 1);
    EXPECT_EQ(test::ReadFile("config.txt"), kHeader + Crlf({"CLA File : missing.cla"}) + rest);

    // An empty name empties claFileName without a panel.
    SetUp();
    EXPECT_EQ(Restore("CLA File : \r\n" + rest), 1);
    EXPECT_STREQ(_sg_DownloadContext.claFileName, "");
    EXPECT_EQ(_sg_DownloadContext.fileBuffer, nullptr);
    EXPECT_EQ(ui.PanelsShown(), 0u);
}

}  // namespace
}  // namespace vbc
