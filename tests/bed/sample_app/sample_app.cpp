// A stand-in for the real Tavrin AI application, for the demo and the end-to-end tests.
// It records that it started and in which working folder (in the application's per-user data
// folder, %USERPROFILE%\.tavrin_ai\started.txt, one line per start), then shows a small window
// that closes itself after a few seconds.
#include "engine/layout.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kShowMilliseconds = 4000;
wchar_t workingFolder[MAX_PATH];

void RecordStart() {
    wchar_t profile[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t folder[MAX_PATH] = {};
    if (_snwprintf_s(folder, _TRUNCATE, L"%ls\\%ls", profile, USER_DATA_FOLDER_NAME) < 0) return;
    CreateDirectoryW(folder, nullptr);
    wchar_t record[MAX_PATH] = {};
    if (_snwprintf_s(record, _TRUNCATE, L"%ls\\started.txt", folder) < 0) return;
    HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[MAX_PATH * 3 + 2] = {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, workingFolder, -1, line, MAX_PATH * 3, nullptr, nullptr);
    if (bytes > 0) {
        line[bytes - 1] = '\n';
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(bytes), &written, nullptr);
    }
    CloseHandle(file);
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        DestroyWindow(window);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        wchar_t text[MAX_PATH + 64] = {};
        _snwprintf_s(text, _TRUNCATE, L"Tavrin AI (sample) started in\r\n%ls", workingFolder);
        DrawTextW(dc, text, -1, &client, DT_CENTER | DT_WORDBREAK);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    GetCurrentDirectoryW(MAX_PATH, workingFolder);
    RecordStart();
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"TavrinSampleApp";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"TavrinSampleApp", L"Tavrin AI", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 420, 160, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    SetTimer(window, kCloseTimer, kShowMilliseconds, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
