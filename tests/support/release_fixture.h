// Publishes releases on the local release host for tests that run the install worker or its
// stages: each case gets a www subfolder of its own ("t/<name>") holding its manifest, payload
// archive and model files, and the engine's manifestUrl / modelBaseUrl point into it while the
// site object lives.
#pragma once

#include "tests/support/message_trace.h"
#include "tests/support/zip_writer.h"

#include <string>
#include <vector>

// "TavrinStudio/<relative>": the name of an entry in the payload archive's app folder ('/'
// separators, UTF-8).
std::string AppEntryName(const std::wstring& relative);

// The entries of a normal payload archive: the app folder "TavrinStudio/" with "version.txt"
// (the version followed by CR LF), "TavrinAI.exe", "run_tavrin.bat", "app_icon.ico" and a file in
// a subfolder. All contents are small placeholders.
std::vector<ZipEntry> AppEntries(const std::string& version);

// The JSON text of a manifest with the string members version, url and sha256, in that order;
// an empty sha256 leaves that member out. UTF-8.
std::string ManifestJson(const std::string& version, const std::string& url, const std::string& sha256);

// The file of that name in the prefix's temporary folder, where the worker keeps
// "tavrin_latest.json" and "TavrinStudio_payload.zip" (shared by every test of the run: tests
// that run the worker hold the ctest resource lock "payload").
std::wstring TempFilePath(const wchar_t* name);
// Deletes the worker's temporary files (with the payload's resume record), so that what is left
// after a run tells about it.
void RemoveWorkerTempFiles();

// The stage events of a worker run before stage 5's first post ("바로가기 만드는 중..."): the
// trace of stages 0 to 4 of a run that got through extraction, the whole trace otherwise.
std::vector<TraceEvent> EventsBeforeShellStage(const std::vector<TraceEvent>& stageEvents);

// Where Publish puts the payload archive, inside the case's www subfolder.
constexpr wchar_t PAYLOAD_FILE[] = L"dist/payload.zip";

// Relative paths below use '/' and name files inside the case's own www subfolder.
class ReleaseSite {
public:
    // Points manifestUrl at Url("dist/latest.json") and modelBaseUrl at Url("models/auraface/").
    // Writes nothing yet.
    explicit ReleaseSite(const std::wstring& name);
    ReleaseSite(const ReleaseSite&) = delete;
    ReleaseSite& operator=(const ReleaseSite&) = delete;
    // Puts manifestUrl and modelBaseUrl back to what they were before.
    ~ReleaseSite();

    // "t/<name>/<relative>": the path below www, as the host's URL paths use it.
    std::wstring HostPath(const std::wstring& relative) const;
    // Windows path of the file in www.
    std::wstring FilePath(const std::wstring& relative) const;
    // https://localhost:<port>/t/<name>/<relative> (trusted certificate).
    std::wstring Url(const std::wstring& relative) const;
    // The HTTPS URL of the same file with a fault injected ("status=404", "nolength", ...).
    std::wstring FaultUrl(const std::wstring& fault, const std::wstring& relative) const;

    // Writes bytes to the file (parent folders created). False on failure.
    bool Put(const std::wstring& relative, const std::string& bytes) const;
    // Writes "dist/latest.json".
    bool PutManifest(const std::string& text) const;
    // Writes the payload to PAYLOAD_FILE and a manifest naming its HTTPS URL, the
    // version and sha256: "" leaves the member out; "auto" (the default) is the payload's
    // real digest in lower case.
    bool Publish(const std::string& version, const std::string& payload, const std::string& sha256 = "auto") const;
    // The URL that Publish writes into the manifest, as UTF-8.
    std::string PayloadUrl() const;

private:
    std::wstring name_;
    std::wstring savedManifestUrl_;
    std::wstring savedModelBaseUrl_;
};
