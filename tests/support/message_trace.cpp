#include "tests/support/message_trace.h"

#include "engine/install_state.h"
#include "engine/install_worker.h"
#include "tests/support/thread_run.h"

#include <cstdlib>

namespace {

constexpr wchar_t kClassName[] = L"TavrinTraceWnd";

LRESULT CALLBACK TraceWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETUP_STATUS || message == WM_SETUP_PROGRESS || message == WM_SETUP_DONE) {
        auto* trace = reinterpret_cast<MessageTrace*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (trace) {
            trace->Record(message, wParam, lParam);
        } else if (message == WM_SETUP_STATUS) {
            free(reinterpret_cast<void*>(lParam));
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterTraceClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = TraceWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    registered = true;
}

}  // namespace

TraceEvent StatusEvent(const std::wstring& text) { return {TraceEvent::Status, text, 0}; }
TraceEvent ProgressEvent(long long value) { return {TraceEvent::Progress, L"", value}; }
TraceEvent DoneEvent(long long value) { return {TraceEvent::Done, L"", value}; }

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

MessageTrace::MessageTrace() {
    RegisterTraceClass();
    window_ = CreateWindowExW(0, kClassName, L"trace", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    checkBox_ = CreateWindowExW(0, L"BUTTON", L"desktop", WS_CHILD | BS_AUTOCHECKBOX, 0, 0, 100, 20, window_,
                                nullptr, nullptr, nullptr);
    SendMessageW(checkBox_, BM_SETCHECK, BST_CHECKED, 0);
    installState.mainWindow = window_;
    installState.desktopShortcutBox = checkBox_;
}

MessageTrace::~MessageTrace() {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    PumpMessages();  // frees status copies still queued
    DestroyWindow(window_);
    installState.mainWindow = nullptr;
    installState.desktopShortcutBox = nullptr;
}

void MessageTrace::SetDesktopBoxChecked(bool checked) {
    SendMessageW(checkBox_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void MessageTrace::Record(UINT message, WPARAM wParam, LPARAM lParam) {
    TraceEvent event{};
    if (message == WM_SETUP_STATUS) {
        auto* text = reinterpret_cast<wchar_t*>(lParam);
        event = StatusEvent(text ? text : L"<null>");
        free(text);
    } else if (message == WM_SETUP_PROGRESS) {
        event = ProgressEvent(static_cast<long long>(static_cast<INT_PTR>(wParam)));
    } else {
        event = DoneEvent(static_cast<long long>(wParam));
    }
    events_.push_back(event);
    if (onEvent) onEvent(events_.back());
}

bool MessageTrace::RunOnThread(const std::function<void()>& work, DWORD timeoutMs) {
    return ::RunOnThread(work, timeoutMs);
}

bool MessageTrace::RunWorker(DWORD timeoutMs) {
    return RunOnThread([] { InstallWorker(nullptr); }, timeoutMs);
}

std::vector<TraceEvent> MessageTrace::StageEvents() const {
    std::vector<TraceEvent> out;
    for (const TraceEvent& event : events_) {
        if (event.kind == TraceEvent::Progress && event.value != 0 && event.value != PROGRESS_MARQUEE &&
            event.value != PROGRESS_COMPLETE) {
            continue;
        }
        if (event.kind == TraceEvent::Status && event.text.find(L"내려받는 중  ") != std::wstring::npos) {
            // A report's progress is posted right before its line; a small download reports 1000
            // (or 0) there, which would otherwise pass for a stage's own post.
            if (!out.empty() && out.back().kind == TraceEvent::Progress && out.back().value >= 0) out.pop_back();
            continue;
        }
        out.push_back(event);
    }
    return out;
}

std::vector<std::wstring> MessageTrace::StatusTexts() const {
    std::vector<std::wstring> out;
    for (const TraceEvent& event : events_) {
        if (event.kind == TraceEvent::Status) out.push_back(event.text);
    }
    return out;
}

std::string MessageTrace::Describe() const { return Describe(events_); }

std::string MessageTrace::Describe(const std::vector<TraceEvent>& events) const {
    std::string out;
    for (const TraceEvent& event : events) {
        switch (event.kind) {
        case TraceEvent::Status: out += "  status \"" + Narrow(event.text) + "\"\n"; break;
        case TraceEvent::Progress: out += "  progress " + std::to_string(event.value) + "\n"; break;
        case TraceEvent::Done: out += "  done " + std::to_string(event.value) + "\n"; break;
        }
    }
    return out;
}
