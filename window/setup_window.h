// Install mode: the wizard window and its message loop.
#pragma once

#include <windows.h>

// Loads the logo, sets the default install folder, creates and shows the wizard window and runs
// the message loop until the window is destroyed; then deletes the logo. Main thread, COM
// initialised by the caller. Returns the process exit code (0).
int RunSetupWizard(HINSTANCE instance);
