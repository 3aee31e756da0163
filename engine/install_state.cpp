#include "engine/install_state.h"

#include "engine/setup_log.h"

#include <cstdlib>
#include <cwchar>

const wchar_t* const DOWNLOAD_LABEL_PAYLOAD = L"본체";
const wchar_t* const DOWNLOAD_LABEL_MODELS = L"AI 모델";

InstallState installState;

namespace {

// A lost WM_SETUP_DONE would leave the wizard busy with no worker: its post is made again this
// often while the window lives (a full message queue drains as the window thread runs), for at
// most this long.
constexpr DWORD DONE_RETRY_INTERVAL_MS = 50;
constexpr ULONGLONG DONE_RETRY_LIMIT_MS = 30000;

// Guards subtitle only: the worker rewrites it once per attempt while the window may be painting.
SRWLOCK subtitleLock = SRWLOCK_INIT;

struct InitialState {
    InitialState() { ResetInstallState(); }
} initialState;

}  // namespace

namespace {

// Manual-reset: it stays set for every wait until the next attempt clears it. Made on first use
// by whichever thread comes first (a function-local static would pull the C++ runtime's guarded
// initialisation, and with it its exception support, into the program).
HANDLE cancelEvent = nullptr;

HANDLE CancelEvent() {
    if (HANDLE event = InterlockedCompareExchangePointer(&cancelEvent, nullptr, nullptr)) return event;
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!created) return nullptr;
    if (HANDLE earlier = InterlockedCompareExchangePointer(&cancelEvent, created, nullptr)) {
        CloseHandle(created);
        return earlier;
    }
    return created;
}

}  // namespace

void SignalCancelRequest() {
    installState.cancelRequested = true;
    if (CancelEvent()) SetEvent(CancelEvent());
}

void ClearCancelRequest() {
    installState.cancelRequested = false;
    if (CancelEvent()) ResetEvent(CancelEvent());
}

bool WaitForCancel(DWORD milliseconds) {
    if (installState.cancelRequested.load()) return true;
    // Without the event (it could not be made) the wait still ends, only not early.
    if (CancelEvent()) {
        WaitForSingleObject(CancelEvent(), milliseconds);
    } else {
        Sleep(milliseconds);
    }
    return installState.cancelRequested.load();
}

void ResetInstallState() {
    InstallState& s = installState;
    s.installDir[0] = L'\0';
    wcscpy_s(s.releaseVersion, L"-");
    s.releaseUrl[0] = L'\0';
    s.releaseSha256[0] = L'\0';
    for (auto& digest : s.modelSha256) digest[0] = L'\0';
    s.releaseSize = 0;
    for (auto& size : s.modelSize) size = 0;
    s.modelsMissing = 0;
    wcscpy_s(s.statusText, L"설치 폴더를 확인한 뒤 '설치'를 누르세요.");
    {
        AcquireSRWLockExclusive(&subtitleLock);
        wcscpy_s(s.subtitle, L"사진 선별 프로그램 설치");
        ReleaseSRWLockExclusive(&subtitleLock);
    }
    s.progress = PROGRESS_FAILED;
    s.downloadLabel = DOWNLOAD_LABEL_PAYLOAD;
    ClearCancelRequest();
    s.busy = false;
    s.finished = false;
    s.closeWhenDone = false;
    s.page = PAGE_LICENSE;
    s.mainWindow = nullptr;
    s.desktopShortcutBox = nullptr;
}

void SetSubtitle(const wchar_t* format, const wchar_t* version) {
    wchar_t text[SUBTITLE_CAPACITY] = {};
    _snwprintf_s(text, _TRUNCATE, format, version);
    AcquireSRWLockExclusive(&subtitleLock);
    wcscpy_s(installState.subtitle, text);
    ReleaseSRWLockExclusive(&subtitleLock);
}

void CopySubtitle(wchar_t* out, size_t capacity) {
    AcquireSRWLockShared(&subtitleLock);
    wcsncpy_s(out, capacity, installState.subtitle, _TRUNCATE);
    ReleaseSRWLockShared(&subtitleLock);
}

void PostStatus(const wchar_t* text) {
    wchar_t* copy = _wcsdup(text);
    if (!PostMessageW(installState.mainWindow, WM_SETUP_STATUS, 0, reinterpret_cast<LPARAM>(copy))) {
        // A lost status only delays a repaint: the next one, or WM_SETUP_DONE, brings the window up
        // to date.
        LogFailedCall(L"worker", L"PostMessageW WM_SETUP_STATUS", text, GetLastError());
        free(copy);  // never delivered, so nobody else will free it
    }
}

void PostProgress(int value) {
    if (!PostMessageW(installState.mainWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(value)),
                      0)) {
        LogFailedCall(L"worker", L"PostMessageW WM_SETUP_PROGRESS", nullptr, GetLastError());
    }
}

void PostDone(bool succeeded) {
    const ULONGLONG started = GetTickCount64();
    for (unsigned retry = 1;; ++retry) {
        if (PostMessageW(installState.mainWindow, WM_SETUP_DONE, succeeded ? 1 : 0, 0)) return;
        const DWORD error = GetLastError();
        // A window that is gone has nobody left to wait for the message.
        if (!IsWindow(installState.mainWindow) || GetTickCount64() - started >= DONE_RETRY_LIMIT_MS) {
            LogFailedCall(L"worker", L"PostMessageW WM_SETUP_DONE", nullptr, error);
            return;
        }
        LogRetry(L"worker", L"PostMessageW WM_SETUP_DONE", retry, error);
        Sleep(DONE_RETRY_INTERVAL_MS);
    }
}

void TakeStatusText(LPARAM heapText) {
    wchar_t* text = reinterpret_cast<wchar_t*>(heapText);
    if (!text) return;
    wcsncpy_s(installState.statusText, text, _TRUNCATE);
    free(text);
}
