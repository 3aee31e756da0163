#include "tests/window/setup_driver.h"

#include "tests/support/testbed.h"
#include "window/setup_window.h"

#include <cwchar>

namespace {

// Names compare case-insensitively in a Windows environment; the map keeps them sorted, as
// CreateProcessW prefers.
struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindWizard(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && wcscmp(className, WIZARD_WINDOW_CLASS) == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindEdit(HWND parent, bool multiline) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Edit") != 0) continue;
        const bool isMultiline = (GetWindowLongW(child, GWL_STYLE) & ES_MULTILINE) != 0;
        if (isMultiline == multiline) return child;
    }
    return nullptr;
}

COLORREF FromPixel(uint32_t pixel) {
    return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

std::wstring ArtifactFolder() {
    const std::string binary = testbed::Env("TAVRIN_BINARY_DIR");
    std::wstring folder = binary.empty() ? L"." : testbed::FromUnixPath(binary);
    folder += L"\\artifacts";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\window";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

HWND FindWizardWindow(DWORD processId) {
    WindowSearch search{processId, nullptr};
    EnumWindows(FindWizard, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring SetupExePath() {
    return testbed::FromUnixPath(TAVRIN_SETUP_EXE);
}

RECT ChildRect(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SendNotifyMessageW(window, message, wParam, lParam);
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);
    }
}

COLORREF Capture::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
    return FromPixel(pixels[static_cast<size_t>(y) * width + x]);
}

int Capture::Count(const RECT& rect, COLORREF color) const {
    int count = 0;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x) {
            if (At(x, y) == color) ++count;
        }
    }
    return count;
}

bool Capture::All(const RECT& rect, COLORREF color) const {
    return Count(rect, color) == (rect.right - rect.left) * (rect.bottom - rect.top);
}

void Capture::Save(const wchar_t* name) const {
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = -height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    const DWORD dataSize = static_cast<DWORD>(pixels.size() * sizeof(uint32_t));
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + dataSize;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
    bytes.append(reinterpret_cast<const char*>(pixels.data()), dataSize);
    testbed::WriteFileBytes(ArtifactFolder() + L"\\" + name + L".bmp", bytes);
}

Capture CaptureClient(HWND window) {
    Capture capture;
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    capture.width = client.right;
    capture.height = client.bottom;
    capture.pixels.assign(static_cast<size_t>(capture.width) * capture.height, 0);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory && section && bits) {
        HGDIOBJ previous = SelectObject(memory, section);
        BitBlt(memory, 0, 0, capture.width, capture.height, screen, origin.x, origin.y, SRCCOPY);
        GdiFlush();
        memcpy(capture.pixels.data(), bits, capture.pixels.size() * sizeof(uint32_t));
        SelectObject(memory, previous);
    }
    if (section) DeleteObject(section);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    for (uint32_t& pixel : capture.pixels) pixel &= 0x00FFFFFF;
    return capture;
}

SetupProcess::SetupProcess(const std::vector<std::pair<std::wstring, std::wstring>>& environment,
                           const std::wstring& exe) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    testbed::EnvironmentChanges changes(environment.begin(), environment.end());
    std::vector<wchar_t> block = testbed::EnvironmentBlock(changes);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), nullptr, &startup, &info)) {
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    WaitUntil([&] {
        window_ = FindWizardWindow(processId_);
        return window_ != nullptr || !Running();
    }, 60000);
    // The first paint has been handled once a sent message comes back after it.
    if (window_) Deliver(window_, WM_NULL);
}

SetupProcess::~SetupProcess() {
    if (!process_) return;
    if (Running()) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
}

HWND SetupProcess::Control(int id) const { return GetDlgItem(window_, id); }
HWND SetupProcess::PathEdit() const { return FindEdit(window_, false); }
HWND SetupProcess::LicenseEdit() const { return FindEdit(window_, true); }

void SetupProcess::Command(int id) const {
    Deliver(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
}

void SetupProcess::Click(int id) const {
    Deliver(Control(id), BM_CLICK);
}

bool SetupProcess::IsChecked(int id) const {
    return SendMessageW(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool SetupProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) const {
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return false;
    if (exitCode) GetExitCodeProcess(process_, exitCode);
    return true;
}

bool SetupProcess::Running() const {
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}
