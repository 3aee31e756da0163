// Hostile payload archives, extracted by whole attempts with the system's tar.exe (libarchive's
// bsdtar in the bed): names that climb out with "..", absolute names (a leading slash, a drive
// letter, Z: which is the Linux root under Wine, a UNC server, the long-path prefix), symbolic
// links that point out of the install folder with files written through them, and names that
// Windows treats specially or cannot hold as given. Nothing may appear outside the install
// folder, on the Windows side or the Linux side, and every attempt ends as its case names: a
// working install or the extraction failure.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

// Searches where an escaping entry would go (all of C:, the roots of the Linux file system and
// its /tmp) for names holding token; every one found must lie in the install folder. Returns how
// many were found there.
size_t ExpectNothingOutside(const AttemptScope& attempt, const std::wstring& token) {
    std::vector<std::wstring> found;
    FindNamed(L"C:", token, found);
    for (const wchar_t* folder : {L"Z:\\tmp", L"Z:\\"}) {
        for (const std::wstring& name : FolderEntries(folder)) {
            if (name.find(token) != std::wstring::npos) found.push_back(std::wstring(folder) + L"\\" + name);
        }
    }
    size_t inside = 0;
    for (const std::wstring& path : found) {
        EXPECT_TRUE(Below(path, attempt.installDir())) << "outside the install folder: " << Narrow(path);
        inside += Below(path, attempt.installDir()) ? 1 : 0;
    }
    return inside;
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
            // Stripped, this one lands in the app folder and is installed with it.
            std::string("/").append(AppEntryName(L"")).append(token + "_into_app.txt"),
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
        // Extracted, the payload is gone; refused by the tool, it stays, as the publisher's own.
        EXPECT_EQ(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)), c.climbsOut);

        // Where each escape would have gone: the folders above the install folder, the current
        // folder, the roots of C: and of the Linux file system.
        EXPECT_EQ(FolderEntries(attempt.scratch()), (std::vector<std::wstring>{L"current", L"inst", L"profile"}));
        EXPECT_TRUE(FolderEntries(currentFolder).empty());
        const size_t inside = ExpectNothingOutside(attempt, wideToken);
        // The stripped names landed in the staging folder, which goes with the extraction's end;
        // the one inside the app folder is installed with it, and shows that the search does see
        // what the extraction wrote.
        EXPECT_EQ(inside, c.climbsOut ? 0u : 1u);
        if (!c.climbsOut) {
            EXPECT_TRUE(FileExists(attempt.appFolder() + L"\\" + wideToken + L"_into_app.txt"));
        }
    }
}

// The previous installation every case starts from: an older app folder with a file the new
// release does not have, and a file of the user's beside it in the install folder.
void WritePreviousInstall(const AttemptScope& attempt) {
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\version.txt", "2.4.0\r\n"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.appFolder() + L"\\old_only.dll", "old"));
    ASSERT_TRUE(testbed::WriteFileBytes(attempt.installDir() + L"\\notes.txt", "the user's notes"));
}

// "\\?\" in front: the long-path case reads files deeper than 260 units.
std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

enum class Outcome { installed, extractionFailed };

struct NameCase {
    const char* name;
    // The hostile entries, added to a normal release's; token makes names no other file carries.
    std::function<std::vector<ZipEntry>(const std::string& token)> entries;
    // Where the bed's bsdtar under Wine takes it (Windows itself may differ where Wine's file
    // system does: the checks hold for either outcome).
    Outcome outcome;
    // Further checks of the installed app folder (only for Outcome::installed).
    std::function<void(const std::wstring& app)> verify;
};

std::vector<ZipEntry> FilesIn(const std::string& folder, const std::vector<std::string>& names) {
    std::vector<ZipEntry> entries;
    for (const std::string& name : names) entries.push_back({folder + name, "entry " + name});
    return entries;
}

