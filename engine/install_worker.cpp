#include "engine/install_worker.h"

#include "engine/extract.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/payload.h"
#include "engine/release_check.h"
#include "engine/shell_registration.h"
#include "engine/stage.h"

#include <objbase.h>

#include <cwchar>

namespace {

void TakeFailureExit(const wchar_t* errorText, const wchar_t* payloadPathToDelete) {
    PostStatus(errorText);
    if (payloadPathToDelete && payloadPathToDelete[0]) DeleteFileW(payloadPathToDelete);
    PostDone(false);
}

void TakeSkipExit() {
    installState.closeWhenDone = true;
    PostStatus(L"이미 최신 버전입니다. 설치를 건너뜁니다.");
    PostDone(false);
}

// Runs stages 1 to 4. Returns true when the attempt goes on to shell registration; otherwise an
// exit has been taken.
bool RunUntilExtracted(const wchar_t* payloadPath, wchar_t* errorText) {
    StageResult result = RunReleaseCheck(errorText);
    if (result == StageResult::Continue) result = DownloadPayload(payloadPath, errorText);
    if (result == StageResult::Continue) result = VerifyPayload(payloadPath, errorText);
    if (result == StageResult::Continue) result = PrepareAndExtract(payloadPath, errorText);
    switch (result) {
    case StageResult::Continue:
        return true;
    case StageResult::Skipped:
        TakeSkipExit();
        return false;
    case StageResult::Failed:
        TakeFailureExit(errorText, nullptr);
        return false;
    case StageResult::FailedDeletePayload:
        TakeFailureExit(errorText, payloadPath);
        return false;
    }
    return false;
}

}  // namespace

DWORD WINAPI InstallWorker(LPVOID) {
    // COM is initialised on the worker itself because stage 5 creates shell-link objects here; an
    // apartment of its own keeps the worker independent of the window thread's apartment.
    ComApartment apartment;
    static wchar_t errorText[WORKER_ERROR_CAPACITY];
    wmemset(errorText, L'\0', WORKER_ERROR_CAPACITY);

    wchar_t payloadPath[PATH_CAPACITY] = {};
    const bool havePayloadPath = GetPayloadPath(payloadPath);

    PostProgress(0);
    PostStatus(L"최신 버전 확인 중...");
    if (!havePayloadPath) {
        // Without a temporary folder there is nowhere to put the download.
        TakeFailureExit(L"임시 파일을 만들 수 없습니다", nullptr);
        return 0;
    }
    if (!RunUntilExtracted(payloadPath, errorText)) return 0;

    RegisterShell();
    ProvisionModels();
    ReportCompletion();
    return 0;
}
