// Install mode: the wizard window, its class, its window procedure and its message loop.
#pragma once

#include <windows.h>

// The wizard window's class; another copy of the program, the tests and the demo find the running
// wizard by it.
inline constexpr wchar_t WIZARD_WINDOW_CLASS[] = L"TavrinSetupWnd";

// The logo from IDB_LOGO, drawn in the header; null when the resource could not be loaded.
// Owned by RunSetupWizard, which deletes it after the message loop. Window thread only.
extern HBITMAP logoBitmap;
extern int logoWidth;   // pixels, from the loaded bitmap
extern int logoHeight;  // pixels, from the loaded bitmap

// Loads IDB_LOGO of instance into logoBitmap, logoWidth and logoHeight; logoBitmap stays null
// (and the sizes untouched) when the resource cannot be loaded. The caller owns the bitmap.
void LoadLogo(HINSTANCE instance);

// Loads the logo, sets the default install folder, creates and shows the wizard window and runs
// the message loop until the window is destroyed; then deletes the logo. Main thread, COM
// initialised by the caller. Returns the process exit code (0), also when the window could not
// be created.
int RunSetupWizard(HINSTANCE instance);

// What the message loop does with a queued message before it would dispatch it: the
// dialog-style keys of the child controls (Tab, the arrows; Esc and Enter become commands the
// wizard ignores). Esc meant for the licence text is dropped: a multiline edit answers it by
// closing its parent, and Esc never closes the wizard or cancels an attempt. True when the
// message is handled and must not be dispatched. Window thread.
bool PreTranslateWizardMessage(HWND window, MSG& message);

// The procedure of the WIZARD_WINDOW_CLASS class: creation and destruction here, commands, close
// and the worker's messages to the wizard controller, drawing to the painting code.
LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