TEST(HostileArchive, NamesAndLinksEndInAWorkingInstallOrTheExtractionFailure) {
    const NameCase cases[] = {
        {"symbolic links out of the install folder, then files written through them",
         [](const std::string& token) {
             return std::vector<ZipEntry>{
                 {"TavrinStudio/up", "../../" + token + "_up", true},
                 {"TavrinStudio/up/through_up.txt", "written through a link"},
                 {"TavrinStudio/drive", "C:/" + token + "_drive", true},
                 {"TavrinStudio/drive/through_drive.txt", "written through a link"},
                 {"TavrinStudio/host", "Z:/tmp/" + token + "_host", true},
                 {"TavrinStudio/host/through_host.txt", "written through a link"},
                 {"TavrinStudio/app.lnk", "TavrinAI.exe", true},
             };
         },
         // Wine makes no symbolic links: bsdtar's link entries leave nothing, and the files
         // behind them land in plain folders of those names inside the app folder.
         Outcome::installed,
         [](const std::wstring& app) {
             EXPECT_EQ(ReadText(app + L"\\up\\through_up.txt"), "written through a link");
             EXPECT_EQ(ReadText(app + L"\\host\\through_host.txt"), "written through a link");
         }},
        {"reserved device names",
         [](const std::string&) { return FilesIn("TavrinStudio/", {"CON", "NUL", "COM1", "aux.txt", "lpt1/x.txt"}); },
         // Through "\\?\" paths they are ordinary names.
         Outcome::installed,
         [](const std::wstring& app) {
             const std::vector<std::wstring> names = FolderEntries(app);
             for (const wchar_t* name : {L"CON", L"NUL", L"COM1", L"aux.txt", L"lpt1"}) {
                 EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << Narrow(name);
             }
         }},
        {"trailing dots and spaces in file names, a trailing dot in a folder name",
         [](const std::string&) { return FilesIn("TavrinStudio/", {"dot.", "space ", "dots...", "folder./x.txt"}); },
         Outcome::installed, nullptr},
        {"a trailing space in a folder name",
         [](const std::string&) { return FilesIn("TavrinStudio/", {"folder /x.txt"}); },
         // Wine creates the folder without its space, and then cannot find it for the file.
         Outcome::extractionFailed, nullptr},
        {"name:stream",
         [](const std::string&) { return FilesIn("TavrinStudio/", {"TavrinAI.exe:Zone.Identifier", "notes:hidden"}); },
         // bsdtar writes ':' as '_' on Windows: no stream is attached to the program.
         Outcome::installed,
         [](const std::wstring& app) {
             EXPECT_EQ(ReadText(app + L"\\TavrinAI.exe_Zone.Identifier"), "entry TavrinAI.exe:Zone.Identifier");
             EXPECT_EQ(ReadText(app + L"\\notes_hidden"), "entry notes:hidden");
             EXPECT_FALSE(FileExists(app + L"\\TavrinAI.exe:Zone.Identifier"));
         }},
        {"two names that differ only in case",
         [](const std::string&) {
             return std::vector<ZipEntry>{{"TavrinStudio/Readme.txt", "first"}, {"TavrinStudio/README.TXT", "second"}};
         },
         // One file, holding the later entry.
         Outcome::installed,
         [](const std::wstring& app) {
             EXPECT_EQ(ReadText(app + L"\\readme.txt"), "second");
             size_t readmes = 0;
             for (const std::wstring& name : FolderEntries(app)) readmes += _wcsicmp(name.c_str(), L"readme.txt") == 0;
             EXPECT_EQ(readmes, 1u);
         }},
        {"a path longer than 260 units",
         [](const std::string&) {
             std::string folder = "TavrinStudio/";
             for (int level = 0; level < 12; ++level) folder += "level_" + std::to_string(level) + "_" + std::string(20, 'x') + "/";
             return std::vector<ZipEntry>{{folder + "deep.txt", "deep"}};
         },
         Outcome::installed,
         [](const std::wstring& app) {
             std::wstring path = app;
             for (int level = 0; level < 12; ++level) {
                 path += L"\\level_" + std::to_wstring(level) + L"_" + std::wstring(20, L'x');
             }
             path += L"\\deep.txt";
             ASSERT_GT(path.size(), 260u);
             EXPECT_EQ(ReadText(Long(path)), "deep");
         }},
        {"thousands of empty entries",
         [](const std::string&) {
             // In folders of a hundred: Wine looks names up without regard to case by reading
             // the folder, which makes one flat folder of thousands quadratic.
             std::vector<ZipEntry> entries;
             for (int i = 0; i < 2000; ++i) {
                 entries.push_back({"TavrinStudio/many/" + std::to_string(i / 100) + "/" + std::to_string(i), ""});
             }
             for (int i = 0; i < 500; ++i) entries.push_back({"TavrinStudio/empty/" + std::to_string(i) + "/", ""});
             return entries;
         },
         Outcome::installed,
         [](const std::wstring& app) {
             EXPECT_EQ(FolderEntries(app + L"\\many").size(), 20u);
             EXPECT_EQ(FolderEntries(app + L"\\many\\19").size(), 100u);
             EXPECT_EQ(FolderEntries(app + L"\\empty").size(), 500u);
         }},
    };
    int index = 0;
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string token = UniqueToken("name");
        std::vector<ZipEntry> entries = AppEntries("2.4.1");
        bool named = false;  // some entry points at a name with the token: search for it
        for (ZipEntry& entry : c.entries(token)) {
            named = named || entry.data.find(token) != std::string::npos;
            entries.push_back(entry);
        }

        AttemptScope attempt(L"hostile_names");
        RemoveWorkerTempFiles();
        ASSERT_NO_FATAL_FAILURE(WritePreviousInstall(attempt));
        MessageTrace trace;
        ReleaseSite site(L"robustness_names_" + std::to_wstring(index++));
        ASSERT_TRUE(site.Publish("2.4.1", MakeZip(entries)));
        ASSERT_TRUE(attempt.Run(trace, 300000)) << trace.Describe();

        const std::wstring app = attempt.appFolder();
        if (c.outcome == Outcome::installed) {
            EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
            EXPECT_EQ(ReadText(app + L"\\version.txt"), "2.4.1\r\n");
            EXPECT_TRUE(FileExists(app + L"\\TavrinAI.exe"));
            EXPECT_FALSE(FileExists(app + L"\\old_only.dll")) << "the previous app folder was not replaced";
            if (c.verify) c.verify(app);
        } else {
            EXPECT_EQ(FailureText(trace.events()), kExtractionFailed) << trace.Describe();
            EXPECT_EQ(ReadText(app + L"\\version.txt"), "2.4.0\r\n") << "the previous app was not kept";
            EXPECT_TRUE(FileExists(app + L"\\old_only.dll")) << "the previous app was not kept";
        }
        EXPECT_EQ(ReadText(attempt.installDir() + L"\\notes.txt"), "the user's notes");
        EXPECT_EQ(FileExists(TempFilePath(PAYLOAD_TEMP_NAME)), c.outcome != Outcome::installed);
        EXPECT_EQ(FolderEntries(attempt.scratch()), (std::vector<std::wstring>{L"inst", L"profile"}));
        if (named) ExpectNothingOutside(attempt, Wide(token));
    }
}

}  // namespace
