#include "data/mfl10fla.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/flashtxt.h"
#include "testutil.h"

namespace vbc {
namespace {

using test::Crlf;

// The geometry the tests lean on: the builder's default chip, 19 sectors, 1 MiB.
using BlockFields = test::FlashChip;

std::vector<std::string> BlockLines(const BlockFields& b) {
    return test::FlashBlockLines(b);
}

std::string Join(const std::vector<std::string>& lines) {
    return test::CrlfJoin(lines);
}

std::string Block(const BlockFields& b = {}) {
    return Join(BlockLines(b));
}

const std::string kWorkedExample = "#Flash devices known to the download tool\r\n" + Block();

// Parses from a heap copy of exactly the file's size, so that the sanitizer sees any read
// past the end of the data.
std::int32_t Parse(FlashDescriptionTable* table, const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    auto exact = std::make_unique<std::uint8_t[]>(bytes.size() ? bytes.size() : 1);
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    return ParseFlashDescription(table, bytes.empty() ? nullptr : exact.get(),
                                 static_cast<std::uint32_t>(bytes.size()));
}

class Table {
  public:
    Table() : t_(std::make_unique<FlashDescriptionTable>()) {
        std::memset(t_.get(), 0, sizeof *t_);
    }
    FlashDescriptionTable* get() { return t_.get(); }
    FlashDescriptionTable* operator->() { return t_.get(); }
    const FlashDescription& operator[](int i) const { return t_->descriptions[i]; }

  private:
    std::unique_ptr<FlashDescriptionTable> t_;
};

// Loads text into the global table, as start-up does.
std::int32_t LoadGlobal(const std::string& text) {
    std::memset(&_vg_FlashDescritpion, 0, sizeof _vg_FlashDescritpion);
    return Parse(&_vg_FlashDescritpion, text);
}

// ---------------------------------------------------------------------------------------
// The worked example

class WorkedExample : public ::testing::Test {
  protected:
    void SetUp() override {
        test::WriteFile("flash.txt", kWorkedExample);
        ASSERT_EQ(_mfl10_100InitFlashDescription(), 1);
    }
    test::ScratchDir dir_;
};

TEST_F(WorkedExample, LoadsOneDescription) {
    ASSERT_EQ(_vg_FlashDescritpion.count, 1);
    const FlashDescription& d = _vg_FlashDescritpion.descriptions[0];
    EXPECT_STREQ(d.manufacturerName, "MAKER A");
    EXPECT_STREQ(d.deviceName, "FLASH 8M BOT");
    EXPECT_EQ(d.manufacturerId, 1);
    EXPECT_EQ(d.deviceId, 91);
    EXPECT_EQ(d.bankCount, 1);
    EXPECT_EQ(d.sectorCount, 19);
    EXPECT_EQ(d.flashSize, 1048576u);
    const std::uint32_t sizes[19] = {16384, 8192,  8192,  32768, 65536, 65536, 65536,
                                     65536, 65536, 65536, 65536, 65536, 65536, 65536,
                                     65536, 65536, 65536, 65536, 65536};
    for (int k = 0; k < 19; ++k) EXPECT_EQ(d.sectors[k].size, sizes[k]) << k;
    for (int k = 19; k < NB_SECTORS; ++k) EXPECT_EQ(d.sectors[k].size, 0u) << k;
}

TEST_F(WorkedExample, SectorStartingAtOffset) {
    struct Case {
        std::uint32_t offset;
        std::int32_t status;
        std::uint8_t sector;
    };
    const Case cases[] = {
        {0, 1, 0},      {16384, 1, 1},    {24576, 1, 2},    {32768, 1, 3},    {65536, 1, 4},
        {131072, 1, 5}, {983040, 1, 18},  {1048576, 1, 19}, {1, 18, 0},       {20000, 18, 0},
        {65535, 18, 0}, {1048575, 18, 0}, {1048577, 18, 0}, {2097152, 18, 0}, {0xFFFFFFFFu, 18, 0},
    };
    for (const Case& c : cases) {
        std::uint8_t sector = 0xEE;
        EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(1, 91, c.offset, &sector), c.status)
            << c.offset;
        if (c.status == 1) {
            EXPECT_EQ(sector, c.sector) << c.offset;
        }
    }
}

TEST_F(WorkedExample, SectorLists) {
    struct Case {
        std::uint32_t offset;
        std::uint32_t length;
        std::int32_t status;
        std::vector<std::uint8_t> numbers;
        std::uint32_t totalSize;
    };
    const Case cases[] = {
        {65536, 100000, 1, {4, 5}, 131072},
        {983040, 65536, 1, {18}, 65536},
        {983040, 65537, 20, {}, 0},
        {0, 1, 1, {0}, 16384},
        {0, 0, 1, {}, 0},
        {16384, 16385, 1, {1, 2, 3}, 49152},
        {0,
         1048576,
         1,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18},
         1048576},
        {1048576, 0, 1, {}, 0},
        {1048576, 1, 20, {}, 0},
        {20000, 10, 18, {}, 0},
        {2097152, 0, 18, {}, 0},
    };
    for (const Case& c : cases) {
        SectorList list;
        std::memset(&list, 0xAA, sizeof list);
        ASSERT_EQ(_mfl10_3GetSectorList(1, 91, c.offset, c.length, &list), c.status)
            << c.offset << "+" << c.length;
        if (c.status != 1) continue;
        ASSERT_EQ(list.count, c.numbers.size());
        for (std::size_t i = 0; i < c.numbers.size(); ++i) EXPECT_EQ(list.numbers[i], c.numbers[i]);
        EXPECT_EQ(list.totalSize, c.totalSize);
    }
}

