#include "tests/support/message_box.h"

#include <algorithm>

namespace {

constexpr int kTextControlId = 0xFFFF;  // the static text of a system message box

bool IsMessageBoxWindow(HWND window) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    return wcscmp(className, L"#32770") == 0 && IsWindowVisible(window);
}

struct Search {
    HWND owner;
    DWORD processId;
    HWND found;
    int count;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (!IsMessageBoxWindow(window)) return TRUE;
    if (search->owner && GetWindow(window, GW_OWNER) != search->owner) return TRUE;
    if (search->processId) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (processId != search->processId) return TRUE;
    }
    ++search->count;
    if (!search->found) search->found = window;
    return TRUE;
}

// A screen-compatible bitmap selected into a memory DC, read back as 0x00RRGGBB pixels.
class Canvas {
public:
    Canvas(int width, int height)
        : width_(width), height_(height), screen_(GetDC(nullptr)), memory_(CreateCompatibleDC(screen_)),
          bitmap_(CreateCompatibleBitmap(screen_, width, height)), previous_(SelectObject(memory_, bitmap_)) {}
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas() {
        SelectObject(memory_, previous_);
        DeleteObject(bitmap_);
        DeleteDC(memory_);
        ReleaseDC(nullptr, screen_);
    }
    HDC dc() const { return memory_; }
    HDC screen() const { return screen_; }
    std::vector<DWORD> Pixels() const {
        std::vector<DWORD> pixels(static_cast<size_t>(width_) * height_);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        SelectObject(memory_, previous_);
        GetDIBits(memory_, bitmap_, 0, static_cast<UINT>(height_), pixels.data(), &info, DIB_RGB_COLORS);
        SelectObject(memory_, bitmap_);
        for (DWORD& pixel : pixels) pixel &= 0x00FFFFFF;
        return pixels;
    }

private:
    int width_;
    int height_;
    HDC screen_;
    HDC memory_;
    HBITMAP bitmap_;
    HGDIOBJ previous_;
};

// The control's client area as it is on the screen.
std::vector<DWORD> CaptureControl(HWND control, int width, int height) {
    POINT origin = {0, 0};
    ClientToScreen(control, &origin);
    Canvas canvas(width, height);
    BitBlt(canvas.dc(), 0, 0, width, height, canvas.screen(), origin.x, origin.y, SRCCOPY);
    return canvas.Pixels();
}

// icon drawn over the control's size, as a static control draws it, on the background 0x00RRGGBB.
std::vector<DWORD> RenderIcon(HICON icon, int width, int height, DWORD background) {
    Canvas canvas(width, height);
    HBRUSH brush = CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
    RECT all = {0, 0, width, height};
    FillRect(canvas.dc(), &all, brush);
    DeleteObject(brush);
    DrawIconEx(canvas.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    return canvas.Pixels();
}

// An icon of another process has a handle of its own (under Wine), so it is told by its pixels:
// the control's image on the screen against each system icon drawn the same way. 0xFFFFFFFF when
// none matches.
UINT IconStyleByPixels(HWND control) {
    RECT client = {};
    GetClientRect(control, &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return 0xFFFFFFFF;
    struct { LPCWSTR id; UINT style; } const known[] = {
        {IDI_QUESTION, MB_ICONQUESTION}, {IDI_WARNING, MB_ICONWARNING},
        {IDI_INFORMATION, MB_ICONINFORMATION}, {IDI_ERROR, MB_ICONERROR}};
    // The box may not have painted its icon yet when it is first found.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::vector<DWORD> shown = CaptureControl(control, width, height);
        // The corners of the system icons are transparent: the top-left pixel is the background.
        const DWORD background = shown[0];
        for (const auto& k : known) {
            const std::vector<DWORD> drawn = RenderIcon(LoadIconW(nullptr, k.id), width, height, background);
            size_t same = 0;
            for (size_t i = 0; i < shown.size(); ++i) same += shown[i] == drawn[i];
            if (same * 100 >= shown.size() * 98) return k.style;
        }
        Sleep(50);
    }
    return 0xFFFFFFFF;
}

UINT IconStyle(HWND box) {
    // The icon control of a message box holds one of the shared system icons.
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Static") != 0) continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
        const HICON icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        if (!icon) continue;
        struct { LPCWSTR id; UINT style; } const known[] = {
            {IDI_QUESTION, MB_ICONQUESTION}, {IDI_WARNING, MB_ICONWARNING},
            {IDI_INFORMATION, MB_ICONINFORMATION}, {IDI_ERROR, MB_ICONERROR}};
        for (const auto& k : known) {
            if (LoadIconW(nullptr, k.id) == icon) return k.style;
        }
        return IconStyleByPixels(child);
    }
    return 0;
}

}  // namespace

