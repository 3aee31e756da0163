#include "engine/release_check.h"

#include "engine/download.h"
#include "engine/install_state.h"
#include "engine/json_string.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/release_host.h"
#include "engine/setup_log.h"
#include "engine/sha256.h"
#include "engine/transient_retry.h"

#include <bcrypt.h>

#include <cstdint>
#include <cwchar>
#include <iterator>

namespace {

constexpr size_t MANIFEST_BUFFER_BYTES = 16384;  // the text and its terminating NUL
constexpr DWORD VERSION_FILE_READ_BYTES = 63;
constexpr size_t VERSION_TEXT_CAPACITY = 64;     // units, terminator included
constexpr size_t QUESTION_CAPACITY = 256;
constexpr size_t SHA256_DIGEST_UNITS = 64;        // hexadecimal digits of a SHA-256 digest
constexpr size_t MODEL_DIGEST_KEY_CAPACITY = 62;  // the reader's longest key and its NUL
constexpr wchar_t LOG_STAGE[] = L"release check";

// Static because the worker's stack is small and at most one worker runs at a time.
char manifestBuffer[MANIFEST_BUFFER_BYTES];
DWORD manifestBytes = 0;

#ifdef TAVRIN_RELEASE_KEY_BLOB
constexpr ULONG SIGNATURE_BYTES = 64;  // r and s of ECDSA P-256, big-endian
constexpr UCHAR RELEASE_KEY_BLOB[] = {TAVRIN_RELEASE_KEY_BLOB};
constexpr wchar_t SIGNATURE_ERROR_TEXT[] = L"버전 파일의 서명을 확인할 수 없습니다. 잠시 후 다시 시도해 주세요.";
#endif

void SetError(wchar_t* errorText, const wchar_t* text) {
    wcsncpy_s(errorText, WORKER_ERROR_CAPACITY, text, _TRUNCATE);
}

// One read of at most 16383 bytes; a failed read leaves an empty text. The file is deleted
// afterwards whatever the read gave. False only when the file cannot be opened.
bool ReadManifestFile(const wchar_t* path) {
    DWORD bytesRead = 0;
    {
        OwnedFile file;
        RetryTransient(LOG_STAGE, L"CreateFileW", path, [&] {
            file = OwnedFile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            return static_cast<bool>(file);
        });
        if (!file) {
            LogFailedCall(LOG_STAGE, L"CreateFileW", path, GetLastError());
            return false;
        }
        if (!ReadFile(file.get(), manifestBuffer, MANIFEST_BUFFER_BYTES - 1, &bytesRead, nullptr)) {
            LogFailedCall(LOG_STAGE, L"ReadFile", path, GetLastError());
            bytesRead = 0;
        }
    }
    manifestBuffer[bytesRead] = '\0';
    manifestBytes = bytesRead;
    if (!RetryTransient(LOG_STAGE, L"DeleteFileW", path, [&] { return DeleteFileW(path) != 0; })) {
        LogFailedCall(LOG_STAGE, L"DeleteFileW", path, GetLastError());
    }
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

// Each model's "digest:<name>" member into installState.modelSha256. Never makes the manifest
// invalid: a digest that cannot be read only keeps its model from being installed.
void TakeModelDigests() {
    for (int i = 0; i < MODEL_COUNT; ++i) {
        wchar_t* digest = installState.modelSha256[i];
        digest[0] = L'\0';
        char key[MODEL_DIGEST_KEY_CAPACITY] = {};
        if (_snprintf_s(key, _TRUNCATE, "%s%ls", MODEL_DIGEST_KEY_PREFIX, MODEL_NAMES[i]) < 0) continue;
        if (!JsonKeyPresent(manifestBuffer, key)) continue;
        if (!ReadJsonString(manifestBuffer, key, digest, RELEASE_SHA256_CAPACITY) || !IsSha256Digest(digest)) {
            wcscpy_s(digest, RELEASE_SHA256_CAPACITY, L"-");
        }
    }
}

// A published size: decimal digits only, more than 0; anything else reads as none (0).
uint64_t ReadSize(const char* key) {
    wchar_t text[24] = {};
    if (!ReadJsonString(manifestBuffer, key, text, std::size(text))) return 0;
    uint64_t value = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c < L'0' || *c > L'9' || value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<uint64_t>(*c - L'0');
    }
    return value;
}

void TakeSizes() {
    installState.releaseSize = ReadSize(PAYLOAD_SIZE_KEY);
    for (int i = 0; i < MODEL_COUNT; ++i) {
        char key[MODEL_DIGEST_KEY_CAPACITY] = {};
        installState.modelSize[i] = 0;
        if (_snprintf_s(key, _TRUNCATE, "%s%ls", MODEL_SIZE_KEY_PREFIX, MODEL_NAMES[i]) >= 0) {
            installState.modelSize[i] = ReadSize(key);
        }
    }
}

#ifdef TAVRIN_RELEASE_KEY_BLOB
constexpr wchar_t EXPIRED_TEXT[] = L"버전 파일이 만료되었습니다. 잠시 후 다시 시도해 주세요.";
constexpr wchar_t OLDER_TEXT[] = L"설치된 버전보다 오래된 버전은 설치할 수 없습니다.";

// The number at text, its digits consumed; one too large for 64 bits saturates.
uint64_t ReadVersionNumber(const wchar_t*& text) {
    uint64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - L'0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return value;
}

// Dotted numbers, compared number by number ("1.10" is newer than "1.9"; a missing number is 0).
// The comparison ends at anything else than digits and dots.
int CompareVersions(const wchar_t* left, const wchar_t* right) {
    while (*left || *right) {
        const uint64_t a = ReadVersionNumber(left);
        const uint64_t b = ReadVersionNumber(right);
        if (a != b) return a < b ? -1 : 1;
        if ((*left && *left != L'.') || (*right && *right != L'.')) break;
        if (*left) ++left;
        if (*right) ++right;
    }
    return 0;
}

// "YYYY-MM-DDTHH:MM:SSZ" as a FILETIME; false for any other text.
bool ParseExpiry(const wchar_t* text, FILETIME& out) {
    if (wcslen(text) != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' || text[13] != L':' ||
        text[16] != L':' || text[19] != L'Z') {
        return false;
    }
    auto number = [&](int at, int digits) {
        int value = 0;
        for (int i = at; i < at + digits; ++i) {
            if (text[i] < L'0' || text[i] > L'9') return -1;
            value = value * 10 + (text[i] - L'0');
        }
        return value;
    };
    SYSTEMTIME time = {};
    const int parts[] = {number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2)};
    for (int part : parts) {
        if (part < 0) return false;
    }
    time.wYear = static_cast<WORD>(parts[0]);
    time.wMonth = static_cast<WORD>(parts[1]);
    time.wDay = static_cast<WORD>(parts[2]);
    time.wHour = static_cast<WORD>(parts[3]);
    time.wMinute = static_cast<WORD>(parts[4]);
    time.wSecond = static_cast<WORD>(parts[5]);
    return SystemTimeToFileTime(&time, &out) != 0;
}