TEST_F(WorkedExample, SizesCountsBanksAndNames) {
    std::uint32_t size = 0;
    EXPECT_EQ(_mfl10_0GetSectorSize(1, 91, 0, &size), 1);
    EXPECT_EQ(size, 16384u);
    EXPECT_EQ(_mfl10_0GetSectorSize(1, 91, 18, &size), 1);
    EXPECT_EQ(size, 65536u);
    EXPECT_EQ(_mfl10_0GetSectorSize(1, 91, 19, &size), 19);
    EXPECT_EQ(_mfl10_0GetSectorSize(1, 91, 255, &size), 19);

    std::int32_t count = 0;
    EXPECT_EQ(_mfl10_1GetNumberOfSector(1, 91, &count), 1);
    EXPECT_EQ(count, 19);

    std::uint32_t flashSize = 0;
    EXPECT_EQ(_mfl10_5GetFlashSize(1, 91, &flashSize), 1);
    EXPECT_EQ(flashSize, 1048576u);

    std::uint8_t index = 0xEE;
    EXPECT_EQ(_mfl10_500GetFlashIndex(1, 91, &index), 1);
    EXPECT_EQ(index, 0);

    char maker[FLASH_NAME_SIZE];
    char device[FLASH_NAME_SIZE];
    EXPECT_EQ(_mfl10_6GetManufacturerAndFlashName(1, 91, maker, device), 1);
    EXPECT_STREQ(maker, "MAKER A");
    EXPECT_STREQ(device, "FLASH 8M BOT");
}

TEST_F(WorkedExample, EveryQueryRefusesUnknownCodes) {
    const std::uint8_t pairs[][2] = {{1, 90}, {2, 91}, {91, 1}, {0, 0}};
    for (const auto& p : pairs) {
        std::uint8_t b8 = 0;
        std::uint32_t u32 = 0;
        std::int32_t i32 = 0;
        char n1[FLASH_NAME_SIZE], n2[FLASH_NAME_SIZE];
        SectorList list;
        list.count = 7;
        list.totalSize = 7;
        std::uint32_t flashSize = 7;
        EXPECT_EQ(_mfl10_500GetFlashIndex(p[0], p[1], &b8), 15);
        EXPECT_EQ(_mfl10_0GetSectorSize(p[0], p[1], 0, &u32), 15);
        EXPECT_EQ(_mfl10_1GetNumberOfSector(p[0], p[1], &i32), 15);
        EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(p[0], p[1], 0, &b8), 15);
        EXPECT_EQ(_mfl10_3GetSectorList(p[0], p[1], 0, 1, &list), 15);
        EXPECT_EQ(list.count, 0);
        EXPECT_EQ(list.totalSize, 0u);
        EXPECT_EQ(_mfl10_4GetSectorBank(p[0], p[1], 0, &b8), 15);
        EXPECT_EQ(_mfl10_5GetFlashSize(p[0], p[1], &flashSize), 15);
        EXPECT_EQ(flashSize, 0u);
        EXPECT_EQ(_mfl10_6GetManufacturerAndFlashName(p[0], p[1], n1, n2), 15);
    }
}

// ---------------------------------------------------------------------------------------
// Reading the file

TEST(FlashDescriptionFile, MissingFileGives2AndEmptiesTheTable) {
    test::ScratchDir dir;
    ASSERT_EQ(LoadGlobal(kWorkedExample), 1);
    EXPECT_EQ(_mfl10_100InitFlashDescription(), 2);
    EXPECT_EQ(_vg_FlashDescritpion.count, 0);
    std::int32_t count = 0;
    EXPECT_EQ(_mfl10_1GetNumberOfSector(1, 91, &count), 15);

    std::filesystem::create_directory("flash.txt");
    EXPECT_EQ(_mfl10_100InitFlashDescription(), 2);
    EXPECT_EQ(_vg_FlashDescritpion.count, 0);
}

TEST(FlashDescriptionFile, FilesWithoutBlocks) {
    const char* files[] = {
        "",  "#only a comment\r\n", "\r\n\r\n", "# a\r\n\r\n#b\r\n", "#comment without line end",
        "\r"};
    for (const char* f : files) {
        Table t;
        t->count = 5;
        EXPECT_EQ(Parse(t.get(), f), 1) << f;
        EXPECT_EQ(t->count, 0) << f;
    }
    test::ScratchDir dir;
    test::WriteFile("flash.txt", "");
    EXPECT_EQ(_mfl10_100InitFlashDescription(), 1);
    EXPECT_EQ(_vg_FlashDescritpion.count, 0);
}

