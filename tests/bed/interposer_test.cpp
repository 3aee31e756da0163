// The interposer itself: every hook is installed, the Nth call of each family of hooks fails and
// its neighbours do not, other threads are left alone, what the armed thread opens is accounted,
// a kill ends the process before the call, and Windows' answers are given where Wine's differ.
#include "tests/support/interposer.h"
#include "tests/support/testbed.h"

#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

using interposer::Interposer;

constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr wchar_t kTestKey[] = L"Software\\TavrinInterposerTest";

TEST(Interposer, EveryHookIsInstalled) {
    const std::vector<std::string> missing = interposer::MissingHooks();
    EXPECT_TRUE(missing.empty()) << "not in the import table: " << ::testing::PrintToString(missing);
}

// One call of a hooked function: true when it succeeded, and what it cleans up after itself.
struct Family {
    const char* name;
    const char* function;
    std::function<bool(const std::wstring& scratch)> call;
};

bool OpenFile(const std::wstring& scratch) {
    const HANDLE file = CreateFileW((scratch + L"\\file.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool ReadTempPath(const std::wstring&) {
    wchar_t path[MAX_PATH];
    return GetTempPathW(MAX_PATH, path) != 0;
}

bool CreateKey(const std::wstring&) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool OpenHashProvider(const std::wstring&) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return true;
}

bool OpenSession(const std::wstring&) {
    const HINTERNET session = WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    WinHttpCloseHandle(session);
    return true;
}

bool Allocate(const std::wstring&) {
    void* block = malloc(16);
    free(block);
    return block != nullptr;
}

bool PostToSelf(const std::wstring&) {
    if (!PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0)) return false;  // makes the queue
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    const bool posted = PostMessageW(window, WM_NULL, 0, 0) != FALSE;
    DestroyWindow(window);
    return posted;
}

bool SetLinkPath(const std::wstring& scratch) {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return false;
    }
    const bool set = SUCCEEDED(link->SetPath((scratch + L"\\file.txt").c_str()));
    link->Release();
    return set;
}

const Family kFamilies[] = {
    {"FileFunctions", "CreateFileW", OpenFile},
    {"PlainSystemCalls", "GetTempPathW", ReadTempPath},
    {"Registry", "RegCreateKeyExW", CreateKey},
    {"BCrypt", "BCryptOpenAlgorithmProvider", OpenHashProvider},
    {"WinHttp", "WinHttpOpen", OpenSession},
    {"CRuntime", "malloc", Allocate},
    {"User32", "PostMessageW", PostToSelf},
    {"ShellLinkMethods", "IShellLinkW::SetPath", SetLinkPath},
};

class HookFamilies : public testing::TestWithParam<Family> {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override {
        CoUninitialize();
        RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey);
    }
};

// The 2nd and 3rd calls fail (a fault that lasts two tries), the 1st and 4th succeed, and each
// failure asked for is reached.
TEST_P(HookFamilies, TheScheduledCallsFailAndTheirNeighboursDoNot) {
    const Family& family = GetParam();
    const std::wstring scratch = testbed::MakeScratchFolder(L"interposer");
    ASSERT_TRUE(testbed::WriteFileBytes(scratch + L"\\file.txt", "bytes"));
    bool succeeded[4] = {};  // no allocation on the armed thread: malloc is one of the families
    std::vector<std::string> unreached;
    unsigned counted = 0;
    {
        Interposer calls;
        calls.FailCall(family.function, 2, 0, 2);
        calls.FailCall(family.function, 9);
        for (bool& call : succeeded) call = family.call(scratch);
        calls.Disarm();
        unreached = calls.Unreached();
        counted = calls.Calls(family.function);
    }
    EXPECT_EQ(std::vector<bool>(succeeded, succeeded + 4), (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(counted, 4u);
    EXPECT_EQ(unreached, (std::vector<std::string>{std::string(family.function) + " #9"}));
}

INSTANTIATE_TEST_SUITE_P(Interposer, HookFamilies, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

DWORD WINAPI ReadTempPathOnce(LPVOID result) {
    *static_cast<bool*>(result) = ReadTempPath(L"");
    return 0;
}

TEST(Interposer, OtherThreadsAreNeitherCountedNorFailed) {
    Interposer calls;
    calls.FailCall("GetTempPathW", 1);
    bool succeeded = false;
    const HANDLE thread = CreateThread(nullptr, 0, ReadTempPathOnce, &succeeded, 0, nullptr);
    ASSERT_TRUE(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(calls.Calls("GetTempPathW"), 0u);
    EXPECT_FALSE(ReadTempPath(L""));  // the armed thread's first call
}

TEST(Interposer, WhatTheArmedThreadOpensIsAccounted) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        Interposer calls;
        void* block = malloc(32);
        const HINTERNET session = WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                              WINHTTP_NO_PROXY_BYPASS, 0);
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCRYPT_HASH_HANDLE hash = nullptr;
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        IShellLinkW* link = nullptr;
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                         reinterpret_cast<void**>(&link));
        ASSERT_TRUE(block && session && algorithm && hash && link);
        IPersistFile* file = nullptr;
        ASSERT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
        EXPECT_EQ(calls.Open(), (interposer::Balance{1, 1, 2, 1}));

        free(block);
        WinHttpCloseHandle(session);
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
        link->Release();  // the file interface still holds the object
        EXPECT_EQ(calls.Open(), (interposer::Balance{0, 0, 0, 1}));
        file->Release();
        EXPECT_EQ(calls.Open(), (interposer::Balance{}));
    }
    CoUninitialize();
}

