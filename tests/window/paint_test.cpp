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
    // The wizard's client area is 600 pixels wide: the track runs from 36 to 564, and the
    // segment advances one pixel each 12 ms through a cycle of 648 positions (7,776 ms).
    const int w = 600;
    const ULONGLONG cycle = 7776;
    const Case cases[] = {
        {"cycle start: nothing", 5 * cycle, false, 0, 0},
        {"one step later: 1 pixel at 36", 5 * cycle + 12, true, 36, 37},
        {"still growing at 120", 120 * 12, true, 36, 156},
        {"pos 200: 116 to 236", 200 * 12 + 11, true, 116, 236},
        {"cut at the track end: pos 588", 588 * 12, true, 504, 564},
        {"last step: 1 pixel at the end", 7775, true, 563, 564},
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
