// What tests of whole install attempts share: attempts run as the wizard starts them, each in
// a scratch folder of its own with USERPROFILE pointed into it (so models and the per-user data
// folder never reach the prefix's real profile), and the checks that tell how an attempt ended.
#pragma once

#include "tests/support/installed_paths.h"
#include "tests/support/message_box.h"
#include "tests/support/message_trace.h"
#include "tests/support/testbed.h"
#include "tests/support/user_profile.h"

#include <windows.h>

#include <functional>
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
    std::wstring appFolder() const { return AppFolderIn(installDir_); }
    std::wstring modelFolder() const { return ModelFolderIn(profile_); }

    // Uses another install folder from now on (it need not lie in the scratch folder).
    void SetInstallDir(const std::wstring& installDir) { installDir_ = installDir; }

    // One attempt as the wizard starts it: installDir stored, cancel cleared, busy set; the
    // worker runs on its own thread while this one pumps. False when it did not end in time.
    bool Run(MessageTrace& trace, DWORD timeoutMs = 120000);
    // The same start, with work run on the worker's thread in place of the plain worker (work
    // that arms an interposer there, then calls InstallWorker or a stage).
    bool RunOnWorkerThread(MessageTrace& trace, const std::function<void()>& work, DWORD timeoutMs = 120000);

private:
    std::wstring scratch_;
    std::wstring profile_;
    std::wstring installDir_;
    UserProfileSwap profileSwap_;

    void Start() const;  // as the wizard does before it starts the worker
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
