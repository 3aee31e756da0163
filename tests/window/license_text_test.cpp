// What the wizard computes without a window: the licence text conversion and the marquee.
#include "window/license_text.h"
#include "window/paint.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LicenseText, ConvertsUtf8WithCrLfLineEnds) {
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring expected;
    };
    const Case cases[] = {
        {"LF becomes CR LF", "a\nb\n", L"a\r\nb\r\n"},
        {"CR LF stays one break", "a\r\nb", L"a\r\nb"},
        {"mixed ends", "a\r\nb\nc", L"a\r\nb\r\nc"},
        {"LF at the very start", "\nx", L"\r\nx"},
        {"blank lines", "a\n\n\nb", L"a\r\n\r\n\r\nb"},
        {"lone CR untouched", "a\rb", L"a\rb"},
        {"byte-order mark skipped", "\xEF\xBB\xBF\xEC\x82\xAC\xEC\x9A\xA9\n", L"사용\r\n"},
        {"Korean text", "\xEC\x95\xBD\xEA\xB4\x80", L"약관"},
        {"invalid UTF-8 replaced", "a\xFFz", L"a\uFFFDz"},
    };
    for (const Case& c : cases) {
        HeapText text = ConvertLicenseText(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(text) << c.name;
        EXPECT_EQ(std::wstring(text.get()), c.expected) << c.name;
    }
}

TEST(LicenseText, NothingToShowGivesNoText) {
    EXPECT_FALSE(ConvertLicenseText("", 0));
    EXPECT_FALSE(ConvertLicenseText("\xEF\xBB\xBF", 3));
}

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