TEST(FlashDescriptionFile, LastLineWithoutLineEnd) {
    std::string text = Block();
    text.resize(text.size() - 2);
    Table t;
    EXPECT_EQ(Parse(t.get(), text), 1);
    EXPECT_EQ(t[0].flashSize, 1048576u);
}

struct ErrorCase {
    const char* what;
    std::string text;
    std::int32_t status;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.what;
}

std::string CaseName(const ::testing::TestParamInfo<ErrorCase>& info) {
    std::string name;
    for (const char* p = info.param.what; *p; ++p) {
        const bool alnum = std::isalnum(static_cast<unsigned char>(*p));
        if (alnum) name += *p;
        if (!alnum && !name.empty() && name.back() != '_') name += '_';
    }
    return name;
}

std::string WithLine(std::size_t index, const std::string& replacement) {
    std::vector<std::string> lines = BlockLines({});
    lines[index] = replacement;
    return Join(lines);
}

std::string Edited(void (*edit)(BlockFields&)) {
    BlockFields b;
    edit(b);
    return Block(b);
}

class FileErrorCodes : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FileErrorCodes, StopsWithTheCodeOfTheRule) {
    Table t;
    EXPECT_EQ(Parse(t.get(), GetParam().text), GetParam().status) << GetParam().what;
}

// Rule: a top-level line is a comment, an empty line or NEW_FLASH.
INSTANTIATE_TEST_SUITE_P(
    TopLevel, FileErrorCodes,
    ::testing::Values(ErrorCase{"unknown line", Crlf({"FLASH"}), 3},
                      ErrorCase{"keyword cut short", "NEW_FLAS", 3},
                      ErrorCase{"leading blank", Crlf({" NEW_FLASH"}), 3},
                      ErrorCase{"lower case", Crlf({"new_flash"}), 3},
                      ErrorCase{"LF-only empty line first", "\n" + Block(), 3},
                      ErrorCase{"garbage after a good block", Block() + "END_FLASH\r\n", 3},
                      ErrorCase{"NEW_FLASH and a blank", WithLine(0, "NEW_FLASH "), 4}),
    CaseName);

// Rule: the block's keyword lines come in order, each with its own code.
INSTANTIATE_TEST_SUITE_P(
    KeywordLines, FileErrorCodes,
    ::testing::Values(
        ErrorCase{"no MANUFACTURER_NAME", WithLine(1, "#comment"), 4},
        ErrorCase{"no DEVICE_NAME", WithLine(2, ""), 5},
        ErrorCase{"no NORVANE_PRODUCT", WithLine(3, "NORVANE_PRODUCT: x"), 6},
        ErrorCase{"no MANUFACTURER_ID", WithLine(4, "MANUFACTURER_ID :1"), 7},
        ErrorCase{"no DEVICE_ID", WithLine(5, "device_id : 91"), 8},
        ErrorCase{"no NB_BANKS", WithLine(6, "#NB_BANKS : 1"), 9},
        ErrorCase{"no NB_SECTORS", WithLine(7, " NB_SECTORS : 19"), 10},
        ErrorCase{"no START_SECTOR_DESCRITPION", WithLine(8, "START_SECTOR_DESCRIPTION"), 11},
        ErrorCase{"START_SECTOR_DESCRITPION and a blank", WithLine(8, "START_SECTOR_DESCRITPION "),
                  13},
        ErrorCase{"no END_FLASH", WithLine(14, "END"), 12},
        ErrorCase{"comment before END_FLASH", WithLine(14, "#END_FLASH"), 12},
        ErrorCase{"lines swapped", Join({"NEW_FLASH", "DEVICE_NAME : x", "MANUFACTURER_NAME : y"}),
                  4}),
    CaseName);

// Rule: sector numbers stay within NB_SECTORS.
INSTANTIATE_TEST_SUITE_P(
    SectorNumbers, FileErrorCodes,
    ::testing::Values(
        ErrorCase{"first past the count", Edited([](BlockFields& b) { b.sectors = {"20*1*0"}; }),
                  13},
        ErrorCase{"first wraps to 20", Edited([](BlockFields& b) { b.sectors = {"276*1*0"}; }), 13},
        ErrorCase{"first wraps to 0", Edited([](BlockFields& b) { b.sectors = {"256*1*0"}; }), 1},
        ErrorCase{"range start past", Edited([](BlockFields& b) { b.sectors = {"20-21*1*0"}; }),
                  13},
        ErrorCase{"range end past", Edited([](BlockFields& b) { b.sectors = {"5-20*1*0"}; }), 14},
        ErrorCase{"first equal to the count", Edited([](BlockFields& b) {
                      b.sectors = {"19*1*0", "0-19*2*0"};
                  }),
                  1},
        ErrorCase{"range backwards", Edited([](BlockFields& b) { b.sectors = {"5-2*1*0"}; }), 1}),
    CaseName);