std::wstring TextOf(HWND window) {
    // WM_GETTEXT is marshalled across processes for standard controls.
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

UINT MessageBoxInfo::Style() const {
    auto has = [&](int id) { return std::find(buttons.begin(), buttons.end(), id) != buttons.end(); };
    UINT style = 0;
    if (has(IDYES) && has(IDNO)) {
        style = has(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    } else if (has(IDOK) && has(IDCANCEL)) {
        style = MB_OKCANCEL;
    } else if (has(IDRETRY) && has(IDCANCEL)) {
        style = MB_RETRYCANCEL;
    } else {
        style = MB_OK;
    }
    if (icon != 0xFFFFFFFF) style |= icon;
    const auto position = std::find(buttons.begin(), buttons.end(), defaultButton);
    if (position != buttons.end()) {
        style |= static_cast<UINT>(position - buttons.begin()) * MB_DEFBUTTON2;
    }
    return style;
}

MessageBoxInfo ReadMessageBox(HWND box) {
    MessageBoxInfo info;
    info.box = box;
    info.owner = GetWindow(box, GW_OWNER);
    info.caption = TextOf(box);
    if (HWND text = GetDlgItem(box, kTextControlId)) info.text = TextOf(text);
    // Buttons in the order the system lays them out (left to right), which is the MB_DEFBUTTONn order.
    std::vector<std::pair<LONG, int>> buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Button") != 0 || !IsWindowVisible(child)) continue;
        RECT rect = {};
        GetWindowRect(child, &rect);
        buttons.push_back({rect.left, GetDlgCtrlID(child)});
    }
    std::sort(buttons.begin(), buttons.end());
    for (const auto& button : buttons) info.buttons.push_back(button.second);
    // The default push button carries BS_DEFPUSHBUTTON. (DM_GETDEFID is no help: under Wine it
    // names the box template's hidden OK button.)
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(child) &&
            (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            info.defaultButton = GetDlgCtrlID(child);
        }
    }
    info.icon = IconStyle(box);
    return info;
}

std::optional<MessageBoxInfo> WaitForMessageBox(HWND owner, DWORD processId, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        Search search{owner, processId, nullptr, 0};
        EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            // The icon is recognised from the box's pixels, so give the box time to lay out its
            // controls and paint; a busy machine may need more than one look.
            MessageBoxInfo info;
            for (int attempt = 0; attempt < 20; ++attempt) {
                Sleep(100);
                info = ReadMessageBox(search.found);
                if (info.icon != 0 && info.icon != 0xFFFFFFFF) break;
            }
            return info;
        }
        // Keep this thread's own windows responsive while waiting.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return std::nullopt;
}

void AnswerMessageBox(HWND box, int buttonId) {
    HWND button = GetDlgItem(box, buttonId);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void PressEnterIn(HWND box) {
    // Keyboard input goes to the box's focused control; the box's dialog loop turns Enter into
    // its default button.
    HWND focus = GetDlgItem(box, ReadMessageBox(box).defaultButton);
    HWND target = focus ? focus : box;
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

int CountMessageBoxes(DWORD processId) {
    Search search{nullptr, processId, nullptr, 0};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.count;
}

BoxAnswerer::BoxAnswerer(HWND owner, int buttonId) : owner_(owner), buttonId_(buttonId) {
    thread_ = OwnedKernelHandle(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
}

void BoxAnswerer::Stop() {
    stop_ = true;
    if (thread_) WaitForSingleObject(thread_.get(), 10000);
    thread_.reset();
}

DWORD WINAPI BoxAnswerer::Watch(LPVOID parameter) {
    auto* self = static_cast<BoxAnswerer*>(parameter);
    HWND answered = nullptr;
    while (!self->stop_) {
        const std::optional<MessageBoxInfo> box = WaitForMessageBox(self->owner_, 0, 100);
        // A box just answered may still be found while it closes.
        if (!box || box->box == answered) continue;
        answered = box->box;
        self->boxes_.push_back(*box);
        if (self->buttonId_ == PRESS_ENTER) {
            PressEnterIn(box->box);
        } else {
            AnswerMessageBox(box->box, self->buttonId_);
        }
    }
    return 0;
}
