// What the robustness tests share: whole install attempts run as the wizard starts them, each in
// a scratch folder of its own with USERPROFILE pointed into it (so models and the per-user data
// folder never reach the prefix's real profile), and the checks that tell how an attempt ended.
#pragma once

#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

// The five model names, in the order the model stage fetches them.
extern const std::vector<std::wstring> kModelNames;

// A scratch folder with "profile" (USERPROFILE while the scope lives) and the install folder
// "inst" inside it. Resets the install state and removes the shortcuts and the uninstall entry
// on entry and on exit (the binaries that use it hold the ctest lock "shell").
class AttemptScope {
public:
    explicit AttemptScope(const wchar_t* name);
    AttemptScope(const AttemptScope&) = delete;
    AttemptScope& operator=(const AttemptScope&) = delete;
    ~AttemptScope();

    const std::wstring& scratch() const { return scratch_; }
    const std::wstring& profile() const { return profile_; }
    const std::wstring& installDir() const { return installDir_; }
    std::wstring appFolder() const { return installDir_ + L"\\TavrinStudio"; }
    std::wstring modelFolder() const { return profile_ + L"\\.insightface\\models\\auraface"; }

    // Uses another install folder from now on (it need not lie in the scratch folder).
    void SetInstallDir(const std::wstring& installDir) { installDir_ = installDir; }

    // One attempt as the wizard starts it: installDir stored, cancel cleared, busy set; the
    // worker runs on its own thread while this one pumps. False when it did not end in time.
    bool Run(MessageTrace& trace, DWORD timeoutMs = 120000);

private:
    std::wstring scratch_;
    std::wstring profile_;
    std::wstring installDir_;
    std::wstring savedProfile_;
    bool hadProfile_ = false;
};

// Answers every message box owned by owner with the button buttonId while it lives (the
// same-version question comes up on the worker thread, owned by the trace window), and keeps the
// texts of the boxes it answered.
class BoxAnswerer {
public:
    BoxAnswerer(HWND owner, int buttonId);
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;
    ~BoxAnswerer();

    // Stops watching; afterwards texts() is final.
    void Stop();
    const std::vector<std::wstring>& texts() const { return texts_; }

private:
    static DWORD WINAPI Watch(LPVOID self);

    HWND owner_;
    int buttonId_;
    std::atomic<bool> stop_{false};
    std::vector<std::wstring> texts_;
    HANDLE thread_ = nullptr;
};

using testbed::FileExists;
using testbed::FolderEntries;
// The file's bytes, or "<missing>".
std::string ReadText(const std::wstring& path);

// The failure text of an attempt that ended in a failure exit: the status posted right before
// its one WM_SETUP_DONE 0, which is its last event. "<no failure exit>" for any other ending.
std::wstring FailureText(const std::vector<TraceEvent>& events);
// True when the attempt posted exactly one WM_SETUP_DONE, 1, as its last event.
bool Succeeded(const std::vector<TraceEvent>& events);
// True when the status was posted during the attempt.
bool Posted(const std::vector<TraceEvent>& events, const std::wstring& status);
