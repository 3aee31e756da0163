#include "tests/support/release_fixture.h"

#include "engine/layout.h"
#include "engine/release_host.h"
#include "tests/support/message_trace.h"
#include "tests/support/sha256_hex.h"
#include "tests/support/testbed.h"

#include <windows.h>

#include <cwchar>

std::string AppEntryName(const std::wstring& relative) { return Narrow(APP_FOLDER_NAME) + "/" + Narrow(relative); }

std::vector<ZipEntry> AppEntries(const std::string& version) {
    return {
        {AppEntryName(L""), ""},
        {AppEntryName(VERSION_FILE_NAME), version + "\r\n"},
        {AppEntryName(APP_PROGRAM_NAME), "MZ placeholder application"},
        {AppEntryName(APP_SCRIPT_NAME), "@echo off\r\n"},
        {AppEntryName(APP_ICON_NAME), std::string("\0\0\1\0", 4)},
        {AppEntryName(L"lib/"), ""},
        {AppEntryName(L"lib/data.bin"), std::string(4096, 'd')},
    };
}

std::string ManifestJson(const std::string& version, const std::string& url, const std::string& sha256) {
    std::string text = "{\n  \"version\": \"" + version + "\",\n  \"url\": \"" + url + "\"";
    if (!sha256.empty()) text += ",\n  \"sha256\": \"" + sha256 + "\"";
    return text + "\n}\n";
}

std::wstring TempFilePath(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = temp;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + name;
}

void RemoveWorkerTempFiles() {
    DeleteFileW(TempFilePath(MANIFEST_TEMP_NAME).c_str());
    DeleteFileW(TempFilePath(PAYLOAD_TEMP_NAME).c_str());
    DeleteFileW((TempFilePath(PAYLOAD_TEMP_NAME) + RESUME_RECORD_SUFFIX).c_str());
}

std::vector<TraceEvent> EventsBeforeShellStage(const std::vector<TraceEvent>& stageEvents) {
    std::vector<TraceEvent> out;
    for (const TraceEvent& event : stageEvents) {
        if (event == StatusEvent(L"바로가기 만드는 중...")) break;
        out.push_back(event);
    }
    return out;
}

ReleaseSite::ReleaseSite(const std::wstring& name)
    : name_(name), savedManifestUrl_(manifestUrl), savedModelBaseUrl_(modelBaseUrl) {
    wcsncpy_s(manifestUrl, RELEASE_HOST_URL_CAPACITY, Url(MANIFEST_URL_PATH).c_str(), _TRUNCATE);
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, Url(MODEL_URL_PATH).c_str(), _TRUNCATE);
}

ReleaseSite::~ReleaseSite() {
    wcsncpy_s(manifestUrl, RELEASE_HOST_URL_CAPACITY, savedManifestUrl_.c_str(), _TRUNCATE);
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, savedModelBaseUrl_.c_str(), _TRUNCATE);
}

std::wstring ReleaseSite::HostPath(const std::wstring& relative) const { return L"t/" + name_ + L"/" + relative; }
std::wstring ReleaseSite::FilePath(const std::wstring& relative) const { return testbed::WwwPath(HostPath(relative)); }
std::wstring ReleaseSite::Url(const std::wstring& relative) const { return testbed::HttpsUrl(L"/" + HostPath(relative)); }
std::wstring ReleaseSite::FaultUrl(const std::wstring& fault, const std::wstring& relative) const {
    return testbed::HttpsUrl(L"/_fault/" + fault + L"/" + HostPath(relative));
}

bool ReleaseSite::Put(const std::wstring& relative, const std::string& bytes) const {
    return testbed::WriteFileBytes(FilePath(relative), bytes);
}

bool ReleaseSite::PutManifest(const std::string& text) const { return Put(MANIFEST_URL_PATH, text); }

std::string ReleaseSite::PayloadUrl() const { return Narrow(Url(PAYLOAD_FILE)); }

bool ReleaseSite::Publish(const std::string& version, const std::string& payload, const std::string& sha256) const {
    const std::string digest = sha256 == "auto" ? Sha256Hex(payload) : sha256;
    return Put(PAYLOAD_FILE, payload) && PutManifest(ManifestJson(version, PayloadUrl(), digest));
}
