// Drives a real TavrinSetup.exe from outside, as a user and its worker would: starts the
// process, finds its wizard window and controls, sends commands and the worker's messages, and
// reads back control states and the client area's pixels.
#pragma once

#include "tests/support/message_box.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The TavrinSetup.exe of this build (Windows path).
std::wstring SetupExePath();

// The visible wizard window of the process processId; null when it has none (yet).
HWND FindWizardWindow(DWORD processId);

// The child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);

// Sends a message without waiting for it to be handled, then waits until the window's thread
// has handled it (a WM_NULL sent afterwards comes back). Also returns when the handler opens a
// modal box, whose loop handles the WM_NULL, or when the window is gone.
void Deliver(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// Polls condition every 50 ms until it holds or timeoutMs pass. Returns its last value.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// One capture of a window's client area, 0x00RRGGBB per pixel, top-down rows.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;

    COLORREF At(int x, int y) const;
    // Pixels in rect (right and bottom exclusive) whose colour is exactly color.
    int Count(const RECT& rect, COLORREF color) const;
    // True when every pixel in rect is exactly color.
    bool All(const RECT& rect, COLORREF color) const;
    // Writes a 32-bit BMP into the build's artifacts folder (artifacts/window/<name>.bmp).
    void Save(const wchar_t* name) const;
};

// Copies the window's client area as shown on the display.
Capture CaptureClient(HWND window);

class SetupProcess {
public:
    // Starts exe with the test's environment plus the given variables (name, value), and waits
    // for its wizard window. Check Window() for success.
    explicit SetupProcess(const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                          const std::wstring& exe = SetupExePath());
    SetupProcess(const SetupProcess&) = delete;
    SetupProcess& operator=(const SetupProcess&) = delete;
    // Ends the process when it is still running.
    ~SetupProcess();

    HWND Window() const { return window_; }
    DWORD ProcessId() const { return processId_; }
    // A child control by id (IDC_*), or the edits: PathEdit (single line), LicenseEdit.
    HWND Control(int id) const;
    HWND PathEdit() const;
    HWND LicenseEdit() const;

    // WM_COMMAND with the id, as a pressed button sends it.
    void Command(int id) const;
    // BM_CLICK on the control: a check box toggles itself and notifies the window.
    void Click(int id) const;
    bool IsChecked(int id) const;

    // Waits until the process has ended; false on timeout. exitCode may be null.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr) const;
    bool Running() const;

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND window_ = nullptr;
};
