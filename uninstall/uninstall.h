// Uninstall mode: removes what an install made for the current user.
#pragma once

// Asks once (no owner window); on any answer but Yes returns at once, having touched nothing.
// On Yes deletes the app folder beside our own file first. If that folder is still there
// afterwards (files in use), or our own folder cannot be formed whole and absolute (so the app
// folder cannot be found), touches nothing else and says so in a warning box. Otherwise
// removes the two shortcuts, the uninstall entry, the model folder and the per-user data folder
// under %USERPROFILE%, says it is done, and once that box is dismissed starts the system folder's
// cmd.exe hidden, which deletes our own file and then its folder (only if empty) a few seconds
// later, after the process has ended. The entry's removal is the one other outcome examined:
// while the entry stays, our own file stays for it to run. A path that cannot be formed whole and
// absolute (USERPROFILE unset, relative or too long) is skipped, as is the hidden command when
// our path holds a '%' or a '!'. Main thread, COM initialised. Returns 0 always.
int RunUninstall();
