// The licence text as the licence page shows it: UTF-8 bytes converted, line ends made CR LF.
#include "window/license_text.h"

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

}  // namespace
