// tavrin_bare_window.exe: the start-up figure's contender. The least a Win32 program does to show
// a window of the wizard's size: registers a class, creates a 600 x 520 (client) window with the
// wizard's frame style, centred as the wizard is, paints it once with the wizard's background
// colour, and runs a message loop until the window is closed. No COM, no resources, no
// controls, no fonts.
#include <windows.h>

namespace {

constexpr wchar_t WINDOW_CLASS[] = L"TavrinBareWindow";
constexpr DWORD WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int CLIENT_WIDTH = 600;
constexpr int CLIENT_HEIGHT = 520;
constexpr COLORREF BACKGROUND = RGB(22, 24, 26);

LRESULT CALLBACK BareWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HBRUSH brush = CreateSolidBrush(BACKGROUND);
        FillRect(dc, &paint.rcPaint, brush);
        DeleteObject(brush);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;  // the paint covers everything
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = BareWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&windowClass);

    RECT frame{0, 0, CLIENT_WIDTH, CLIENT_HEIGHT};
    AdjustWindowRect(&frame, WINDOW_STYLE, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    HWND window = CreateWindowExW(0, WINDOW_CLASS, L"Bare window", WINDOW_STYLE,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
