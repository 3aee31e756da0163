#include "tests/window/wizard_pixels.h"


#include <gtest/gtest.h>

void ExpectStepIndicator(const Capture& capture, int page) {
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "page " << page << ", step " << i);
        const int x = capture.width - 348 + 104 * i;
        if (i == page) {
            ExpectText(capture, {x, 40, x + 100, 58}, kAccent, kMuted);
        } else {
            ExpectText(capture, {x, 40, x + 100, 58}, kMuted, kAccent);
        }
        EXPECT_TRUE(capture.All({x, 60, x + 96, 62}, i <= page ? kAccent : kTrack));
        // Bars are 96 pixels with a 8-pixel gap on the background.
        EXPECT_TRUE(capture.All({x + 96, 60, x + 104, 62}, kBackground));
    }
}

void ExpectButton(const Capture& capture, const RECT& rect, COLORREF fill, COLORREF captionColor) {
    // The corners carry no caption.
    EXPECT_TRUE(capture.All({rect.left, rect.top, rect.left + 20, rect.top + 6}, fill));
    EXPECT_TRUE(capture.All({rect.right - 20, rect.bottom - 6, rect.right, rect.bottom}, fill));
    EXPECT_GT(capture.Count(rect, captionColor), 0);
}

void ExpectText(const Capture& capture, const RECT& rect, COLORREF color, COLORREF absent) {
    EXPECT_GT(capture.Count(rect, color), 0);
    EXPECT_EQ(capture.Count(rect, absent), 0);
}
