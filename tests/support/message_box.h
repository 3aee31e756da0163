// Finds, reads and answers message boxes from outside their thread, as a user would: the box of
// the same-version question (owned by the test's window), the wizard's failure box and the
// uninstaller's boxes (in another process).
#pragma once

#include <windows.h>

#include "engine/owned.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

// Text of a window or standard control, also of another process.
std::wstring TextOf(HWND window);

struct MessageBoxInfo {
    HWND box = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // ids of the push buttons present (IDOK, IDYES, IDNO, ...)
    int defaultButton = 0;     // id of the default push button
    UINT icon = 0;             // MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION, MB_ICONERROR or 0
    // The MB_* style the box was evidently made with: buttons | icon | default button.
    UINT Style() const;
};

// Waits for a visible message box (dialog class "#32770") that is owned by owner (when owner is
// not null) or belongs to the process processId (when it is not 0). nullopt after timeoutMs.
std::optional<MessageBoxInfo> WaitForMessageBox(HWND owner, DWORD processId, DWORD timeoutMs);

// Reads a box found by other means.
MessageBoxInfo ReadMessageBox(HWND box);

// Presses the button with that id (a click, posted).
void AnswerMessageBox(HWND box, int buttonId);
// Presses Enter in the box, which chooses its default button.
void PressEnterIn(HWND box);

// Counts the visible message boxes of a process right now.
int CountMessageBoxes(DWORD processId);

// Answers every message box owned by owner from a thread of its own while it lives, as a user
// would: reads the box, keeps what it read, and presses the button buttonId, or Enter (which
// takes the box's default button) for PRESS_ENTER. The same-version question comes up on the
// worker thread, owned by the test's window, while the test's thread pumps messages.
class BoxAnswerer {
public:
    static constexpr int PRESS_ENTER = 0;

    BoxAnswerer(HWND owner, int buttonId);
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;
    ~BoxAnswerer() { Stop(); }

    // Stops watching; afterwards boxes() is final.
    void Stop();
    // The boxes answered, in the order they came.
    const std::vector<MessageBoxInfo>& boxes() const { return boxes_; }

private:
    static DWORD WINAPI Watch(LPVOID self);

    HWND owner_;
    int buttonId_;
    std::atomic<bool> stop_{false};
    std::vector<MessageBoxInfo> boxes_;
    OwnedKernelHandle thread_;
};
