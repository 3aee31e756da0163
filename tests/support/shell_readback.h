// Reads back what shell registration writes, through the same platform interfaces a user's shell
// uses: the shortcuts through IShellLinkW + IPersistFile::Load, the uninstall entry through the
// registry of the test prefix. Also removes both again, so that cases that share the prefix's
// Start menu, desktop and HKCU (serialised by the "shell" resource lock) start clean.
#pragma once

#include "engine/layout.h"
#include "engine/owned.h"
#include "tests/support/installed_paths.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace shell_readback {

// Runs a stage function the way the worker does: on its own thread with COM initialised there.
inline std::function<void()> WithCom(std::function<void()> stage) {
    return [stage] {
        ComApartment com;
        stage();
    };
}

// "<shell folder>\Tavrin AI.lnk" for CSIDL_PROGRAMS or CSIDL_DESKTOPDIRECTORY; empty on failure.
inline std::wstring ShortcutPath(int csidl) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder))) return L"";
    return InFolder(folder, SHORTCUT_NAME);
}

struct Shortcut {
    bool loaded = false;
    std::wstring target;
    std::wstring workingFolder;
    std::wstring iconPath;
    int iconIndex = -1;
    std::wstring description;
    std::wstring arguments;
};

inline Shortcut ReadShortcut(const std::wstring& path) {
    ComApartment com;
    Shortcut out;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()))) {
        return out;
    }
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return out;
    if (FAILED(file->Load(path.c_str(), STGM_READ))) return out;
    out.loaded = true;
    wchar_t text[INFOTIPSIZE] = {};
    if (SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH))) out.target = text;
    text[0] = L'\0';
    if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH))) out.workingFolder = text;
    text[0] = L'\0';
    if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &out.iconIndex))) out.iconPath = text;
    text[0] = L'\0';
    if (SUCCEEDED(link->GetDescription(text, INFOTIPSIZE))) out.description = text;
    text[0] = L'\0';
    if (SUCCEEDED(link->GetArguments(text, INFOTIPSIZE))) out.arguments = text;
    return out;
}

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::wstring Text() const {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        if (!text.empty() && text.back() == L'\0') text.pop_back();
        return text;
    }
    DWORD Dword() const { return data.size() == sizeof(DWORD) ? *reinterpret_cast<const DWORD*>(data.data()) : ~0u; }
};

// Every value of the uninstall entry by name; empty when the key does not exist.
inline std::map<std::wstring, RegistryValue> ReadUninstallEntry() {
    std::map<std::wstring, RegistryValue> values;
    OwnedRegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD nameUnits = 256;
        BYTE data[4096] = {};
        DWORD bytes = sizeof data;
        RegistryValue value;
        if (RegEnumValueW(key.get(), index, name, &nameUnits, nullptr, &value.type, data, &bytes) != ERROR_SUCCESS) break;
        value.data.assign(data, data + bytes);
        values[name] = value;
    }
    return values;
}

// Removes both shortcuts and the uninstall entry, whatever of them exists.
inline void RemoveShellTraces() {
    for (int csidl : {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY}) {
        const std::wstring path = ShortcutPath(csidl);
        if (!path.empty()) DeleteFileW(path.c_str());
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, UNINSTALL_KEY);
}

// The running test program's own bytes, which the setup copy must equal.
inline std::string OwnExecutableBytes() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string bytes;
    testbed::ReadFileBytes(self, bytes);
    return bytes;
}

// A link's target as the bed's shell reads it back: Wine keeps the target of a link it saves only
// in the ANSI form of its location record, so letters outside the ANSI code page come back as
// "?" (the platform's loss; Windows keeps the Unicode path as well). Any other path is unchanged.
inline std::wstring AsLinkTargetReadsBack(const std::wstring& path) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return path;
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi.data(), bytes, nullptr, nullptr);
    const int units = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    if (units <= 0) return path;
    std::wstring back(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, back.data(), units);
    back.resize(static_cast<size_t>(units) - 1);
    return back;
}

// A shortcut as stage 5 writes it: to <appFolder>\<launchName>, working in the app folder, with
// the app icon at index 0, described "Tavrin AI", without arguments.
inline void ExpectShortcut(const std::wstring& path, const std::wstring& appFolder, const std::wstring& launchName) {
    SCOPED_TRACE(Narrow(path));
    const Shortcut link = ReadShortcut(path);
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(link.target, AsLinkTargetReadsBack(appFolder + L"\\" + launchName));
    EXPECT_EQ(link.workingFolder, appFolder);
    EXPECT_EQ(link.iconPath, InFolder(appFolder, APP_ICON_NAME));
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.description, PRODUCT_NAME);
    EXPECT_EQ(link.arguments, L"");
}

// The eight values of the uninstall entry, with their types and byte counts (the terminator
// included: "DisplayName" 20, "Publisher" 14), and nothing else.
inline void ExpectUninstallEntry(const std::wstring& installDir, const std::wstring& version) {
    const auto values = ReadUninstallEntry();
    const std::wstring icon = InFolder(AppFolderIn(installDir), APP_ICON_NAME);
    const std::wstring command = L"\"" + SetupCopyIn(installDir) + L"\" /uninstall";
    struct Expected {
        const wchar_t* name;
        std::wstring text;  // REG_SZ when not empty
        DWORD number;       // REG_DWORD otherwise
    };
    const Expected expected[] = {
        {UNINSTALL_DISPLAY_NAME, PRODUCT_NAME, 0},      {UNINSTALL_DISPLAY_VERSION, version, 0},
        {UNINSTALL_PUBLISHER, PUBLISHER_NAME, 0},       {UNINSTALL_INSTALL_LOCATION, installDir, 0},
        {UNINSTALL_DISPLAY_ICON, icon, 0},              {UNINSTALL_STRING, command, 0},
        {UNINSTALL_NO_MODIFY, L"", 1},                  {UNINSTALL_NO_REPAIR, L"", 1},
    };
    EXPECT_EQ(values.size(), std::size(expected));
    for (const Expected& value : expected) {
        SCOPED_TRACE(Narrow(value.name));
        const auto found = values.find(value.name);
        ASSERT_NE(found, values.end());
        if (value.text.empty()) {
            EXPECT_EQ(found->second.type, static_cast<DWORD>(REG_DWORD));
            EXPECT_EQ(found->second.data.size(), 4u);
            EXPECT_EQ(found->second.Dword(), value.number);
        } else {
            EXPECT_EQ(found->second.type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(found->second.data.size(), (value.text.size() + 1) * sizeof(wchar_t));
            EXPECT_EQ(found->second.Text(), value.text);
        }
    }
}

}  // namespace shell_readback
