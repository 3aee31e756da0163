// Uninstall mode: removes what an install made for the current user.
#pragma once

// Asks once (no owner window); on any answer but Yes returns at once, having touched nothing.
// On Yes removes the two shortcuts, the uninstall entry, the app folder beside our own file, the
// model folder and the per-user data folder under %USERPROFILE%, and starts a hidden command that
// deletes our own file and then its folder (only if empty) a few seconds later, after the process
// has ended; then says it is done. No outcome is examined. A path that cannot be formed whole and
// absolute (own path too long, USERPROFILE unset, relative or too long) is skipped, as is the
// hidden command when our path holds a '%'. Main thread, COM initialised. Returns 0 always.
int RunUninstall();
