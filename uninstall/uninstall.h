// Uninstall mode: removes what an install made for the current user.
#pragma once

// Asks once, then removes the shortcuts, the uninstall entry, the app folder, the model folder
// and the per-user data folder, and starts a hidden command that deletes the program's own file
// and its folder after the process has ended. Main thread, COM initialised. Returns 0 always.
int RunUninstall();
