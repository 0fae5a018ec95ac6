// The live transfer figures: their text, the rate over the recent past, and how often the
// panel is told.
#include "ui/transferstatus.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/mainpanel_fixture.h"

namespace vbc {
namespace {

TEST(TransferStatus, Text) {
    struct Row {
        std::uint32_t done, total;
        double rate;
        std::int64_t elapsed;
        const char* text;
    };
    const Row rows[] = {
        {0, 1000, -1, 0, "0/1000 bytes, -- B/s, --:-- left, 0:00 elapsed"},
        {131072, 1048576, 11520, 42, "131072/1048576 bytes, 11520 B/s, 1:20 left, 0:42 elapsed"},
        {1048576, 1048576, 29000.4, 3725,
         "1048576/1048576 bytes, 29000 B/s, 0:00 left, 62:05 elapsed"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TransferStatusText(r.done, r.total, r.rate, r.elapsed), r.text);
}

TEST(TransferStatus, FollowsTheLineAtMostFourTimesASecond) {
    test::MainPanelUp ui;
    platform::ManualClock clock(1000);
    platform::SetClock(&clock);
    const auto shown = [&] { return ui.rec.CtrlText(_v_Panel, MAIN_TRANSFER_TEXT); };

    BeginTransferStatus(100000, 990);
    EXPECT_EQ(shown(), "0/100000 bytes, -- B/s, --:-- left, 0:10 elapsed");
    // 10000 bytes a second, reported every 100 ms: the panel hears of every third report.
    int updates = 0;
    for (int i = 1; i <= 20; ++i) {
        clock.AdvanceMs(100);
        const std::string before = shown();
        UpdateTransferStatus(static_cast<std::uint32_t>(i) * 1000);
        updates += shown() != before;
    }
    EXPECT_EQ(updates, 6);
    EXPECT_EQ(shown(), "18000/100000 bytes, 10000 B/s, 0:08 left, 0:11 elapsed");
    // A sector sent again: the count goes back, and the rate is measured anew.
    clock.AdvanceMs(100);
    UpdateTransferStatus(12000, true);
    EXPECT_EQ(shown(), "12000/100000 bytes, -- B/s, --:-- left, 0:12 elapsed");
    platform::SetClock(nullptr);
}

}  // namespace
}  // namespace vbc
