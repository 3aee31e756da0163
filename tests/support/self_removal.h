// The hidden command interpreter that the uninstaller starts, as its last act, to delete the
// setup copy and then the install folder once the uninstaller has ended. Its delay of about two
// seconds keeps it running well after the uninstaller's exit, so it is looked for then.
#pragma once

#include "engine/owned.h"

// The uninstaller's cmd.exe child (the self-removal command), which outlives it; 0 when none.
DWORD FindSelfRemovalCommand(DWORD uninstallerId);

class SelfRemovalCommand {
public:
    // Looks for the command of the uninstaller that has just ended. Close every handle to the
    // uninstaller first: under Wine such a handle keeps its image file open, which would stop del.
    explicit SelfRemovalCommand(DWORD uninstallerId);
    SelfRemovalCommand(const SelfRemovalCommand&) = delete;
    SelfRemovalCommand& operator=(const SelfRemovalCommand&) = delete;

    bool Found() const { return static_cast<bool>(process_); }
    // True when the command ran to its end within timeoutMs.
    bool WaitForEnd(DWORD timeoutMs) const;

private:
    OwnedKernelHandle process_;
};
