// Payload archives whose entries try to leave the install folder, extracted by whole attempts with
// the system's tar.exe: names that climb out with "..", and absolute names (a leading slash, a
// drive letter, Z: which is the Linux root under Wine, a UNC server, the long-path prefix).
// Nothing may appear outside the install folder, on the Windows side or the Linux side.
#include "engine/install_state.h"
#include "tests/robustness/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kExtractionFailed[] = L"압축 해제에 실패했습니다 (디스크 공간 확인).";

// A name no other file of the run carries, so that a search can tell where an entry went.
std::string UniqueToken(const char* kind) {
    return "tavrin_escape_" + std::string(kind) + "_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(GetTickCount64());
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Every path below folder (files and folders) whose name contains token.
void FindNamed(const std::wstring& folder, const std::wstring& token, std::vector<std::wstring>& found) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (name.find(token) != std::wstring::npos) found.push_back(path);
        // Links are not followed: the prefix's dosdevices would lead into the whole Linux tree.
        const DWORD attributes = entry.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            FindNamed(path, token, found);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

bool Below(const std::wstring& path, const std::wstring& folder) {
    return _wcsnicmp(path.c_str(), (folder + L"\\").c_str(), folder.size() + 1) == 0;
}

struct ArchiveCase {
    const char* name;
    bool climbsOut;  // entries with ".." (tar refuses them and ends with a failure)
};

TEST(HostileArchive, NothingLandsOutsideTheInstallFolder) {
    const ArchiveCase cases[] = {
        {"absolute names only: stripped, the install goes through", false},
        {"names climbing out with '..' next to absolute ones: the extraction fails", true},
    };
    for (const ArchiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string token = UniqueToken(c.climbsOut ? "climb" : "absolute");
        const std::wstring wideToken = Wide(token);
        std::vector<ZipEntry> entries = AppEntries("2.4.1");
        const std::vector<std::string> absolute = {
            "/tmp/" + token + "_slash.txt",
            "C:/" + token + "_drive.txt",
            "C:" + token + "_drive_relative.txt",
            // Z: is the Linux root under Wine: this would be /tmp on the host.
            "Z:/tmp/" + token + "_z.txt",
            "z:\\tmp\\" + token + "_z_backslash.txt",
            "\\\\server\\share\\" + token + "_unc.txt",
            "//?/C:/" + token + "_long_prefix.txt",
        };
        const std::vector<std::string> climbing = {
            "../" + token + "_dotdot.txt",
            "..\\" + token + "_dotdot_backslash.txt",
            AppEntryName(L"../../") + token + "_inner.txt",
            AppEntryName(L"lib/../../../../../../../../tmp/") + token + "_deep.txt",
            "/../" + token + "_root_dotdot.txt",
        };
        for (const std::string& name : absolute) entries.push_back({name, "hostile entry " + name});
        if (c.climbsOut) {
            for (const std::string& name : climbing) entries.push_back({name, "hostile entry " + name});
        }

        AttemptScope attempt(L"hostile_archive");
        RemoveWorkerTempFiles();
        MessageTrace trace;
        ReleaseSite site(std::wstring(L"robustness_archive_") + (c.climbsOut ? L"climb" : L"absolute"));
        ASSERT_TRUE(site.Publish("2.4.1", MakeZip(entries)));
        // tar.exe inherits the current folder: an entry resolved against it would land here.
        const std::wstring currentFolder = attempt.scratch() + L"\\current";
        ASSERT_TRUE(CreateDirectoryW(currentFolder.c_str(), nullptr));
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        ASSERT_TRUE(SetCurrentDirectoryW(currentFolder.c_str()));
        const bool ended = attempt.Run(trace);
        SetCurrentDirectoryW(previous);
        ASSERT_TRUE(ended) << trace.Describe();

        if (c.climbsOut) {
            EXPECT_EQ(FailureText(trace.events()), kExtractionFailed) << trace.Describe();
            EXPECT_FALSE(FileExists(attempt.appFolder())) << "the partial app folder was left";
        } else {
            EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
            EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.4.1\r\n");
        }
        EXPECT_FALSE(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)));

        // Where each escape would have gone: the folders above the install folder, the current
        // folder, the roots of C: and of the Linux file system.
        EXPECT_EQ(FolderEntries(attempt.scratch()), (std::vector<std::wstring>{L"current", L"inst", L"profile"}));
        EXPECT_TRUE(FolderEntries(currentFolder).empty());
        std::vector<std::wstring> found;
        FindNamed(L"C:", wideToken, found);
        for (const wchar_t* folder : {L"Z:\\tmp", L"Z:\\"}) {
            for (const std::wstring& name : FolderEntries(folder)) {
                if (name.find(wideToken) != std::wstring::npos) found.push_back(std::wstring(folder) + L"\\" + name);
            }
        }
        size_t inside = 0;
        for (const std::wstring& path : found) {
            EXPECT_TRUE(Below(path, attempt.installDir())) << "outside the install folder: " << Narrow(path);
            inside += Below(path, attempt.installDir()) ? 1 : 0;
        }
        // The stripped names did land, inside and outside the app folder: the search does see
        // what the extraction wrote.
        EXPECT_GE(inside, absolute.size()) << "the search found too little";
    }
}

}  // namespace