// Rule: at most 20 blocks, at most 200 sectors.
std::string Blocks(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        BlockFields b;
        b.deviceId = std::to_string(i);
        text += Block(b);
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FileErrorCodes,
    ::testing::Values(
        ErrorCase{"20 blocks", Blocks(20), 1}, ErrorCase{"21 blocks", Blocks(21), 16},
        ErrorCase{"21st is only the keyword", Blocks(20) + "NEW_FLASH\r\n", 16},
        ErrorCase{"200 sectors", Edited([](BlockFields& b) { b.sectorCount = "200"; }), 1},
        ErrorCase{"201 sectors", Edited([](BlockFields& b) { b.sectorCount = "201"; }), 17},
        ErrorCase{"65735 wraps to 199", Edited([](BlockFields& b) { b.sectorCount = "65735"; }), 1},
        ErrorCase{"65737 wraps to 201", Edited([](BlockFields& b) { b.sectorCount = "65737"; }),
                  17}),
    CaseName);

// Rule: lines end with CR LF.
std::string LfOnly(std::string text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

std::string CrOnly(std::string text) {
    std::string out;
    for (char c : text)
        if (c != '\n') out += c;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    LineEnds, FileErrorCodes,
    ::testing::Values(ErrorCase{"LF only", LfOnly(Block()), 4},
                      ErrorCase{"LF only after a comment", LfOnly(kWorkedExample), 4},
                      ErrorCase{"LF only, empty line first", LfOnly("\r\n" + Block()), 3},
                      ErrorCase{"CR only", CrOnly(Block()), 4}),
    CaseName);

TEST(FlashDescriptionFile, InitReportsTheParseStatus) {
    test::ScratchDir dir;
    test::WriteFile("flash.txt", Blocks(21));
    EXPECT_EQ(_mfl10_100InitFlashDescription(), 16);
    EXPECT_EQ(_vg_FlashDescritpion.count, 20);
    test::WriteFile("flash.txt", LfOnly(kWorkedExample));
    EXPECT_EQ(_mfl10_100InitFlashDescription(), 4);
    EXPECT_EQ(_vg_FlashDescritpion.count, 1);
}

// ---------------------------------------------------------------------------------------
// The table after a failure

TEST(FlashDescriptionState, FailingBlockHoldsWhatWasRead) {
    BlockFields second;
    second.manufacturerName = "SECOND";
    second.deviceId = "92";
    std::vector<std::string> lines = BlockLines(second);
    lines[5] = "#no device id";  // DEVICE_ID
    Table t;
    ASSERT_EQ(Parse(t.get(), Block() + Join(lines)), 8);
    ASSERT_EQ(t->count, 2);
    EXPECT_EQ(t[0].flashSize, 1048576u);
    EXPECT_STREQ(t[1].manufacturerName, "SECOND");
    EXPECT_STREQ(t[1].deviceName, "FLASH 8M BOT");
    EXPECT_EQ(t[1].manufacturerId, 1);
    EXPECT_EQ(t[1].deviceId, 0);
    EXPECT_EQ(t[1].bankCount, 0);
    EXPECT_EQ(t[1].sectorCount, 0);
    EXPECT_EQ(t[1].flashSize, 0u);
}

TEST(FlashDescriptionState, SectorsReadBeforeAMissingEndFlashStay) {
    std::vector<std::string> lines = BlockLines({});
    lines[14] = "END";
    Table t;
    ASSERT_EQ(Parse(t.get(), Join(lines)), 12);
    ASSERT_EQ(t->count, 1);
    EXPECT_EQ(t[0].sectorCount, 19);
    EXPECT_EQ(t[0].sectors[18].size, 65536u);
    EXPECT_EQ(t[0].flashSize, 0u);
}

TEST(FlashDescriptionState, TooManySectorsLeavesTheCountAtZero) {
    Table t;
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.banks = "3";
                        b.sectorCount = "255";
                    })),
              17);
    ASSERT_EQ(t->count, 1);
    EXPECT_EQ(t[0].bankCount, 3);
    EXPECT_EQ(t[0].sectorCount, 0);
}

TEST(FlashDescriptionState, TwentyStayUsableAfterThe21st) {
    ASSERT_EQ(LoadGlobal(Blocks(21)), 16);
    ASSERT_EQ(_vg_FlashDescritpion.count, 20);
    for (int i = 0; i < 20; ++i) {
        std::uint8_t index = 0xEE;
        std::uint32_t size = 0;
        EXPECT_EQ(_mfl10_500GetFlashIndex(1, static_cast<std::uint8_t>(i), &index), 1);
        EXPECT_EQ(index, i);
        EXPECT_EQ(_mfl10_5GetFlashSize(1, static_cast<std::uint8_t>(i), &size), 1);
        EXPECT_EQ(size, 1048576u);
    }
}

TEST(FlashDescriptionState, ANewBlockStartsFromZero) {
    // A table used before: the second reading must not keep the old sectors.
    Table t;
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectorCount = "30";
                        b.sectors = {"0-29*4096*1"};
                    })),
              1);
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) { b.sectors = {"0*100*0"}; })), 1);
    EXPECT_EQ(t[0].sectors[1].size, 0u);
    EXPECT_EQ(t[0].sectors[20].bank, 0);
    EXPECT_EQ(t[0].flashSize, 100u);
}

