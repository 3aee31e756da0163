#include "tests/sweep/sweep.h"

#include "engine/extract.h"
#include "engine/models.h"
#include "engine/payload.h"
#include "engine/release_check.h"
#include "engine/shell_registration.h"
#include "tests/support/testbed.h"
#ifndef TAVRIN_SWEEP_RELEASE_KEY
#include "uninstall/uninstall.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>

// The stages of an install and the uninstall, each with the bed it starts from and its endings.
namespace sweep {
namespace {

std::vector<std::wstring> DownloadTexts(std::initializer_list<std::wstring> more) {
    std::vector<std::wstring> texts = {L"주소 해석 실패",
                                       L"네트워크 초기화 실패",
                                       L"서버에 연결할 수 없습니다 (인터넷 연결 확인)",
                                       L"임시 파일을 만들 수 없습니다",
                                       L"받은 파일을 저장하지 못했습니다 (디스크 공간 확인)",
                                       L"다운로드가 중간에 끊겼습니다"};
    texts.insert(texts.end(), more);
    return texts;
}

const std::vector<std::wstring> kExtractionTexts = {
    L"설치 폴더를 만들 수 없습니다.",
    L"압축 해제 도구(tar.exe)를 찾을 수 없습니다. Windows 10 (1803) 이상이 필요합니다.",
    L"이전 설치를 지우지 못했습니다. 실행 중인 Tavrin AI 를 닫고 다시 시도해 주세요.",
    L"압축 해제에 실패했습니다 (디스크 공간 확인)."};

// The release check's findings about the payload (the models' digests follow them).
std::string PayloadFindings(const Snapshot& snapshot) {
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) end = snapshot.release.find('|', end + 1);
    return snapshot.release.substr(0, end);
}

bool SameAppFolder(const Snapshot& end, const Snapshot& clean) { return end.appFolder == clean.appFolder; }

}  // namespace

std::vector<Stage> AllStages() {
    const auto payloadTexts = DownloadTexts({L"받은 파일이 손상되었거나 변조되었습니다. 다시 시도해 주세요."});
    const auto extract = [](Bed& bed, Interposer&, wchar_t* errorText) {
        return PrepareAndExtract(bed.payloadPath.c_str(), errorText);
    };
    const auto prepareExtraction = [](Bed& bed) {
        bed.CompletePreviousInstall();
        bed.CheckRelease();
        bed.PlaceVerifiedPayload();
    };
    return {
        {"release", [](Bed& bed) { bed.CompletePreviousInstall(); },
         [](Bed&, Interposer&, wchar_t* errorText) { return RunReleaseCheck(errorText); },
         DownloadTexts({L"버전 파일을 열 수 없습니다", L"버전 파일 형식 오류",
#ifdef TAVRIN_SWEEP_RELEASE_KEY
                        L"버전 파일의 서명을 확인할 수 없습니다. 잠시 후 다시 시도해 주세요.",
                        L"버전 파일이 만료되었습니다. 잠시 후 다시 시도해 주세요.",
                        L"설치된 버전보다 오래된 버전은 설치할 수 없습니다.",
#endif
         }),
         true,
         [](const Snapshot& end, const Snapshot& clean) { return PayloadFindings(end) == PayloadFindings(clean); }},
        {"payload",
         [](Bed& bed) {
             bed.CompletePreviousInstall();
             bed.CheckRelease();
         },
         [](Bed& bed, Interposer&, wchar_t* errorText) {
             const StageResult result = DownloadPayload(bed.payloadPath.c_str(), errorText);
             return result == StageResult::Continue ? VerifyPayload(bed.payloadPath.c_str(), errorText) : result;
         },
         payloadTexts, true, [](const Snapshot& end, const Snapshot& clean) { return end.payload == clean.payload; }},
        {"extraction", prepareExtraction, extract, kExtractionTexts, true, SameAppFolder},
        {"extraction-stdin", prepareExtraction, extract, kExtractionTexts, true, SameAppFolder},
        {"shell",
         [](Bed& bed) {
             bed.CompletePreviousInstall();
             bed.CheckRelease();
             bed.ReplaceApp();
         },
         [](Bed&, Interposer&, wchar_t*) {
             RegisterShell();
             return StageResult::Continue;
         },
         {}, false, nullptr},
        {"models", [](Bed& bed) { bed.CheckRelease(); },
         [](Bed&, Interposer&, wchar_t*) {
             ProvisionModels();
             return StageResult::Continue;
         },
         {}, false, nullptr},
        {"completion", [](Bed&) {},
         [](Bed&, Interposer&, wchar_t*) {
             ReportCompletion();
             return StageResult::Continue;
         },
         {}, false, nullptr},
#ifndef TAVRIN_SWEEP_RELEASE_KEY
        {"uninstall", [](Bed& bed) { bed.CompletePreviousInstall(); },
         [](Bed&, Interposer&, wchar_t*) {
             RunUninstall();
             return StageResult::Continue;
         },
         {}, false, nullptr},
#endif
    };
}

// TAVRIN_SWEEP_STAGE names one stage to sweep alone (while working on it).
std::vector<Stage> Stages() {
    std::vector<Stage> stages = AllStages();
#ifdef TAVRIN_SWEEP_RELEASE_KEY
    // The key-built engine differs only in its release check (the signature); its model stage
    // takes the same path as the product's when the manifest names every model's digest.
    stages.erase(std::remove_if(stages.begin(), stages.end(),
                                [](const Stage& s) { return s.name != std::string("release"); }),
                 stages.end());
#endif
    const std::string only = testbed::Env("TAVRIN_SWEEP_STAGE");
    if (!only.empty()) {
        stages.erase(std::remove_if(stages.begin(), stages.end(), [&](const Stage& s) { return only != s.name; }),
                     stages.end());
    }
    return stages;
}

}  // namespace sweep
