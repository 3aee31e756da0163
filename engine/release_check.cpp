#include "engine/release_check.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/json_string.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/release_host.h"

#include <cwchar>

namespace {

constexpr size_t MANIFEST_BUFFER_BYTES = 16384;  // the text and its terminating NUL
constexpr DWORD VERSION_FILE_READ_BYTES = 63;
constexpr size_t VERSION_TEXT_CAPACITY = 64;     // units, terminator included
constexpr size_t QUESTION_CAPACITY = 256;
constexpr size_t SHA256_DIGEST_UNITS = 64;        // hexadecimal digits of a SHA-256 digest

// Static because the worker's stack is small and at most one worker runs at a time.
char manifestBuffer[MANIFEST_BUFFER_BYTES];

void SetError(wchar_t* errorText, const wchar_t* text) {
    wcsncpy_s(errorText, WORKER_ERROR_CAPACITY, text, _TRUNCATE);
}

// One read of at most 16383 bytes; a failed read leaves an empty text. The file is deleted
// afterwards whatever the read gave. False only when the file cannot be opened.
bool ReadManifestFile(const wchar_t* path) {
    DWORD bytesRead = 0;
    {
        OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return false;
        if (!ReadFile(file.get(), manifestBuffer, MANIFEST_BUFFER_BYTES - 1, &bytesRead, nullptr)) bytesRead = 0;
    }
    manifestBuffer[bytesRead] = '\0';
    DeleteFileW(path);
    return true;
}

bool IsSha256Digest(const wchar_t* text) {
    size_t length = 0;
    for (; text[length]; ++length) {
        const wchar_t c = text[length];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) return false;
    }
    return length == SHA256_DIGEST_UNITS;
}

// url, version and the optional sha256 from the manifest buffer into installState. Without a
// sha256 member the payload goes unverified, as the publisher chose; one that is there but is
// not 64 hexadecimal digits makes the manifest invalid instead of switching verification off.
bool TakeReleaseFields() {
    if (!ReadJsonString(manifestBuffer, "url", installState.releaseUrl, RELEASE_URL_CAPACITY)) return false;
    if (!ReadJsonString(manifestBuffer, "version", installState.releaseVersion, RELEASE_VERSION_CAPACITY)) {
        return false;
    }
    installState.releaseSha256[0] = L'\0';
    if (!JsonKeyPresent(manifestBuffer, "sha256")) return true;
    if (ReadJsonString(manifestBuffer, "sha256", installState.releaseSha256, RELEASE_SHA256_CAPACITY) &&
        IsSha256Digest(installState.releaseSha256)) {
        return true;
    }
    installState.releaseSha256[0] = L'\0';
    return false;
}

// True when the user wants the installed version installed again. No is the default button, so
// Enter and closing the box keep the installation as it is.
bool AskReinstallSameVersion() {
    wchar_t question[QUESTION_CAPACITY] = {};
    _snwprintf_s(question, _TRUNCATE,
                 L"이미 최신 버전(v%s)이 설치되어 있습니다.\n\n같은 버전을 다시 설치할까요?\n(아니요 = 설치하지 않고 닫기)",
                 installState.releaseVersion);
    const int answer = MessageBoxW(installState.mainWindow, question, PRODUCT_NAME,
                                   MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    return answer == IDYES;
}

}  // namespace

void ReadInstalledVersion(const wchar_t* installDir, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return;
    out[0] = L'\0';

    wchar_t appFolder[PATH_CAPACITY] = {};
    wchar_t versionPath[PATH_CAPACITY] = {};
    if (!JoinPath(appFolder, installDir, APP_FOLDER_NAME)) return;
    if (!JoinPath(versionPath, appFolder, VERSION_FILE_NAME)) return;

    char bytes[VERSION_FILE_READ_BYTES + 1] = {};
    {
        OwnedFile file(CreateFileW(versionPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return;
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), bytes, VERSION_FILE_READ_BYTES, &bytesRead, nullptr)) return;
    }

    wchar_t text[VERSION_TEXT_CAPACITY] = {};
    if (MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, VERSION_TEXT_CAPACITY) == 0) return;
    // Only the version's end is cut; a leading space or byte-order mark is kept, so such a file
    // never matches.
    text[wcscspn(text, L"\r\n ")] = L'\0';
    // A version cut to fit out could falsely match: such a version counts as none.
    if (wcslen(text) >= capacity) return;
    wcscpy_s(out, capacity, text);
}

StageResult RunReleaseCheck(wchar_t* errorText) {
    wchar_t manifestPath[PATH_CAPACITY] = {};
    if (!GetTempFilePath(manifestPath, MANIFEST_TEMP_NAME)) {
        SetError(errorText, L"임시 파일을 만들 수 없습니다");
        return StageResult::Failed;
    }
    if (!DownloadToFile(manifestUrl, manifestPath, errorText, WORKER_ERROR_CAPACITY)) return StageResult::Failed;
    if (!ReadManifestFile(manifestPath)) {
        SetError(errorText, L"버전 파일을 열 수 없습니다");
        return StageResult::Failed;
    }
    if (!TakeReleaseFields()) {
        SetError(errorText, L"버전 파일 형식 오류");
        return StageResult::Failed;
    }

    wchar_t installedVersion[VERSION_TEXT_CAPACITY] = {};
    ReadInstalledVersion(installState.installDir, installedVersion, VERSION_TEXT_CAPACITY);
    if (!installedVersion[0] || wcscmp(installedVersion, installState.releaseVersion) != 0) {
        return StageResult::Continue;
    }
    return AskReinstallSameVersion() ? StageResult::Continue : StageResult::Skipped;
}
