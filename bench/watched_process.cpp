#include "bench/watched_process.h"

#include "bench/bench_clock.h"

#include <cwchar>

namespace {

constexpr DWORD POLL_MS = 1;
constexpr DWORD DELIVER_TIMEOUT_MS = 30000;

// The visible top-level window of the class that belongs to the process, or null. Asks by class
// first: one request to the server, where a walk over all windows would make many while the
// program being timed makes its own.
HWND FindVisibleWindow(DWORD processId, const wchar_t* className) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window)) return window;
    }
    return nullptr;
}

BOOL CALLBACK FindChildToPaint(HWND child, LPARAM parameter) {
    if (IsWindowVisible(child) && GetUpdateRect(child, nullptr, FALSE)) {
        *reinterpret_cast<bool*>(parameter) = true;
        return FALSE;
    }
    return TRUE;
}

// No update region on the window or any visible descendant. GetUpdateRect with bErase FALSE
// only asks the server; it sends nothing to the window.
bool NothingToPaint(HWND window) {
    if (GetUpdateRect(window, nullptr, FALSE)) return false;
    bool pending = false;
    EnumChildWindows(window, FindChildToPaint, reinterpret_cast<LPARAM>(&pending));
    return !pending;
}

}  // namespace

WatchedProcess::WatchedProcess(const std::wstring& exe) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    startCounter_ = CounterNow();
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
}

WatchedProcess::~WatchedProcess() {
    if (!process_) return;
    Close(10000);
    CloseHandle(process_);
}

int64_t WatchedProcess::WaitForFirstPaint(const wchar_t* className, DWORD timeoutMs) {
    if (!process_) return -1;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (WaitForSingleObject(process_, 0) != WAIT_TIMEOUT) return -1;
        if (!window_) window_ = FindVisibleWindow(processId_, className);
        if (window_ && NothingToPaint(window_)) {
            DWORD_PTR result = 0;
            const bool answered =
                SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, DELIVER_TIMEOUT_MS, &result) != 0;
            const int64_t now = CounterNow();
            if (answered && NothingToPaint(window_)) return now;
        }
        Sleep(POLL_MS);
    }
    return -1;
}

int64_t WatchedProcess::WaitUntilShown(POINT clientPoint, COLORREF color, DWORD timeoutMs) const {
    if (!window_ || !ClientToScreen(window_, &clientPoint)) return -1;
    HDC screen = GetDC(nullptr);
    if (!screen) return -1;
    int64_t shown = -1;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (GetPixel(screen, clientPoint.x, clientPoint.y) == color) {
            shown = CounterNow();
            break;
        }
        Sleep(POLL_MS);
    }
    ReleaseDC(nullptr, screen);
    return shown;
}

bool WatchedProcess::Memory(PROCESS_MEMORY_COUNTERS& counters) const {
    counters = {};
    counters.cb = sizeof counters;
    return process_ && GetProcessMemoryInfo(process_, &counters, sizeof counters);
}

bool WatchedProcess::Close(DWORD timeoutMs) {
    if (!process_) return false;
    if (WaitForSingleObject(process_, 0) != WAIT_TIMEOUT) return true;
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (window_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0) return true;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
    return false;
}

void Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SendNotifyMessageW(window, message, wParam, lParam);
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, DELIVER_TIMEOUT_MS, &result);
}