TEST(FlashDescriptionState, ParsingAnotherTableLeavesTheGlobalAlone) {
    ASSERT_EQ(LoadGlobal(kWorkedExample), 1);
    Table t;
    EXPECT_EQ(Parse(t.get(), Blocks(3)), 1);
    EXPECT_EQ(Parse(t.get(), "junk"), 3);
    EXPECT_EQ(_vg_FlashDescritpion.count, 1);
    EXPECT_EQ(_vg_FlashDescritpion.descriptions[0].deviceId, 91);
}

// ---------------------------------------------------------------------------------------
// Values

TEST(FlashDescriptionValues, NumbersAreDecimalAndKeptInTheirFieldWidth) {
    struct Case {
        std::string text;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"137", 137},
        {"393", 137},
        {"0x89", 0},
        {"  42", 42},
        {"\t7", 7},
        {"+7", 7},
        {"-1", 255},
        {"-256", 0},
        {"", 0},
        {"abc", 0},
        {"12abc", 12},
        {"1 2", 1},
        {"4294967433", 137},
        {"99999999999999999999", 255},
        {"- 5", 0},
    };
    for (const Case& c : cases) {
        Table t;
        BlockFields b;
        b.manufacturerId = c.text;
        b.deviceId = c.text;
        b.banks = c.text;
        ASSERT_EQ(Parse(t.get(), Block(b)), 1) << c.text;
        EXPECT_EQ(t[0].manufacturerId, c.value) << c.text;
        EXPECT_EQ(t[0].deviceId, c.value) << c.text;
        EXPECT_EQ(t[0].bankCount, c.value) << c.text;
    }
}

TEST(FlashDescriptionValues, SectorFields) {
    Table t;
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectorCount = "7";
                        b.sectors = {" 0 * 100 * 3", "1*-1*258", "2-3*4294967297*7",
                                     "4*10*1*2",     "5*7*",     "6-*9*4"};
                    })),
              1);
    EXPECT_EQ(t[0].sectors[0].size, 100u);
    EXPECT_EQ(t[0].sectors[0].bank, 3);
    EXPECT_EQ(t[0].sectors[1].size, 0xFFFFFFFFu);
    EXPECT_EQ(t[0].sectors[1].bank, 2);
    EXPECT_EQ(t[0].sectors[2].size, 1u);
    EXPECT_EQ(t[0].sectors[3].size, 1u);
    EXPECT_EQ(t[0].sectors[3].bank, 7);
    EXPECT_EQ(t[0].sectors[4].size, 10u);  // bank is the rest of the line: "1*2" reads 1
    EXPECT_EQ(t[0].sectors[4].bank, 1);
    EXPECT_EQ(t[0].sectors[5].size, 7u);
    EXPECT_EQ(t[0].sectors[5].bank, 0);
    EXPECT_EQ(t[0].sectors[6].size, 0u);  // "6-" is the range 6 to 0: nothing stored
    EXPECT_EQ(t[0].flashSize, 100u + 0xFFFFFFFFu + 1u + 1u + 10u + 7u);
}

TEST(FlashDescriptionValues, RangeEqualsSingleLines) {
    Table a, b;
    ASSERT_EQ(Parse(a.get(), Block()), 1);
    ASSERT_EQ(
        Parse(b.get(), Edited([](BlockFields& s) {
                  s.sectors = {"0*16384*0", "1*8192*0", "2*8192*0", "3*32768*0", "4-18*65536*0"};
              })),
        1);
    EXPECT_EQ(std::memcmp(a.get(), b.get(), sizeof(FlashDescriptionTable)), 0);
}

TEST(FlashDescriptionValues, LaterLinesOverwriteAndUnnamedSectorsStayZero) {
    Table t;
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectorCount = "4";
                        b.sectors = {"0-3*100*1", "2*50*2"};
                    })),
              1);
    EXPECT_EQ(t[0].sectors[2].size, 50u);
    EXPECT_EQ(t[0].sectors[2].bank, 2);
    EXPECT_EQ(t[0].flashSize, 350u);
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectorCount = "4";
                        b.sectors = {"1*100*1"};
                    })),
              1);
    EXPECT_EQ(t[0].sectors[0].size, 0u);
    EXPECT_EQ(t[0].flashSize, 100u);
}

TEST(FlashDescriptionValues, NamesKeepTheirBlanks) {
    Table t;
    ASSERT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.manufacturerName = " A B ";
                        b.deviceName = "";
                    })),
              1);
    EXPECT_STREQ(t[0].manufacturerName, " A B ");
    EXPECT_STREQ(t[0].deviceName, "");
}

TEST(FlashDescriptionValues, EndSectorLineMayCarryText) {
    Table t;
    EXPECT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.endSectors =
                            "END_SECTOR_DESCRIPTION and some words " + std::string(100, 'x');
                    })),
              1);
}