// A signed manifest is good only until its expiry: without one, any manifest ever signed could be
// served again for ever, keeping users on an old release.
bool ManifestStillValid() {
    wchar_t text[32] = {};
    FILETIME expiry = {};
    if (!ReadJsonString(manifestBuffer, MANIFEST_EXPIRES_KEY, text, std::size(text)) || !ParseExpiry(text, expiry)) {
        LogEvent(LOG_STAGE, L"manifest member expires", L"failed | missing or malformed");
        return false;
    }
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    if (CompareFileTime(&now, &expiry) < 0) return true;
    LogEventAbout(LOG_STAGE, L"manifest expired", text, L"failed");
    return false;
}

// SHA-256 of the manifest's bytes as read (a manifest longer than the read never verifies).
bool HashManifest(UCHAR (&digest)[SHA256_DIGEST_BYTES]) {
    Sha256Hash hash;
    auto* bytes = reinterpret_cast<UCHAR*>(manifestBuffer);
    return hash && BCRYPT_SUCCESS(BCryptHashData(hash.get(), bytes, manifestBytes, 0)) && hash.Finish(digest);
}

// True when signature (r||s) is the release key's ECDSA P-256 signature of the manifest.
bool SignatureVerifies(UCHAR (&signature)[SIGNATURE_BYTES]) {
    UCHAR digest[SHA256_DIGEST_BYTES] = {};
    if (!HashManifest(digest)) return false;
    // Declared provider first: the key is destroyed before its provider is closed.
    OwnedHashAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    OwnedCryptoKey key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                                            const_cast<UCHAR*>(RELEASE_KEY_BLOB), sizeof(RELEASE_KEY_BLOB), 0))) {
        return false;
    }
    return BCRYPT_SUCCESS(
        BCryptVerifySignature(key.get(), nullptr, digest, SHA256_DIGEST_BYTES, signature, SIGNATURE_BYTES, 0));
}

