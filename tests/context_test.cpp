#include <gtest/gtest.h>

#include <iterator>

#include "core/context.h"
#include "link/mfl12pclib.h"
#include "testing/scriptedserial.h"

namespace vbc {
namespace {

TEST(DownloadContext, LoadTimeDefaults) {
    ResetDownloadContext();
    const DownloadContext& c = _sg_DownloadContext;
    EXPECT_EQ(c.comPort, 1);
    EXPECT_EQ(c.simlockKeyOption, 0);
    EXPECT_EQ(c.pmuOption, 0);
    EXPECT_EQ(c.speedIndex, 1);
    EXPECT_EQ(c.downloadType, 0);
    EXPECT_EQ(c.productType, 2);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(c.csWaitStates[i], 0);
        EXPECT_EQ(c.targetInfo[i], 0);
    }
    EXPECT_EQ(c.claFileName[0], '\0');
    EXPECT_EQ(c.fileBuffer, nullptr);
    EXPECT_EQ(c.fileSize, 0);
    EXPECT_EQ(sizeof c.claFileName, 260u);
    EXPECT_EQ(sizeof c.defaultPath, 260u);
}

// The speed table, row by row as the line's documentation gives it: the three bytes the speed
// change sends the phone, and the PC's rate (rows 9 to 12 have none). With F the first byte and
// W the other two, the phone's 26 MHz divider 32 x (65536 - W) + F / 8 makes of them 38690 and
// 116071 bit/s for rows 0 and 1 (within 1 % above the PC's) and exactly the PC's rate from row 2
// on: the end-to-end speed rows check that rate on the simulator's line.
TEST(SpeedTables, EachRowsBytesAndPcRate) {
    const struct {
        const char* bytes;
        std::uint32_t pcRate;  // 0: none
    } rows[] = {
        {"00 FF EB", 38400},  {"00 FF F9", 115200}, {"00 FF FB", 162500}, {"00 FF FC", 203125},
        {"B0 FF FD", 220338}, {"60 FF FD", 240740}, {"20 FF FD", 260000}, {"00 FF FD", 270833},
        {"B0 FF FE", 302325}, {"A0 FF FE", 0},      {"90 FF FE", 0},      {"80 FF FE", 0},
        {"70 FF FE", 0},
    };
    ASSERT_EQ(NB_SPEED_PARAMETERS, static_cast<int>(std::size(rows)));
    ASSERT_EQ(NB_PC_SPEED_VALUES, 9);
    for (int row = 0; row < NB_SPEED_PARAMETERS; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(platform::Hex(_a_SpeedParameters[row]), rows[row].bytes);
        if (row < NB_PC_SPEED_VALUES) {
            EXPECT_EQ(_a_PCSpeedValue[row], rows[row].pcRate);
        }
    }
}

}  // namespace
}  // namespace vbc