TEST(FlashDescriptionQueries, FirstMatchWins) {
    BlockFields second;
    second.deviceName = "SECOND";
    second.sectorCount = "2";
    second.sectors = {"0-1*4096*0"};
    BlockFields other = second;
    other.deviceId = "92";
    ASSERT_EQ(LoadGlobal(Block() + Block(second) + Block(other)), 1);
    std::uint8_t index = 0xEE;
    EXPECT_EQ(_mfl10_500GetFlashIndex(1, 91, &index), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(_mfl10_500GetFlashIndex(1, 92, &index), 1);
    EXPECT_EQ(index, 2);
    std::int32_t count = 0;
    EXPECT_EQ(_mfl10_1GetNumberOfSector(1, 91, &count), 1);
    EXPECT_EQ(count, 19);
    char maker[FLASH_NAME_SIZE], device[FLASH_NAME_SIZE];
    EXPECT_EQ(_mfl10_6GetManufacturerAndFlashName(1, 91, maker, device), 1);
    EXPECT_STREQ(device, "FLASH 8M BOT");
    std::uint32_t size = 0;
    EXPECT_EQ(_mfl10_5GetFlashSize(1, 92, &size), 1);
    EXPECT_EQ(size, 8192u);
}

TEST(FlashDescriptionQueries, SectorBank) {
    ASSERT_EQ(LoadGlobal(Edited([](BlockFields& b) {
                  b.sectorCount = "200";
                  b.sectors = {"0-9*8192*0", "10-199*65536*3"};
              })),
              1);
    struct Case {
        std::uint16_t sector;
        std::int32_t status;
        std::uint8_t bank;
    };
    const Case cases[] = {{0, 1, 0},    {9, 1, 0},    {10, 1, 3},   {199, 1, 3},
                          {200, 19, 0}, {255, 19, 0}, {256, 19, 0}, {65535, 19, 0}};
    for (const Case& c : cases) {
        std::uint8_t bank = 0xEE;
        EXPECT_EQ(_mfl10_4GetSectorBank(1, 91, c.sector, &bank), c.status) << c.sector;
        if (c.status == 1) {
            EXPECT_EQ(bank, c.bank) << c.sector;
        }
    }
    // Fewer sectors: numbers from the count up are not sectors of the chip.
    ASSERT_EQ(LoadGlobal(kWorkedExample), 1);
    std::uint8_t bank = 0;
    EXPECT_EQ(_mfl10_4GetSectorBank(1, 91, 18, &bank), 1);
    EXPECT_EQ(_mfl10_4GetSectorBank(1, 91, 19, &bank), 19);
}

TEST(FlashDescriptionQueries, TwoHundredSectorsReachTheEnd) {
    ASSERT_EQ(LoadGlobal(Edited([](BlockFields& b) {
                  b.sectorCount = "200";
                  b.sectors = {"0-199*65536*0"};
              })),
              1);
    std::uint8_t sector = 0;
    EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(1, 91, 200u * 65536u, &sector), 1);
    EXPECT_EQ(sector, 200);
    SectorList list;
    ASSERT_EQ(_mfl10_3GetSectorList(1, 91, 0, 200u * 65536u, &list), 1);
    EXPECT_EQ(list.count, 200);
    EXPECT_EQ(list.numbers[199], 199);
    EXPECT_EQ(_mfl10_3GetSectorList(1, 91, 0, 200u * 65536u + 1, &list), 20);
}

TEST(FlashDescriptionQueries, HugeSectorsDoNotWrapOntoSmallOffsets) {
    // After sector 1 a 32-bit running sum would wrap to 8, and reach 32 at the end of sector 2.
    ASSERT_EQ(LoadGlobal(Edited([](BlockFields& b) {
                  b.sectorCount = "3";
                  b.sectors = {"0*16*0", "1*4294967288*0", "2*24*0"};
              })),
              1);
    std::uint8_t sector = 0;
    EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(1, 91, 16, &sector), 1);
    EXPECT_EQ(sector, 1);
    EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(1, 91, 32, &sector), 18);
    EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(1, 91, 8, &sector), 18);
}

// ---------------------------------------------------------------------------------------
// Input the format does not provide for

TEST(FlashDescriptionUnsafeInput, LongNamesAreCutTo14Characters) {
    struct Case {
        std::string name;
        const char* stored;
    };
    const Case cases[] = {{"ABCDEFGHIJKLMN", "ABCDEFGHIJKLMN"},
                          {"ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMN"},
                          {std::string(5000, 'Z'), "ZZZZZZZZZZZZZZ"}};
    for (const Case& c : cases) {
        Table t;
        std::memset(t.get(), 0x55, sizeof(FlashDescriptionTable));
        ASSERT_EQ(Parse(t.get(), Block() + Block([&] {
                                     BlockFields b;
                                     b.manufacturerName = c.name;
                                     b.deviceName = c.name;
                                     b.deviceId = "92";
                                     return b;
                                 }())),
                  1);
        EXPECT_STREQ(t[1].manufacturerName, c.stored);
        EXPECT_STREQ(t[1].deviceName, c.stored);
        EXPECT_EQ(t[1].manufacturerId, 1);  // the next fields are untouched by the name
        EXPECT_EQ(t[1].deviceId, 92);
    }
}