// Fetches latest.json.sig right after the manifest and checks it against the manifest's bytes.
// Exactly 64 bytes or it is malformed; the file is deleted after reading.
bool CheckManifestSignature(wchar_t* errorText) {
    wchar_t signaturePath[PATH_CAPACITY] = {};
    if (!GetTempFilePath(signaturePath, SIGNATURE_TEMP_NAME)) {
        SetError(errorText, L"임시 파일을 만들 수 없습니다");
        return false;
    }
    // Beside the manifest, wherever the manifest's URL points.
    wchar_t signatureUrl[RELEASE_HOST_URL_CAPACITY + 4] = {};
    _snwprintf_s(signatureUrl, _TRUNCATE, L"%s.sig", manifestUrl);
    if (!DownloadToFile(signatureUrl, signaturePath, errorText, WORKER_ERROR_CAPACITY)) {
        if (!DeleteFileW(signaturePath) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            LogFailedCall(LOG_STAGE, L"DeleteFileW", signaturePath, GetLastError());
        }
        if (!installState.cancelRequested.load()) SetError(errorText, SIGNATURE_ERROR_TEXT);
        return false;
    }
    UCHAR signature[SIGNATURE_BYTES + 1] = {};
    DWORD bytesRead = 0;
    {
        OwnedFile file(CreateFileW(signaturePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file || !ReadFile(file.get(), signature, sizeof(signature), &bytesRead, nullptr)) bytesRead = 0;
    }
    if (!DeleteFileW(signaturePath)) LogFailedCall(LOG_STAGE, L"DeleteFileW", signaturePath, GetLastError());
    if (bytesRead != SIGNATURE_BYTES || !SignatureVerifies(reinterpret_cast<UCHAR(&)[SIGNATURE_BYTES]>(signature))) {
        LogEventAbout(LOG_STAGE, L"manifest signature", signatureUrl, L"failed | does not verify");
        SetError(errorText, SIGNATURE_ERROR_TEXT);
        return false;
    }
    return true;
}
#endif

// True when the user wants the installed version installed again. No is the default button, so
// Enter and closing the box keep the installation as it is.
bool AskReinstallSameVersion() {
    wchar_t question[QUESTION_CAPACITY] = {};
    _snwprintf_s(question, _TRUNCATE,
                 L"이미 최신 버전(v%s)이 설치되어 있습니다.\n\n같은 버전을 다시 설치할까요?\n(아니요 = 설치하지 않고 닫기)",
                 installState.releaseVersion);
    const int answer = LoggedMessageBox(installState.mainWindow, question, PRODUCT_NAME,
                                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    return answer == IDYES;
}

void LogReleaseVersions(const wchar_t* installedVersion) {
    wchar_t versions[QUESTION_CAPACITY] = {};
    _snwprintf_s(versions, _TRUNCATE, L"%ls, installed %ls, payload digest %ls", installState.releaseVersion,
                 installedVersion[0] ? installedVersion : L"none", installState.releaseSha256[0] ? L"given" : L"none");
    LogEventAbout(LOG_STAGE, L"release", versions, nullptr);
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
#ifdef TAVRIN_RELEASE_KEY_BLOB
    if (!CheckManifestSignature(errorText)) return StageResult::Failed;
#endif
    if (!TakeReleaseFields()) {
        LogEvent(LOG_STAGE, L"manifest members url, version, sha256", L"failed | missing or malformed");
        SetError(errorText, L"버전 파일 형식 오류");
        return StageResult::Failed;
    }
#ifdef TAVRIN_RELEASE_KEY_BLOB
    // Signed, the manifest must name the payload's digest, or the signature would vouch for nothing.
    if (!installState.releaseSha256[0]) {
        LogEvent(LOG_STAGE, L"manifest member sha256", L"failed | missing from a signed manifest");
        SetError(errorText, L"버전 파일 형식 오류");
        return StageResult::Failed;
    }
    if (!ManifestStillValid()) {
        SetError(errorText, EXPIRED_TEXT);
        return StageResult::Failed;
    }
#endif
    TakeModelDigests();
    TakeSizes();

    wchar_t installedVersion[VERSION_TEXT_CAPACITY] = {};
    ReadInstalledVersion(installState.installDir, installedVersion, VERSION_TEXT_CAPACITY);
    LogReleaseVersions(installedVersion);
#ifdef TAVRIN_RELEASE_KEY_BLOB
    // A signed older release is still the publisher's, but installing it over a newer one is how
    // a host that replays old manifests would bring back a fixed flaw.
    if (installedVersion[0] && CompareVersions(installState.releaseVersion, installedVersion) < 0) {
        LogEvent(LOG_STAGE, L"release older than the installed version", L"failed");
        SetError(errorText, OLDER_TEXT);
        return StageResult::Failed;
    }
#endif
    if (!installedVersion[0] || wcscmp(installedVersion, installState.releaseVersion) != 0) {
        return StageResult::Continue;
    }
    return AskReinstallSameVersion() ? StageResult::Continue : StageResult::Skipped;
}
