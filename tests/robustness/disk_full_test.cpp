// A disk that fills up in the middle of an attempt: the payload download into a temporary folder
// on a small disk, and the extraction into an install folder on it. The small disk is a tmpfs
// that the ctest fixture "robustness_small_disk" mounts (TAVRIN_SMALL_DISK, reached through Z:).
// Each attempt must end with the clear Korean text for its stage and leave the user's models and
// per-user data as they were; once space is freed, the next attempt must go through.
#include "engine/install_state.h"
#include "engine/layout.h"
#include "tests/support/attempt.h"
#include "tests/support/message_trace.h"
#include "tests/support/release_fixture.h"
#include "tests/support/testbed.h"
#include "tests/support/zip_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kWriteFailed[] = L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)";
constexpr wchar_t kExtractionFailed[] = L"압축 해제에 실패했습니다 (디스크 공간 확인).";
constexpr size_t kBigFileBytes = 3 * 1024 * 1024;
// Left free on the small disk: about half of what the payload needs, so that the failure comes
// in the middle of the work, after some of it has been written.
constexpr ULONGLONG kLeftFree = 1536 * 1024;

std::wstring SmallDisk() {
    const std::string unixPath = testbed::Env("TAVRIN_SMALL_DISK");
    return unixPath.empty() ? L"" : testbed::FromUnixPath(unixPath);
}

ULONGLONG FreeBytes(const std::wstring& folder) {
    ULARGE_INTEGER available = {}, total = {}, free = {};
    if (!GetDiskFreeSpaceExW((folder + L"\\").c_str(), &available, &total, &free)) return 0;
    return available.QuadPart;
}

// Takes all but `leave` bytes of the disk's free space with one file, written in chunks.
bool Fill(const std::wstring& path, ULONGLONG leave) {
    const ULONGLONG free = FreeBytes(path.substr(0, path.rfind(L'\\')));
    if (free <= leave) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string chunk(64 * 1024, 'f');
    bool ok = true;
    for (ULONGLONG left = free - leave; ok && left > 0;) {
        const DWORD size = static_cast<DWORD>(std::min<ULONGLONG>(left, chunk.size()));
        DWORD written = 0;
        ok = WriteFile(file, chunk.data(), size, &written, nullptr) && written == size;
        left -= size;
    }
    CloseHandle(file);
    return ok;
}

// Every file below folder by relative path, with its contents.
void Snapshot(const std::wstring& folder, const std::wstring& relative, std::map<std::wstring, std::string>& out) {
    for (const std::wstring& name : FolderEntries(folder)) {
        const std::wstring path = folder + L"\\" + name;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Snapshot(path, relative + name + L"\\", out);
        } else {
            out[relative + name] = ReadText(path);
        }
    }
}
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder) {
    std::map<std::wstring, std::string> out;
    Snapshot(folder, L"", out);
    return out;
}