TEST(FlashDescriptionUnsafeInput, LongProductTextIsReadPast) {
    Table t;
    EXPECT_EQ(Parse(t.get(), Edited([](BlockFields& b) { b.product = std::string(5000, 'p'); })),
              1);
}

TEST(FlashDescriptionUnsafeInput, NumericValuesLongerThan39CharactersAreRefused) {
    const std::string ok = std::string(37, ' ') + "91";  // 39 characters
    const std::string tooLong = " " + ok;                // 40
    struct Case {
        std::string BlockFields::*field;
        std::int32_t status;
    };
    const Case cases[] = {{&BlockFields::manufacturerId, 7},
                          {&BlockFields::deviceId, 8},
                          {&BlockFields::banks, 9},
                          {&BlockFields::sectorCount, 10}};
    for (const Case& c : cases) {
        BlockFields b;
        b.sectorCount = "91";
        b.*c.field = ok;
        Table t;
        EXPECT_EQ(Parse(t.get(), Block(b)), 1) << c.status;
        b.*c.field = tooLong;
        EXPECT_EQ(Parse(t.get(), Block(b)), c.status);
        b.*c.field = std::string(10000, '7');
        EXPECT_EQ(Parse(t.get(), Block(b)), c.status);
    }
}

TEST(FlashDescriptionUnsafeInput, SectorLinesLongerThan39CharactersAreRefused) {
    const std::string line39 = "0*16384*" + std::string(30, ' ') + "0";
    ASSERT_EQ(line39.size(), 39u);
    Table t;
    EXPECT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectors = {"0*16384*" + std::string(30, ' ') + "0"};
                    })),
              1);
    EXPECT_EQ(Parse(t.get(), Edited([](BlockFields& b) {
                        b.sectors = {"0*16384*" + std::string(31, ' ') + "0"};
                    })),
              13);
    EXPECT_EQ(Parse(t.get(), Edited([](BlockFields& b) { b.sectors = {std::string(10000, '1')}; })),
              13);
}

TEST(FlashDescriptionUnsafeInput, SectorNumber200HasNoSlot) {
    struct Case {
        std::string line;
        std::int32_t status;
    };
    const Case cases[] = {{"199*1*0", 1},    {"0-199*1*0", 1},    {"200*1*0", 13},
                          {"0-200*1*0", 14}, {"200-200*1*0", 13}, {"200-3*1*0", 13}};
    for (const Case& c : cases) {
        BlockFields b;
        b.sectorCount = "200";
        b.sectors = {c.line};
        Table t;
        std::memset(t.get(), 0, sizeof(FlashDescriptionTable));
        EXPECT_EQ(Parse(t.get(), Block(b) + Block()), c.status) << c.line;
        // Slot 200 would be the next description's first bytes.
        EXPECT_EQ(t[1].manufacturerName[0], c.status == 1 ? 'M' : '\0') << c.line;
    }
}

TEST(FlashDescriptionUnsafeInput, MalformedSectorLinesAreRefused) {
    const char* lines[] = {"5",      "5*100", "1-2", "1-2*100", "*",  "-",         "#1-2*3*4",
                           "# note", "",      " ",   "\t",      "\r", "NEW_FLASH", "END_FLASH"};
    for (const char* line : lines) {
        Table t;
        EXPECT_EQ(Parse(t.get(), Block([&] {
                            BlockFields b;
                            b.sectors = {"0*1*0", line};
                            return b;
                        }())),
                  13)
            << '"' << line << '"';
    }
}

TEST(FlashDescriptionUnsafeInput, SectorLineWithLfOnlyIsTaken) {
    BlockFields b;
    b.sectors = {};
    std::string text = Block(b);
    const std::string start = "START_SECTOR_DESCRITPION\r\n";
    text.insert(text.find(start) + start.size(), "0-18*4096*0\n");
    Table t;
    ASSERT_EQ(Parse(t.get(), text), 1);
    EXPECT_EQ(t[0].flashSize, 19u * 4096u);
}

TEST(FlashDescriptionUnsafeInput, EveryCutOfABlockIsRefused) {
    const std::string text = kWorkedExample + Block([] {
                                 BlockFields b;
                                 b.deviceId = "92";
                                 return b;
                             }());
    const std::size_t firstEnd = kWorkedExample.size();
    const std::size_t commentEnd = kWorkedExample.find("NEW_FLASH");
    for (std::size_t n = 0; n <= text.size(); ++n) {
        Table t;
        const std::int32_t status = Parse(t.get(), text.substr(0, n));
        // The text is whole up to the end of a block, less at most its final CR LF.
        const bool whole =
            n <= commentEnd || (n >= firstEnd - 2 && n <= firstEnd) || n >= text.size() - 2;
        if (whole) {
            EXPECT_EQ(status, 1) << n;
        } else {
            EXPECT_NE(status, 1) << n;
            EXPECT_GE(status, 3) << n;
            EXPECT_LE(status, 14) << n;
        }
        EXPECT_LE(t->count, 2) << n;
    }
}

