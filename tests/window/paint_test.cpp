// What the painting computes without a window: the marquee's segment and the progress fill.
#include "window/paint.h"

#include <gtest/gtest.h>

namespace {

TEST(Marquee, SegmentFollowsTheClock) {
    struct Case {
        const char* name;
        ULONGLONG tick;
        bool drawn;
        int left, right;
    };
    const int w = 600;
    const ULONGLONG cycle = (w + 48) * 12ull;  // 7,776 ms
    const Case cases[] = {
        {"cycle start: nothing", 5 * cycle, false, 0, 0},
        {"one step later: 1 pixel at 36", 5 * cycle + 12, true, 36, 37},
        {"still growing at 120", 120 * 12, true, 36, 156},
        {"pos 200: 116 to 236", 200 * 12 + 11, true, 116, 236},
        {"cut at the track end", (w - 72 + 60) * 12ull, true, 36 + w - 72 + 60 - 120, w - 36},
        {"last step: 1 pixel at the end", cycle - 1, true, w - 37, w - 36},
    };
    for (const Case& c : cases) {
        int left = 0, right = 0;
        EXPECT_EQ(MarqueeSegment(c.tick, w, left, right), c.drawn) << c.name;
        if (!c.drawn) continue;
        EXPECT_EQ(left, c.left) << c.name;
        EXPECT_EQ(right, c.right) << c.name;
        EXPECT_LE(right - left, 120) << c.name;
    }
}

TEST(ProgressFill, SpansItsShareOfTheTrack) {
    EXPECT_EQ(ProgressFillRight(600, 0), 36);
    EXPECT_EQ(ProgressFillRight(600, 500), 300);
    EXPECT_EQ(ProgressFillRight(600, 999), 563);
    EXPECT_EQ(ProgressFillRight(600, 1000), 564);
}

}  // namespace
