// Captures what the install engine posts to the window: a real top-level window on the test's
// thread stands in for the wizard, becomes installState.mainWindow, and records every
// WM_SETUP_STATUS / WM_SETUP_PROGRESS / WM_SETUP_DONE in order (freeing the status copies as the
// wizard does). It also owns a check box that stands in for the desktop-shortcut box.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct TraceEvent {
    enum Kind { Status, Progress, Done } kind;
    std::wstring text;  // Status
    long long value;    // Progress (sign-extended wParam), Done (wParam)

    bool operator==(const TraceEvent&) const = default;
};

TraceEvent StatusEvent(const std::wstring& text);
TraceEvent ProgressEvent(long long value);
TraceEvent DoneEvent(long long value);

class MessageTrace {
public:
    // Creates the window (hidden) and the check box (checked), and points installState at them.
    MessageTrace();
    MessageTrace(const MessageTrace&) = delete;
    MessageTrace& operator=(const MessageTrace&) = delete;
    ~MessageTrace();

    HWND window() const { return window_; }
    void SetDesktopBoxChecked(bool checked);

    // Runs work on a new thread while this thread pumps messages: ::RunOnThread (thread_run.h).
    bool RunOnThread(const std::function<void()>& work, DWORD timeoutMs = 120000);
    // Starts InstallWorker on its own thread and pumps until it ends (WM_SETUP_DONE is its last post).
    bool RunWorker(DWORD timeoutMs = 120000);

    // Called on the pumping thread for every recorded event, after it is recorded (may be empty).
    std::function<void(const TraceEvent&)> onEvent;

    const std::vector<TraceEvent>& events() const { return events_; }
    // Events without the per-chunk download reports: progress values other than 0, -2 and 1000
    // and status lines containing "내려받는 중  " are dropped, each with the progress value posted
    // right before it. The worker's own posts remain.
    std::vector<TraceEvent> StageEvents() const;
    // Only the status texts, in order.
    std::vector<std::wstring> StatusTexts() const;
    // One line per event, for failure messages.
    std::string Describe() const;
    std::string Describe(const std::vector<TraceEvent>& events) const;

    void Record(UINT message, WPARAM wParam, LPARAM lParam);

private:
    HWND window_ = nullptr;
    HWND checkBox_ = nullptr;
    std::vector<TraceEvent> events_;
};

// UTF-16 to UTF-8, for readable assertion messages.
std::string Narrow(const std::wstring& text);