TEST(FlashDescriptionUnsafeInput, CutAmongTheSectorLines) {
    struct Case {
        std::string tail;
        std::int32_t status;
    };
    const Case cases[] = {{"", 12},
                          {"0*1*0\r\n", 12},
                          {"0*1*0", 12},
                          {"END_SECTOR_DESCRIPTION\r\n", 12},
                          {"END_SECTOR_DESCRIPTION", 12},
                          {"END_SECTOR_DESCRIPTION\r\nEND_FLA", 12}};
    const std::string head = Block().substr(0, Block().find("0*16384*0"));
    for (const Case& c : cases) {
        Table t;
        EXPECT_EQ(Parse(t.get(), head + c.tail), c.status) << c.tail;
        EXPECT_EQ(t->count, 1);
    }
}

TEST(FlashDescriptionUnsafeInput, BinaryBytesAreHarmless) {
    std::string text = Block();
    text[text.find("MAKER A")] = '\0';
    text[text.find("16384")] = '\0';
    Table t;
    ASSERT_EQ(Parse(t.get(), text), 1);
    EXPECT_STREQ(t[0].manufacturerName, "");
    EXPECT_EQ(t[0].sectors[0].size, 0u);
    std::string noise;
    for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 131 + 7) & 0xFF);
    EXPECT_EQ(Parse(t.get(), noise), 3);
    EXPECT_EQ(ParseFlashDescription(nullptr, nullptr, 0), 2);
    EXPECT_EQ(ParseFlashDescription(t.get(), nullptr, 100), 1);
}

// ---------------------------------------------------------------------------------------
// The example file shipped with the tool

TEST(ExampleFlashFile, LoadsAndAnswersForTheKnownChips) {
    test::ScratchDir dir;
    const std::string text = test::ReadFile(std::string(VBC_SOURCE_DIR) + "/examples/flash.txt");
    ASSERT_FALSE(text.empty());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    test::WriteFile("flash.txt", text);
    ASSERT_EQ(_mfl10_100InitFlashDescription(), 1);

    struct Chip {
        std::uint8_t manufacturer, device;
        std::int32_t sectors;
        std::uint32_t size;
    };
    const Chip chips[] = {
        {0x20, 0xCA, 135, 8u << 20}, {0x89, 0x64, 135, 8u << 20}, {0x20, 0x10, 135, 8u << 20},
        {0x2C, 0xB6, 135, 8u << 20}, {0x01, 0xE3, 135, 8u << 20}, {0x01, 0xE4, 135, 8u << 20},
    };
    for (const Chip& c : chips) {
        std::int32_t count = 0;
        std::uint32_t size = 0;
        ASSERT_EQ(_mfl10_1GetNumberOfSector(c.manufacturer, c.device, &count), 1)
            << int(c.manufacturer) << "/" << int(c.device);
        EXPECT_EQ(count, c.sectors);
        EXPECT_EQ(_mfl10_5GetFlashSize(c.manufacturer, c.device, &size), 1);
        EXPECT_EQ(size, c.size);
        // The whole flash is one run of sectors with no gap.
        SectorList list;
        ASSERT_EQ(_mfl10_3GetSectorList(c.manufacturer, c.device, 0, size, &list), 1);
        EXPECT_EQ(list.count, c.sectors);
        EXPECT_EQ(list.totalSize, size);
    }
    // One chip each for the other makers the identification accepts.
    for (std::uint8_t maker : {0x04, 0x07, 0x98}) {
        bool found = false;
        for (int i = 0; i < _vg_FlashDescritpion.count; ++i)
            found = found || _vg_FlashDescritpion.descriptions[i].manufacturerId == maker;
        EXPECT_TRUE(found) << int(maker);
    }

    // Bottom boot: eight 8 KiB parameter blocks, then 64 KiB blocks.
    std::uint32_t size = 0;
    EXPECT_EQ(_mfl10_0GetSectorSize(0x20, 0xCA, 7, &size), 1);
    EXPECT_EQ(size, 8192u);
    EXPECT_EQ(_mfl10_0GetSectorSize(0x20, 0xCA, 8, &size), 1);
    EXPECT_EQ(size, 65536u);
    std::uint8_t sector = 0;
    EXPECT_EQ(_mfl10_2GetSectorNumberWithStartAddr(0x20, 0xCA, 0x10000, &sector), 1);
    EXPECT_EQ(sector, 8);
    // Top boot: the parameter blocks are at the end.
    EXPECT_EQ(_mfl10_0GetSectorSize(0x20, 0x10, 0, &size), 1);
    EXPECT_EQ(size, 65536u);
    EXPECT_EQ(_mfl10_0GetSectorSize(0x20, 0x10, 134, &size), 1);
    EXPECT_EQ(size, 8192u);
    char maker[FLASH_NAME_SIZE], device[FLASH_NAME_SIZE];
    EXPECT_EQ(_mfl10_6GetManufacturerAndFlashName(0x89, 0x64, maker, device), 1);
    EXPECT_STREQ(maker, "INTEL");
    EXPECT_STREQ(device, "28F640W18");
}

}  // namespace
}  // namespace vbc
