#include "window/controls.h"

#include "engine/install_state.h"
#include "window/license_text.h"
#include "window/theme.h"

WizardControls controls;

namespace {

// What one child control is made of; the font is given when the control takes one.
struct ChildControl {
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height;
    int id;
    HFONT font;
};

HWND Create(HWND parent, const ChildControl& control) {
    // The id travels in the menu argument; system classes need no instance handle.
    HWND created = CreateWindowExW(0, control.className, control.text, control.style, control.x, control.y,
                                   control.width, control.height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), nullptr, nullptr);
    if (control.font) SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(control.font), TRUE);
    return created;
}

HWND CreateChecked(HWND parent, const ChildControl& control) {
    HWND box = Create(parent, control);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    return box;
}

}  // namespace

void CreateWizardControls(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right;
    const int h = client.bottom;
    constexpr DWORD child = WS_CHILD;
    constexpr DWORD shown = WS_CHILD | WS_VISIBLE;

    controls.pathEdit = Create(window, {L"EDIT", installState.installDir, shown | ES_AUTOHSCROLL,
                                        46, 146, w - 176, 20, 0, bodyFont});
    controls.browse = Create(window, {L"BUTTON", L"찾아보기", shown | BS_OWNERDRAW,
                                      w - 116, 141, 80, 28, IDC_BROWSE, nullptr});
    installState.desktopShortcutBox = CreateChecked(window, {L"BUTTON", L"바탕화면 바로가기 만들기",
                                                             shown | BS_AUTOCHECKBOX, 36, 184, 220, 20,
                                                             IDC_DESKTOP_SHORTCUT, bodyFont});
    controls.runAfter = CreateChecked(window, {L"BUTTON", L"설치 후 바로 실행", shown | BS_AUTOCHECKBOX,
                                               36, 206, 220, 20, IDC_RUN_AFTER, bodyFont});
    controls.cancel = Create(window, {L"BUTTON", L"취소", shown | BS_OWNERDRAW,
                                      w - 238, h - 60, 96, 34, IDC_CANCEL, nullptr});
    controls.next = Create(window, {L"BUTTON", L"다음", shown | BS_OWNERDRAW,
                                    w - 132, h - 60, 96, 34, IDC_NEXT, nullptr});
    controls.back = Create(window, {L"BUTTON", L"뒤로", child | BS_OWNERDRAW,
                                    36, h - 60, 96, 34, IDC_BACK, nullptr});
    controls.licenseEdit = Create(window, {L"EDIT", L"",
                                           child | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                                           36, 122, w - 72, h - 232, 0, bodyFont});
    LoadLicenseText(controls.licenseEdit);
    controls.agree = Create(window, {L"BUTTON", L"위 사용권 계약에 동의합니다", child | BS_AUTOCHECKBOX,
                                     36, h - 96, 300, 20, IDC_AGREE, bodyFont});
}

bool IsChecked(HWND checkBox) {
    return SendMessageW(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
}
