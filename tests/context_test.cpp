#include <gtest/gtest.h>

#include <cstring>

#include "core/context.h"
#include "link/mfl12pclib.h"

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

TEST(DownloadContext, ACopyIsIndependentOfTheGlobal) {
    ResetDownloadContext();
    DownloadContext copy;
    std::memcpy(&copy, &_sg_DownloadContext, sizeof copy);
    copy.stepTime = 1234;
    EXPECT_EQ(_sg_DownloadContext.stepTime, 0);
}

TEST(SpeedTables, RowsAgreeWithTheClockRule) {
    ASSERT_EQ(_a_PCSpeedValue[1], 115200u);
    EXPECT_EQ(_a_SpeedParameters[1][0], 0x00);
    EXPECT_EQ(_a_SpeedParameters[1][1], 0xFF);
    EXPECT_EQ(_a_SpeedParameters[1][2], 0xF9);
    for (int row = 0; row < NB_PC_SPEED_VALUES; ++row) {
        double f = _a_SpeedParameters[row][0];
        double w = (_a_SpeedParameters[row][1] << 8) | _a_SpeedParameters[row][2];
        auto rate = static_cast<std::uint32_t>(26000000.0 / (32.0 * (65536.0 - w) + f / 8.0));
        if (row >= 2) {
            EXPECT_EQ(rate, _a_PCSpeedValue[row]) << "row " << row;
        } else {
            EXPECT_GE(rate, _a_PCSpeedValue[row]) << "row " << row;
            EXPECT_LE(rate, _a_PCSpeedValue[row] * 1.01) << "row " << row;
        }
    }
}

}  // namespace
}  // namespace vbc
