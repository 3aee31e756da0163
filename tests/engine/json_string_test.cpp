// ReadJsonString on manifest texts: what is found, what is stored, and what is refused.
#include "engine/json_string.h"
#include "tests/support/message_trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr size_t kBufferUnits = 4096;
constexpr wchar_t kUntouched[] = L"untouched";

std::string Repeat(char c, size_t count) { return std::string(count, c); }

struct Case {
    const char* name;
    std::string text;
    std::string key;
    size_t capacity;
    bool found;
    std::wstring out;  // kUntouched when out must be left as it was
};

TEST(ReadJsonString, FindsTheValueByTheDocumentedRule) {
    const std::string korean31 = [] {
        std::string s;
        for (int i = 0; i < 31; ++i) s += "\xEA\xB0\x80";  // U+AC00, three bytes, one unit
        return s;
    }();
    const std::string key61(61, 'k');
    const std::string key62(62, 'k');
    const Case cases[] = {
        {"key order does not matter", R"({"version":"2.4.1","url":"https://h/p.zip"})", "url", 2048, true, L"https://h/p.zip"},
        {"keys are case-sensitive", R"({"URL":"https://h/p.zip"})", "url", 2048, false, kUntouched},
        {"key absent", R"({"version":"2.4.1"})", "sha256", 80, false, kUntouched},
        {"the first quoted key anywhere counts", R"({"note":"url","version":"2.4.1"})", "url", 2048, true, L"2.4.1"},
        {"a number takes the next quoted text", R"({"version": 2, "url":"x"})", "version", 32, true, L"url"},
        {"null takes the next quoted text", R"({"sha256": null, "version":"2.4.1"})", "sha256", 80, true, L"version"},
        {"white space before the value is skipped", "{\"version\" :\r\n\t \"2.4.1\"}", "version", 32, true, L"2.4.1"},
        {"an escaped quote ends the value", R"({"version":"2.4\"beta"})", "version", 32, true, L"2.4\\"},
        {"a backslash before a slash stays", R"({"url":"https:\/\/h\/p.zip"})", "url", 2048, true, L"https:\\/\\/h\\/p.zip"},
        {"empty value", R"({"version":"","url":"x"})", "version", 32, false, L""},
        {"no colon after the key", R"({"version" "2.4.1"})", "version", 32, false, kUntouched},
        {"no opening quote after the colon", R"({"version": 2})", "version", 32, false, kUntouched},
        {"no closing quote", R"({"version":"2.4.1)", "version", 32, false, kUntouched},
        {"31 units fit 32", "{\"version\":\"" + Repeat('9', 31) + "\"}", "version", 32, true,
         std::wstring(31, L'9')},
        {"32 units do not fit 32", "{\"version\":\"" + Repeat('9', 32) + "\"}", "version", 32, false, L""},
        {"2047 units fit 2048", "{\"url\":\"" + Repeat('u', 2047) + "\"}", "url", 2048, true, std::wstring(2047, L'u')},
        {"2048 units do not fit 2048", "{\"url\":\"" + Repeat('u', 2048) + "\"}", "url", 2048, false, L""},
        {"79 units fit 80", "{\"sha256\":\"" + Repeat('a', 79) + "\"}", "sha256", 80, true, std::wstring(79, L'a')},
        {"80 units do not fit 80", "{\"sha256\":\"" + Repeat('a', 80) + "\"}", "sha256", 80, false, L""},
        {"capacity counts units, not bytes", "{\"version\":\"" + korean31 + "\"}", "version", 32, true,
         std::wstring(31, L'\xAC00')},
        {"a byte-order mark is ignored", "\xEF\xBB\xBF{\"version\":\"2.4.1\"}", "version", 32, true, L"2.4.1"},
        {"Korean value", "{\"version\":\"\xEC\xA0\x95\xEC\x8B\x9D 2.4\"}", "version", 32, true, L"\xC815\xC2DD 2.4"},
        {"a capacity of one stores nothing", R"({"version":"2"})", "version", 1, false, L""},
        {"a 61-byte key fits the pattern", "{\"" + key61 + "\":\"v\"}", key61, 32, true, L"v"},
        {"a 62-byte key does not", "{\"" + key62 + "\":\"v\"}", key62, 32, false, kUntouched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t buffer[kBufferUnits + 1];
        wmemset(buffer, L'#', kBufferUnits + 1);
        wcscpy_s(buffer, kUntouched);
        const wchar_t guard = buffer[c.capacity];

        EXPECT_EQ(ReadJsonString(c.text.c_str(), c.key.c_str(), buffer, c.capacity), c.found);
        if (c.out == kUntouched) {
            EXPECT_STREQ(buffer, kUntouched);
        } else {
            EXPECT_EQ(std::wstring(buffer), c.out) << Narrow(buffer);
        }
        EXPECT_EQ(buffer[c.capacity], guard) << "wrote beyond the capacity";
    }
}

}  // namespace
