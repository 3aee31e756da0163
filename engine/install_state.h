// The one process-wide record that the window thread and the install worker share, the worker's
// messages to the window, and the helpers the worker posts them with.
//
// Threads: the window thread writes installDir (only while idle), page, busy, finished,
// statusText, progress and cancelRequested. The worker writes releaseVersion, releaseUrl,
// releaseSha256, modelSha256, downloadLabel, subtitle (through SetSubtitle) and closeWhenDone.
#pragma once

#include "engine/layout.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr UINT WM_SETUP_STATUS = WM_APP + 1;    // lParam: _wcsdup'ed text, receiver frees it (may be 0)
constexpr UINT WM_SETUP_PROGRESS = WM_APP + 2;  // wParam: progress value, sign-extended
constexpr UINT WM_SETUP_DONE = WM_APP + 3;      // wParam: 1 success, 0 failure or skip

constexpr int PROGRESS_COMPLETE = 1000;
constexpr int PROGRESS_FAILED = -1;
constexpr int PROGRESS_MARQUEE = -2;

constexpr int PAGE_LICENSE = 0;
constexpr int PAGE_LOCATION = 1;
constexpr int PAGE_PROGRESS = 2;

// Capacities in UTF-16 units, terminator included.
constexpr size_t INSTALL_DIR_CAPACITY = 260;
constexpr size_t RELEASE_VERSION_CAPACITY = 32;
constexpr size_t RELEASE_URL_CAPACITY = 2048;
constexpr size_t RELEASE_SHA256_CAPACITY = 80;
constexpr size_t STATUS_TEXT_CAPACITY = 256;
constexpr size_t SUBTITLE_CAPACITY = 96;

extern const wchar_t* const DOWNLOAD_LABEL_PAYLOAD;  // "본체"
extern const wchar_t* const DOWNLOAD_LABEL_MODELS;   // "AI 모델"

struct InstallState {
    wchar_t installDir[INSTALL_DIR_CAPACITY];
    wchar_t releaseVersion[RELEASE_VERSION_CAPACITY];
    wchar_t releaseUrl[RELEASE_URL_CAPACITY];
    wchar_t releaseSha256[RELEASE_SHA256_CAPACITY];
    // Each model's digest from the manifest, in MODEL_NAMES order: empty when the manifest names
    // none; one that cannot be read is kept as a text that never matches a digest.
    wchar_t modelSha256[MODEL_COUNT][RELEASE_SHA256_CAPACITY];
    // The sizes the manifest publishes (the payload's, each model's): 0 where it names none.
    uint64_t releaseSize;
    uint64_t modelSize[MODEL_COUNT];
    // Models the model stage left missing, for the finished page.
    int modelsMissing;
    wchar_t statusText[STATUS_TEXT_CAPACITY];
    // Written by the worker while the window may paint it: use SetSubtitle / CopySubtitle.
    wchar_t subtitle[SUBTITLE_CAPACITY];
    int progress;
    const wchar_t* downloadLabel;
    // Written by the window thread, polled by the worker inside downloads and the model loop.
    std::atomic<bool> cancelRequested;
    bool busy;
    bool finished;
    // Written by the worker before it posts WM_SETUP_DONE, read by the window on that message.
    std::atomic<bool> closeWhenDone;
    int page;
    HWND mainWindow;
    HWND desktopShortcutBox;
};

extern InstallState installState;

// Puts every field back to its initial value (the program's start; tests between cases).
void ResetInstallState();

// Formats the subtitle under the hand-over lock; the window sees it from its next repaint.
void SetSubtitle(const wchar_t* format, const wchar_t* version);
// Copies the current subtitle into out (capacity in units, terminator included).
void CopySubtitle(wchar_t* out, size_t capacity);

// Post to installState.mainWindow. The status text is copied with _wcsdup; when that copy cannot
// be made the message carries 0 and the window keeps its last text. A status or progress whose
// post fails is logged and lost (the next one repaints). PostDone never waits for the window to
// handle its message, but a post that fails is made again every 50 ms while the window exists,
// for at most 30 s, each retry logged: without it the wizard would stay busy for good.
void PostStatus(const wchar_t* text);

// A cancel request: sets cancelRequested and wakes a worker that waits in WaitForCancel. The
// window thread; ClearCancelRequest before an attempt starts (ResetInstallState clears it too).
void SignalCancelRequest();
void ClearCancelRequest();
// Waits up to milliseconds for a cancel request, woken at once by one; true when there is one.
// A request made by setting cancelRequested alone is seen when the time is up.
bool WaitForCancel(DWORD milliseconds);
void PostProgress(int value);
void PostDone(bool succeeded);

// Stores the text a WM_SETUP_STATUS carries into installState.statusText and frees it. A missing
// text leaves statusText as it was; a longer one is cut to 255 units. Window thread only.
void TakeStatusText(LPARAM heapText);
