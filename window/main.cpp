// TavrinSetup.exe: the setup program of Tavrin AI.
//
// Install mode (the default) opens a three-page wizard whose install worker fetches the release
// manifest, downloads and verifies the payload, extracts it with the system tar tool, registers
// shortcuts and a per-user uninstall entry and fetches the face-analysis models. Uninstall mode
// ("/uninstall", as the uninstall entry starts the setup copy) removes all of that after one
// question. Everything is per user; nothing asks for elevation. Only one copy runs per session,
// in either mode: a later one steps aside (single_instance.h).
#include <windows.h>
#include <objbase.h>

#include "engine/app_switch.h"
#include "engine/setup_log.h"
#include "uninstall/uninstall.h"
#include "window/command_line.h"
#include "window/setup_window.h"
#include "window/single_instance.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    // The main thread is a single-threaded apartment for the whole run (shell dialogs, links).
    CoInitialize(nullptr);
    int exitCode = 0;
    const bool uninstallMode = IsUninstallCommandLine(commandLine);
    // A copy that steps aside for a running one exits with 0, having touched nothing.
    if (TakeSetupInstance(uninstallMode)) {
        // Only the copy that goes on starts a log: one stepping aside must not set the running
        // copy's log aside.
        BeginSetupLog(uninstallMode ? L"uninstall" : L"install");
        // An update or uninstall that a kill interrupted is completed or undone first. The
        // uninstall does so on its own folder, and the install worker again on the folder it
        // installs into.
        if (!uninstallMode) RecoverRegisteredInstall();
        exitCode = uninstallMode ? RunUninstall() : RunSetupWizard(instance);
    }
    CoUninitialize();
    return exitCode;
}
