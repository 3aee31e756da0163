#include "tests/support/release_fixture.h"

#include "engine/release_host.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"

#include <windows.h>

#include <cwchar>

std::vector<ZipEntry> AppEntries(const std::string& version) {
    return {
        {"TavrinStudio/", ""},
        {"TavrinStudio/version.txt", version + "\r\n"},
        {"TavrinStudio/TavrinAI.exe", "MZ placeholder application"},
        {"TavrinStudio/run_tavrin.bat", "@echo off\r\n"},
        {"TavrinStudio/app_icon.ico", std::string("\0\0\1\0", 4)},
        {"TavrinStudio/lib/", ""},
        {"TavrinStudio/lib/data.bin", std::string(4096, 'd')},
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
    DeleteFileW(TempFilePath(L"tavrin_latest.json").c_str());
    DeleteFileW(TempFilePath(L"TavrinStudio_payload.zip").c_str());
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
    wcsncpy_s(manifestUrl, RELEASE_HOST_URL_CAPACITY, Url(L"dist/latest.json").c_str(), _TRUNCATE);
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, Url(L"models/auraface/").c_str(), _TRUNCATE);
}

ReleaseSite::~ReleaseSite() {
    wcsncpy_s(manifestUrl, RELEASE_HOST_URL_CAPACITY, savedManifestUrl_.c_str(), _TRUNCATE);
    wcsncpy_s(modelBaseUrl, RELEASE_HOST_URL_CAPACITY, savedModelBaseUrl_.c_str(), _TRUNCATE);
}

std::wstring ReleaseSite::HostPath(const std::wstring& relative) const { return L"t/" + name_ + L"/" + relative; }
std::wstring ReleaseSite::FilePath(const std::wstring& relative) const { return testbed::WwwPath(HostPath(relative)); }
std::wstring ReleaseSite::Url(const std::wstring& relative) const { return testbed::HttpsUrl(L"/" + HostPath(relative)); }
std::wstring ReleaseSite::PlainUrl(const std::wstring& relative) const {
    return testbed::HttpUrl(L"/" + HostPath(relative));
}
std::wstring ReleaseSite::FaultUrl(const std::wstring& fault, const std::wstring& relative) const {
    return testbed::HttpsUrl(L"/_fault/" + fault + L"/" + HostPath(relative));
}

bool ReleaseSite::Put(const std::wstring& relative, const std::string& bytes) const {
    return testbed::WriteFileBytes(FilePath(relative), bytes);
}

bool ReleaseSite::PutManifest(const std::string& text) const { return Put(L"dist/latest.json", text); }

std::string ReleaseSite::PayloadUrl() const { return Narrow(Url(L"dist/TavrinStudio.zip")); }

bool ReleaseSite::Publish(const std::string& version, const std::string& payload, const std::string& sha256) const {
    const std::string digest = sha256 == "auto" ? Sha256Hex(payload) : sha256;
    return Put(L"dist/TavrinStudio.zip", payload) && PutManifest(ManifestJson(version, PayloadUrl(), digest));
}