// The child's part of the kill test: a first file is made, the process ends at the second.
TEST(InterposerChild, EndsBeforeTheCall) {
    const std::string folder = testbed::Env("TAVRIN_INTERPOSER_KILL_FOLDER");
    if (folder.empty()) GTEST_SKIP() << "run by KillEndsTheProcessBeforeTheCall";
    const std::wstring scratch(folder.begin(), folder.end());
    Interposer calls;
    calls.KillAt("CreateFileW", 2);
    for (const wchar_t* name : {L"\\first.txt", L"\\second.txt"}) {
        CloseHandle(CreateFileW((scratch + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    ADD_FAILURE() << "still running after the second call";
}

TEST(Interposer, KillEndsTheProcessBeforeTheCall) {
    const std::wstring scratch = testbed::MakeScratchFolder(L"interposer_kill");
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring command = std::wstring(L"\"") + self + L"\" --gtest_filter=InterposerChild.EndsBeforeTheCall";
    std::vector<wchar_t> environment = testbed::EnvironmentBlock({{L"TAVRIN_INTERPOSER_KILL_FOLDER", scratch}});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                               environment.data(), nullptr, &startup, &child));
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(code, interposer::KILLED_EXIT_CODE);
    EXPECT_TRUE(testbed::FileExists(scratch + L"\\first.txt"));
    EXPECT_FALSE(testbed::FileExists(scratch + L"\\second.txt"));
}

// ---- Windows' answers where Wine's differ ----------------------------------------------------

std::string ReadThrough(const std::wstring& path, DWORD flags) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    char bytes[64] = {};
    DWORD read = 0;
    ReadFile(file, bytes, sizeof bytes - 1, &read, nullptr);
    CloseHandle(file);
    return std::string(bytes, read);
}

TEST(WindowsAnswers, ALinkIsFollowedUnlessOpenedAsItself) {
    const std::wstring scratch = testbed::MakeScratchFolder(L"interposer_link");
    const std::wstring link = scratch + L"\\link.txt";
    const std::wstring dangling = scratch + L"\\dangling.txt";
    ASSERT_TRUE(testbed::WriteFileBytes(scratch + L"\\target.txt", "target"));
    ASSERT_TRUE(testbed::WriteFileBytes(link, "stand-in"));
    ASSERT_TRUE(testbed::WriteFileBytes(dangling, "stand-in"));
    Interposer calls;
    calls.Present(link, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::SYMLINK_TAG}, scratch + L"\\target.txt");
    calls.Present(dangling, {FILE_ATTRIBUTE_REPARSE_POINT, interposer::SYMLINK_TAG});
    EXPECT_EQ(ReadThrough(link, 0), "target");
    EXPECT_EQ(ReadThrough(link, FILE_FLAG_OPEN_REPARSE_POINT), "stand-in");
    EXPECT_EQ(ReadThrough(dangling, 0), "<error 2>");
}

TEST(WindowsAnswers, TheExtendedDispositionCanBeUnknown) {
    const std::wstring path = testbed::MakeScratchFolder(L"interposer_disposition") + L"\\file.txt";
    ASSERT_TRUE(testbed::WriteFileBytes(path, "bytes"));
    Interposer calls;
    calls.RefuseExtendedDisposition();
    const HANDLE file = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD extended = DISPOSITION_DELETE;
    EXPECT_FALSE(SetFileInformationByHandle(file, DISPOSITION_INFO_EX, &extended, sizeof extended));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    FILE_DISPOSITION_INFO plain = {TRUE};
    EXPECT_TRUE(SetFileInformationByHandle(file, FileDispositionInfo, &plain, sizeof plain));
    CloseHandle(file);
    calls.Disarm();
    EXPECT_FALSE(testbed::FileExists(path));
}

TEST(WindowsAnswers, FailedReadsAndWritesReportNoBytes) {
    const std::wstring path = testbed::MakeScratchFolder(L"interposer_bytes") + L"\\file.txt";
    ASSERT_TRUE(testbed::WriteFileBytes(path, "bytes"));
    Interposer calls;
    calls.FailCall("ReadFile", 1);
    calls.FailCall("WriteFile", 1);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char bytes[8];
    DWORD count = 123;
    EXPECT_FALSE(ReadFile(file, bytes, sizeof bytes, &count, nullptr));
    EXPECT_EQ(count, 0u);
    count = 123;
    EXPECT_FALSE(WriteFile(file, "x", 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    CloseHandle(file);
}

TEST(WindowsAnswers, AModulePathIsCutAsWindowsCutsIt) {
    Interposer calls;
    calls.SetOwnModulePath(L"C:\\folder\\TavrinSetup.exe");
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(buffer), L"C:\\fold");
    wchar_t whole[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, whole, MAX_PATH), 25u);
    EXPECT_EQ(std::wstring(whole), L"C:\\folder\\TavrinSetup.exe");
}

TEST(WindowsAnswers, AFolderHoldingAnOpenFileIsNotRenamed) {
    const std::wstring scratch = testbed::MakeScratchFolder(L"interposer_rename");
    const std::wstring folder = scratch + L"\\app";
    ASSERT_TRUE(testbed::WriteFileBytes(folder + L"\\opened.txt", "opened"));
    ASSERT_TRUE(testbed::WriteFileBytes(folder + L"\\sub\\held.txt", "held"));
    Interposer calls;
    const HANDLE file = CreateFileW((folder + L"\\opened.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFileW(folder.c_str(), (scratch + L"\\aside").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(file);
    calls.Hold(folder + L"\\sub\\held.txt");
    EXPECT_FALSE(MoveFileExW(folder.c_str(), (scratch + L"\\aside").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    calls.ReleaseHeld(folder + L"\\sub\\held.txt");
    EXPECT_TRUE(MoveFileExW(folder.c_str(), (scratch + L"\\aside").c_str(), 0));
    EXPECT_TRUE(testbed::FileExists(scratch + L"\\aside\\sub\\held.txt"));
}

}  // namespace
