// JoinPath: what it joins, and what it refuses rather than hand on cut or relative.
#include "engine/paths.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <string>

namespace {

TEST(IsDeviceNamespacePath, TellsTheDeviceFormsFromDrivesAndShares) {
    struct Case {
        const wchar_t* path;
        bool device;
    } const cases[] = {
        {L"\\\\?\\C:\\TavrinAI", true},  {L"\\\\.\\C:\\TavrinAI", true},
        {L"\\\\?\\UNC\\server\\share", true}, {L"C:\\TavrinAI", false},
        {L"\\\\server\\share", false},      {L"\\\\?server\\share", false},
        {L"\\\\./C:/TavrinAI", true},      {L"\\\\?", true},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsDeviceNamespacePath(c.path), c.device) << std::wstring(c.path).size();
    }
}

TEST(JoinPath, JoinsWhatFitsAndRefusesTheRest) {
    const std::wstring folder = L"C:\\" + std::wstring(200, L'd');  // 203 units
    const std::wstring name55(55, L'n');
    const std::wstring name56(56, L'n');
    struct Case {
        const char* name;
        std::wstring directory;
        std::wstring file;
        std::optional<std::wstring> joined;  // nullopt: refused
    } const cases[] = {
        {"drive folder", L"C:\\Users\\kim", L"TavrinAI", L"C:\\Users\\kim\\TavrinAI"},
        {"drive folder ending in a backslash", L"C:\\Users\\kim\\", L"TavrinAI", L"C:\\Users\\kim\\TavrinAI"},
        {"drive root", L"D:\\", L"TavrinAI", L"D:\\TavrinAI"},
        {"UNC share", L"\\\\server\\share", L"TavrinAI", L"\\\\server\\share\\TavrinAI"},
        {"relative folder", L"Users\\kim", L"TavrinAI", std::nullopt},
        {"drive-relative folder", L"C:Users", L"TavrinAI", std::nullopt},
        {"empty name", L"C:\\Users", L"", std::nullopt},
        {"259 units", folder, name55, folder + L"\\" + name55},
        {"260 units", folder, name56, std::nullopt},
        // The backslash the folder already ends in is the separator: it is counted once.
        {"259 units from a folder ending in a backslash", folder + L"\\", name55, folder + L"\\" + name55},
        {"260 units from a folder ending in a backslash", folder + L"\\", name56, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t out[PATH_CAPACITY];
        wmemset(out, L'#', PATH_CAPACITY);
        const bool joined = JoinPath(out, c.directory.c_str(), c.file.c_str());
        EXPECT_EQ(joined, c.joined.has_value());
        EXPECT_EQ(std::wstring(out), c.joined.value_or(L""));
    }
}

}  // namespace
