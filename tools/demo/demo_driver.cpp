// Runs TavrinSetup.exe for the demo and keeps a picture of its finished page.
//
//   demo_driver auto  SETUP_EXE SCREENSHOT.bmp   clicks through the wizard like a user (licence,
//                                                default folder, "설치 후 바로 실행" cleared),
//                                                captures the finished page, then presses "실행"
//   demo_driver watch SETUP_EXE SCREENSHOT.bmp   a person clicks; the finished page is captured
//                                                if it stays on screen
// Prints "install folder: <path>" once known. Exit code 0 when the install finished.
#include "window/setup_window.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int IDC_NEXT = 1001;
constexpr int IDC_RUN_AFTER = 1005;
constexpr int IDC_AGREE = 1007;

// A visible top-level window of one process with one class name.
struct Search {
    DWORD processId;
    const wchar_t* className;
    HWND window;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && wcscmp(className, search->className) == 0 && IsWindowVisible(window)) {
        search->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindTopLevel(DWORD processId, const wchar_t* className) {
    Search search{processId, className, nullptr};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.window;
}

std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

void PrintUtf8(const char* label, const std::wstring& text) {
    char bytes[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, sizeof bytes - 1, nullptr, nullptr);
    std::printf("%s%s\n", label, bytes);
    std::fflush(stdout);
}

HWND FindEditChild(HWND parent) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Edit") == 0 && !(GetWindowLongW(child, GWL_STYLE) & ES_MULTILINE)) return child;
    }
    return nullptr;
}

bool SaveClientBitmap(HWND window, const wchar_t* path) {
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right, height = client.bottom;
    HDC screen = GetDC(window);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    const DWORD imageBytes = static_cast<DWORD>(width) * height * 4;
    header.bfSize = header.bfOffBits + imageBytes;
    bool saved = false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        saved = WriteFile(file, &header, sizeof header, &written, nullptr) &&
                WriteFile(file, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
                WriteFile(file, bits, imageBytes, &written, nullptr);
        CloseHandle(file);
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, screen);
    return saved;
}

void Click(HWND window, int id) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

bool IsChecked(HWND window, int id) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(window, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
    return result == BST_CHECKED;
}

void SetChecked(HWND window, int id, bool checked) {
    if (IsChecked(window, id) != checked) {
        SendMessageTimeoutW(GetDlgItem(window, id), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || (wcscmp(argv[1], L"auto") != 0 && wcscmp(argv[1], L"watch") != 0)) {
        std::fprintf(stderr, "usage: demo_driver auto|watch SETUP_EXE SCREENSHOT.bmp\n");
        return 2;
    }
    const bool automatic = wcscmp(argv[1], L"auto") == 0;
    std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "demo_driver: cannot start the setup program (%lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);

    HWND wizard = nullptr;
    for (int i = 0; i < 600 && !wizard; ++i) {
        wizard = FindTopLevel(process.dwProcessId, WIZARD_WINDOW_CLASS);
        if (!wizard) Sleep(100);
    }
    if (!wizard) {
        std::fprintf(stderr, "demo_driver: the wizard window did not appear\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    if (HWND pathEdit = FindEditChild(wizard)) PrintUtf8("install folder: ", TextOf(pathEdit));

    if (automatic) {
        Sleep(1000);  // let a watching person see the licence page
        SetChecked(wizard, IDC_AGREE, true);
        Click(wizard, IDC_NEXT);
        Sleep(1000);
        SetChecked(wizard, IDC_RUN_AFTER, false);
        Click(wizard, IDC_NEXT);
    }

    bool captured = false;
    int result = 1;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
        HWND box = FindTopLevel(process.dwProcessId, L"#32770");
        if (box && automatic) {
            HWND text = GetDlgItem(box, 0xFFFF);
            PrintUtf8("the setup program says: ", text ? TextOf(text) : TextOf(box));
            TerminateProcess(process.hProcess, 1);
            break;
        }
        if (!captured && IsWindow(wizard) && TextOf(GetDlgItem(wizard, IDC_NEXT)) == L"실행") {
            Sleep(500);  // the last repaint of the finished page
            captured = SaveClientBitmap(wizard, argv[3]);
            result = 0;
            if (automatic) {
                Sleep(1500);
                Click(wizard, IDC_NEXT);  // "실행": start the installed application
            }
        }
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    if (!automatic && exitCode == 0) result = 0;
    std::printf("finished page captured: %s\n", captured ? "yes" : "no");
    return result;
}