// Keeps an environment variable at a new value while it lives.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
        static wchar_t saved[32767];
        had_ = GetEnvironmentVariableW(name, saved, 32767) > 0;
        saved_ = saved;
        SetEnvironmentVariableW(name, value.c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() { SetEnvironmentVariableW(name_, had_ ? saved_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::wstring saved_;
    bool had_ = false;
};

std::vector<ZipEntry> BigRelease(const std::string& version) {
    std::vector<ZipEntry> entries = AppEntries(version);
    std::string big(kBigFileBytes, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    entries.push_back({AppEntryName(L"lib/big.bin"), big});
    return entries;
}

// What the user had before: every model, settings in the per-user data folder, and (when asked)
// an older installation.
void WritePreviousData(const AttemptScope& attempt, bool oldInstallation) {
    for (const std::wstring& name : kModelNames) {
        ASSERT_TRUE(testbed::WriteFileBytes(attempt.modelFolder() + L"\\" + name, "model " + Narrow(name)));
    }
    ASSERT_TRUE(testbed::WriteFileBytes(UserDataFolderIn(attempt.profile()) + L"\\settings.json", "{\"picks\":42}"));
    ASSERT_TRUE(testbed::WriteFileBytes(UserDataFolderIn(attempt.profile()) + L"\\session\\token", "signed in"));
    if (oldInstallation) {
        ASSERT_TRUE(testbed::WriteFileBytes(InFolder(attempt.appFolder(), VERSION_FILE_NAME), "2.4.0\r\n"));
        ASSERT_TRUE(testbed::WriteFileBytes(InFolder(attempt.appFolder(), APP_PROGRAM_NAME), "old program"));
    }
}

struct DiskFullCase {
    const char* name;
    bool tempOnSmallDisk;     // the payload download fills the disk
    bool installOnSmallDisk;  // the extraction fills it
    std::wstring failure;
};

TEST(DiskFull, FailsClearlyKeepsTheUsersDataAndRecovers) {
    const std::wstring smallDisk = SmallDisk();
    ASSERT_FALSE(smallDisk.empty()) << "TAVRIN_SMALL_DISK is not set: the small-disk fixture did not run";
    ASSERT_TRUE(FileExists(smallDisk)) << Narrow(smallDisk);
    const DiskFullCase cases[] = {
        {"the payload download fills the disk", true, false, kWriteFailed},
        {"the extraction fills the disk", false, true, kExtractionFailed},
    };
    int index = 0;
    for (const DiskFullCase& c : cases) {
        SCOPED_TRACE(c.name);
        AttemptScope attempt(L"disk_full");
        RemoveWorkerTempFiles();
        const std::wstring caseFolder = smallDisk + L"\\case" + std::to_wstring(index);
        ASSERT_TRUE(CreateDirectoryW(caseFolder.c_str(), nullptr));
        if (c.installOnSmallDisk) attempt.SetInstallDir(caseFolder + L"\\inst");
        WritePreviousData(attempt, true);
        const auto profileBefore = Snapshot(attempt.profile());
        // From here on GetTempPathW, and so the worker's payload file, names the small disk.
        const std::wstring temp = caseFolder + L"\\temp";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        std::optional<ScopedVariable> tmp;
        if (c.tempOnSmallDisk) tmp.emplace(L"TMP", temp);

        ReleaseSite site(L"robustness_disk_full_" + std::to_wstring(index++));
        ASSERT_TRUE(site.Publish("2.5.0", MakeZip(BigRelease("2.5.0"))));
        const std::wstring filler = caseFolder + L"\\filler.bin";
        ASSERT_TRUE(Fill(filler, kLeftFree)) << "cannot fill the small disk";
        ASSERT_LT(FreeBytes(caseFolder), kBigFileBytes) << "the disk still has room for the payload";

        {
            MessageTrace trace;
            ASSERT_TRUE(attempt.Run(trace)) << trace.Describe();
            EXPECT_EQ(FailureText(trace.events()), c.failure) << trace.Describe();
            EXPECT_TRUE(Posted(trace.events(), L"v2.5.0 내려받는 중...")) << trace.Describe();
        }
        EXPECT_EQ(Snapshot(attempt.profile()), profileBefore) << "the user's models or data changed";
        // Either way the old app is intact: the download fails before the install folder is
        // touched, and the extraction fills the disk beside the app folder, not in it.
        EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.4.0\r\n");
        EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), APP_PROGRAM_NAME)), "old program");
        if (c.tempOnSmallDisk) {
            // The partial payload stays for the next attempt to take up.
            EXPECT_TRUE(FileExists(InFolder(temp, PAYLOAD_TEMP_NAME)));
        } else {
            // The payload is the published one: it stays for the next attempt.
            EXPECT_TRUE(FileExists(TempFilePath(PAYLOAD_TEMP_NAME))) << "the published payload was deleted";
            // The half-written staging folder is gone: it would hold the disk's last space.
            EXPECT_FALSE(FileExists(InFolder(attempt.installDir(), STAGING_FOLDER_NAME))) << "the staging folder was left";
        }

        // Space freed: the next attempt completes the payload or extracts again.
        ASSERT_TRUE(DeleteFileW(filler.c_str()));
        {
            MessageTrace trace;
            // A same-version question would mean the failed attempt passed for an installation;
            // answered No, it ends the attempt at once (the skip exit) instead of hanging.
            BoxAnswerer answerer(trace.window(), IDNO);
            ASSERT_TRUE(attempt.Run(trace)) << trace.Describe();
            answerer.Stop();
            EXPECT_TRUE(answerer.boxes().empty()) << "asked: " << Narrow(answerer.boxes().front().text);
            EXPECT_TRUE(Succeeded(trace.events())) << trace.Describe();
        }
        EXPECT_EQ(ReadText(InFolder(attempt.appFolder(), VERSION_FILE_NAME)), "2.5.0\r\n");
        EXPECT_EQ(ReadText(attempt.appFolder() + L"\\lib\\big.bin").size(), kBigFileBytes);
        EXPECT_EQ(Snapshot(attempt.profile()), profileBefore) << "the user's models or data changed";
        EXPECT_FALSE(FileExists(InFolder(temp, PAYLOAD_TEMP_NAME)));
    }
}

}  // namespace
