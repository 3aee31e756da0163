#include "engine/install_worker.h"

#include "engine/extract.h"
#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/models.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/payload.h"
#include "engine/app_switch.h"
#include "engine/release_check.h"
#include "engine/setup_log.h"
#include "engine/shell_registration.h"
#include "engine/stage.h"

#include <objbase.h>

#include <cwchar>

namespace {

constexpr wchar_t SKIP_TEXT[] = L"이미 최신 버전입니다. 설치를 건너뜁니다.";

void TakeFailureExit(const wchar_t* errorText, const wchar_t* payloadPathToDelete) {
    LogFinalText(L"install", errorText);
    PostStatus(errorText);
    if (payloadPathToDelete && payloadPathToDelete[0] && !DeleteFileW(payloadPathToDelete)) {
        LogFailedCall(L"install", L"DeleteFileW", payloadPathToDelete, GetLastError());
    }
    PostDone(false);
}

void TakeSkipExit() {
    installState.closeWhenDone = true;
    LogFinalText(L"install", SKIP_TEXT);
    PostStatus(SKIP_TEXT);
    PostDone(false);
}

const wchar_t* ResultName(StageResult result) {
    switch (result) {
    case StageResult::Continue: return L"ok";
    case StageResult::Skipped: return L"skipped";
    case StageResult::Failed:
    case StageResult::FailedDeletePayload: return L"failed";
    }
    return L"?";
}

// Runs one stage between its start and end lines in the log.
template <typename Stage>
StageResult Timed(const wchar_t* name, Stage stage) {
    const ULONGLONG started = LogStageStart(name);
    const StageResult result = stage();
    LogStageEnd(name, started, ResultName(result));
    return result;
}

// Runs stages 1 to 4. Returns true when the attempt goes on to shell registration; otherwise an
// exit has been taken.
bool RunUntilExtracted(const wchar_t* payloadPath, wchar_t* errorText) {
    StageResult result = Timed(L"release check", [&] { return RunReleaseCheck(errorText); });
    if (result == StageResult::Continue) {
        result = Timed(L"payload download", [&] { return DownloadPayload(payloadPath, errorText); });
    }
    if (result == StageResult::Continue) {
        result = Timed(L"verification", [&] { return VerifyPayload(payloadPath, errorText); });
    }
    if (result == StageResult::Continue) {
        result = Timed(L"extraction", [&] { return PrepareAndExtract(payloadPath, errorText); });
    }
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

    LogEventAbout(L"install", L"start, install folder", installState.installDir, nullptr);
    // Before the release check reads the installed version: a switch a kill interrupted is
    // completed or undone in the folder this run installs into.
    RecoverInterruptedSwitch(installState.installDir);
    PostProgress(0);
    PostStatus(L"최신 버전 확인 중...");
    if (!havePayloadPath) {
        // Without a temporary folder there is nowhere to put the download.
        TakeFailureExit(L"임시 파일을 만들 수 없습니다", nullptr);
        return 0;
    }
    if (!RunUntilExtracted(payloadPath, errorText)) return 0;

    Timed(L"shell registration", [] { RegisterShell(); return StageResult::Continue; });
    Timed(L"models", [] { ProvisionModels(); return StageResult::Continue; });
    ReportCompletion();
    return 0;
}
