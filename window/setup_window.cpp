// The wizard window: one fixed-size top-level window of class "TavrinSetupWnd" whose client
// area is painted entirely by paint.cpp, with nine classic child controls placed by
// controls.cpp and driven by the controller in wizard.cpp. The install worker reports to it by
// posted messages only; the window never waits for the worker.
#include "window/setup_window.h"

#include "engine/install_state.h"
#include "engine/layout.h"
#include "engine/owned.h"
#include "res/resource.h"
#include "window/controls.h"
#include "window/paint.h"
#include "window/theme.h"
#include "window/wizard.h"

#include <shlobj.h>
#include <shlwapi.h>

HBITMAP logoBitmap;
int logoWidth;
int logoHeight;

namespace {

const wchar_t* const WINDOW_TITLE = L"Tavrin AI 설치";
// Fixed size: no sizing frame, no maximise box.
constexpr DWORD WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int CLIENT_WIDTH = 600;
constexpr int CLIENT_HEIGHT = 520;

// Local application data joined with "TavrinAI". When the folder cannot be found the field
// stays empty and the user has to type a folder before installing.
void SetDefaultInstallDir() {
    wchar_t localAppData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData)) ||
        !PathCombineW(installState.installDir, localAppData, INSTALL_FOLDER_NAME)) {
        installState.installDir[0] = L'\0';
    }
}

void RegisterWizardClass(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SetupWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // No background brush: every paint covers the whole client area.
    windowClass.lpszClassName = WIZARD_WINDOW_CLASS;
    RegisterClassW(&windowClass);
}

// Created hidden, centred on the full primary screen (not the work area, not clamped).
HWND CreateWizardWindow(HINSTANCE instance) {
    RECT frame{0, 0, CLIENT_WIDTH, CLIENT_HEIGHT};
    AdjustWindowRect(&frame, WINDOW_STYLE, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return CreateWindowExW(0, WIZARD_WINDOW_CLASS, WINDOW_TITLE, WINDOW_STYLE, x, y, width, height, nullptr, nullptr,
                           instance, nullptr);
}

void RunMessageLoop(HWND window) {
    MSG message;
    // GetMessageW answers -1 on an error; that ends the loop too rather than spinning.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (PreTranslateWizardMessage(window, message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool IsEscapeKey(const MSG& message) {
    const bool key = message.message == WM_KEYDOWN || message.message == WM_KEYUP || message.message == WM_CHAR;
    return key && message.wParam == VK_ESCAPE;  // the character of Esc has the key's code, 27
}

LRESULT OnCreate(HWND window) {
    installState.mainWindow = window;
    ApplyDarkFrame(window);
    CreateThemeFonts();
    CreateWizardControls(window);
    ShowWizardPage(PAGE_LICENSE);
    return 0;
}

}  // namespace

void LoadLogo(HINSTANCE instance) {
    logoBitmap = LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_LOGO));
    if (!logoBitmap) return;
    BITMAP info{};
    if (GetObjectW(logoBitmap, sizeof info, &info)) {
        logoWidth = info.bmWidth;
        logoHeight = info.bmHeight;
    }
}

int RunSetupWizard(HINSTANCE instance) {
    LoadLogo(instance);
    OwnedGdiObject logo(logoBitmap);
    SetDefaultInstallDir();
    RegisterWizardClass(instance);
    HWND window = CreateWizardWindow(instance);
    if (window) {
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
        RunMessageLoop(window);
    }
    logoBitmap = nullptr;  // the owner deletes it on return
    return 0;
}

bool PreTranslateWizardMessage(HWND window, MSG& message) {
    if (message.hwnd && message.hwnd == controls.licenseEdit && IsEscapeKey(message)) return true;
    return IsDialogMessageW(window, &message) != FALSE;
}

LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        HandleWizardClose(window);
        return 0;
    case WM_COMMAND:
        HandleWizardCommand(window, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_SETUP_STATUS:
        HandleStatusMessage(window, lParam);
        return 0;
    case WM_SETUP_PROGRESS:
        HandleProgressMessage(window, wParam);
        return 0;
    case WM_SETUP_DONE:
        HandleDoneMessage(window, wParam);
        return 0;
    case WM_PAINT:
        PaintWizard(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the paint covers everything; erasing would only flicker
    case WM_DRAWITEM:
        DrawWizardButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_TIMER:
        OnMarqueeTick(window);
        return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<LRESULT>(ColorControl(message, reinterpret_cast<HDC>(wParam)));
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
