#include "tests/support/message_box.h"

#include <algorithm>

namespace {

constexpr int kTextControlId = 0xFFFF;  // the static text of a system message box

bool IsMessageBoxWindow(HWND window) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    return wcscmp(className, L"#32770") == 0 && IsWindowVisible(window);
}

std::wstring TextOf(HWND window) {
    // WM_GETTEXT is marshalled across processes for standard controls.
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
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
        return 0xFFFFFFFF;  // an icon, but not one we know
    }
    return 0;
}

}  // namespace

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
    const LRESULT defaultId = SendMessageW(box, DM_GETDEFID, 0, 0);
    if (HIWORD(defaultId) == DC_HASDEFID) info.defaultButton = LOWORD(defaultId);
    info.icon = IconStyle(box);
    return info;
}

std::optional<MessageBoxInfo> WaitForMessageBox(HWND owner, DWORD processId, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        Search search{owner, processId, nullptr, 0};
        EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            // Give the box a moment to finish laying out its controls.
            Sleep(100);
            return ReadMessageBox(search.found);
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
    HWND focus = GetDlgItem(box, static_cast<int>(LOWORD(SendMessageW(box, DM_GETDEFID, 0, 0))));
    HWND target = focus ? focus : box;
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

int CountMessageBoxes(DWORD processId) {
    Search search{nullptr, processId, nullptr, 0};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.count;
}
