// How the simulator's faults are written and matched.
#include <gtest/gtest.h>

#include "sim/faults.h"

namespace vbc::sim {
namespace {

TEST(SimFaults, SectorAttemptsMatchSectorAndAttemptWithWildcards) {
    SectorAttempts s;
    std::string why;
    ASSERT_TRUE(s.Parse("3:1,*:4,7:*", false, &why)) << why;
    EXPECT_TRUE(s.Contains(3, 1));
    EXPECT_FALSE(s.Contains(3, 2));
    EXPECT_TRUE(s.Contains(0, 4));
    EXPECT_TRUE(s.Contains(7, 9));
    EXPECT_FALSE(s.Contains(8, 1));
}

TEST(SimFaults, SectorAttemptsCarryDetailsOnlyWhereAllowed) {
    SectorAttempts s;
    std::string why;
    ASSERT_TRUE(s.Parse("2:1:0x42,5:2", true, &why)) << why;
    ASSERT_NE(s.Find(2, 1), nullptr);
    EXPECT_EQ(s.Find(2, 1)->detail, 0x42);
    EXPECT_EQ(s.Find(5, 2)->detail, 0x01);
    EXPECT_FALSE(s.Parse("2:1:0x42", false, &why));
    EXPECT_EQ(why, "'2:1:0x42' is not SECTOR:ATTEMPT (numbers or *, attempts from 1)");
}

TEST(SimFaults, MalformedListsAreRefusedAndLeaveNothing) {
    for (const char* text : {"", "3", "3:0", "a:1", "3:1,", "-1:1", "3:1:256", "1:2:3:4", " 3:1"}) {
        SectorAttempts s;
        EXPECT_FALSE(s.Parse(text, true, nullptr)) << text;
        EXPECT_TRUE(s.Empty()) << text;
    }
    Attempts a;
    std::string why;
    EXPECT_FALSE(a.Parse("1,0", &why));
    EXPECT_EQ(why, "'0' is not an attempt number (from 1) or *");
    EXPECT_TRUE(a.Empty());
    ASSERT_TRUE(a.Parse("2,4", &why));
    EXPECT_TRUE(a.Contains(4));
    EXPECT_FALSE(a.Contains(3));
    ASSERT_TRUE(a.Parse("*", &why));
    EXPECT_TRUE(a.Contains(17));
}

TEST(SimFaults, DropPoints) {
    struct Case {
        const char* text;
        bool ok;
        DropStage stage;
        int sector;
    };
    const Case cases[] = {
        {"boot-wait", true, DropStage::kBootWait, kAny},
        {"boot-frames", true, DropStage::kBootFrames, kAny},
        {"after-jump", true, DropStage::kAfterJump, kAny},
        {"identification", true, DropStage::kIdentification, kAny},
        {"speed-change", true, DropStage::kSpeedChange, kAny},
        {"sector-command:4", true, DropStage::kSectorCommand, 4},
        {"sector-data", true, DropStage::kSectorData, kAny},
        {"sector-data:0x10", true, DropStage::kSectorData, 16},
        {"checksum-wait:2", true, DropStage::kChecksumWait, 2},
        {"switch-off", true, DropStage::kSwitchOff, kAny},
        {"boot-wait:1", false, DropStage::kNone, kAny},
        {"sector-data:x", false, DropStage::kNone, kAny},
        {"sector-data:1:2", false, DropStage::kNone, kAny},
        {"later", false, DropStage::kNone, kAny},
    };
    for (const Case& c : cases) {
        DropPoint p;
        std::string why;
        EXPECT_EQ(ParseDropPoint(c.text, &p, &why), c.ok) << c.text;
        EXPECT_EQ(p.stage, c.stage) << c.text;
        EXPECT_EQ(p.sector, c.sector) << c.text;
        const std::string text = c.text;
        if (c.ok) {
            EXPECT_EQ(DropStageName(p.stage), text.substr(0, text.find(':')));
        }
    }
}

TEST(SimFaults, BytesAndCodes) {
    std::uint8_t b = 0, m = 0, d = 0;
    EXPECT_TRUE(ParseByte("0xBE", &b));
    EXPECT_EQ(b, 0xBE);
    EXPECT_TRUE(ParseByte("190", &b));
    EXPECT_EQ(b, 190);
    for (const char* bad : {"256", "-1", "0x", "BE", "", "1 "})
        EXPECT_FALSE(ParseByte(bad, &b)) << bad;
    EXPECT_TRUE(ParseCodes("0x20:0xCA", &m, &d));
    EXPECT_EQ(m, 0x20);
    EXPECT_EQ(d, 0xCA);
    EXPECT_FALSE(ParseCodes("0x20", &m, &d));
    EXPECT_FALSE(ParseCodes("0x20:0xCA:1", &m, &d));
}

}  // namespace
}  // namespace vbc::sim
