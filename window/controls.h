// The wizard window's child controls: their ids and the handles the window thread keeps.
#pragma once

#include <windows.h>

constexpr int IDC_NEXT = 1001;              // primary button: "다음", "설치", "다시 시도" or "실행"
constexpr int IDC_CANCEL = 1002;            // "취소", or "닫기" on the finished page
constexpr int IDC_BROWSE = 1003;            // "찾아보기": the folder dialog
constexpr int IDC_DESKTOP_SHORTCUT = 1004;  // check box read by the worker (BM_GETCHECK)
constexpr int IDC_RUN_AFTER = 1005;         // check box: start the application after success
constexpr int IDC_BACK = 1006;              // "뒤로": location page back to the licence page
constexpr int IDC_AGREE = 1007;             // check box: the licence is accepted

// The marquee repaint timer of the main window: id 1, 40 ms, runs exactly while busy.
constexpr UINT_PTR IDT_MARQUEE = 1;
constexpr UINT MARQUEE_PERIOD_MS = 40;

// Handles of the child controls, set once in WM_CREATE and valid while the window lives. The
// desktop-shortcut check box is kept in installState.desktopShortcutBox because the worker
// queries it. Window thread only.
struct WizardControls {
    HWND pathEdit;     // install folder text, no control id
    HWND browse;       // IDC_BROWSE
    HWND runAfter;     // IDC_RUN_AFTER
    HWND cancel;       // IDC_CANCEL
    HWND next;         // IDC_NEXT
    HWND back;         // IDC_BACK
    HWND licenseEdit;  // read-only licence text, no control id
    HWND agree;        // IDC_AGREE
};

extern WizardControls controls;

// WM_CREATE step 4 to 6: creates the nine controls as children of window, in their fixed order
// and places (from the client size), with bodyFont where they take one and their initial check
// states, and loads the licence text into the licence view between controls 8 and 9. Sets
// controls and installState.desktopShortcutBox. The theme fonts must exist.
void CreateWizardControls(HWND window);

// True when the check box answers BM_GETCHECK with BST_CHECKED.
bool IsChecked(HWND checkBox);
