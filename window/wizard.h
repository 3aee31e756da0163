// The wizard controller: pages, commands, the install attempt and the worker's reports.
// Everything runs on the window thread, inside SetupWndProc.
#pragma once

#include <windows.h>

// Sets installState.page (PAGE_LICENSE, PAGE_LOCATION or PAGE_PROGRESS), shows that page's
// controls and hides the others, sets the caption and enabled state of IDC_NEXT for the first
// two pages, puts "취소" on IDC_CANCEL and invalidates the whole window with erase.
void ShowWizardPage(int page);

// WM_COMMAND with the control id (low word of wParam) and the notification code (high word).
// BN_DOUBLECLICKED is ignored: the click before it has already counted as the press. IDC_NEXT
// on the location page starts an attempt only for a folder that IsAbsolutePath accepts; an empty
// or relative one gets a warning box and the page stays.
void HandleWizardCommand(HWND window, int controlId, int notification);

// WM_CLOSE: while an attempt runs only sets cancelRequested; otherwise destroys the window.
void HandleWizardClose(HWND window);

// WM_SETUP_STATUS: takes ownership of the _wcsdup'ed text in lParam (may be 0), stores it as
// the status and repaints without erase.
void HandleStatusMessage(HWND window, LPARAM heapText);

// WM_SETUP_PROGRESS: the low 32 bits of wParam, signed, become the progress; repaint.
void HandleProgressMessage(HWND window, WPARAM value);

// WM_SETUP_DONE: ends the attempt. wParam 1 shows the finished page (and launches the
// application at once when "설치 후 바로 실행" is ticked); 0 repaints the progress page without a
// bar, then shows the status text in a warning box and returns to the location page for a
// retry. When the worker took the skip exit the window is destroyed without a box.
void HandleDoneMessage(HWND window, WPARAM succeeded);
