// The hidden command interpreter that the uninstaller leaves behind to remove the setup copy,
// caught while its delay runs and held suspended until Release(): it then goes on exactly as if
// the uninstaller's final box had been dismissed at once, however slowly the test answers it.
#pragma once

#include "engine/owned.h"

#include <vector>

// The uninstaller's cmd.exe child (the self-removal command), which outlives it; 0 when none.
DWORD FindSelfRemovalCommand(DWORD uninstallerId);

class HeldSelfRemoval {
public:
    HeldSelfRemoval() = default;
    HeldSelfRemoval(const HeldSelfRemoval&) = delete;
    HeldSelfRemoval& operator=(const HeldSelfRemoval&) = delete;
    ~HeldSelfRemoval() { Release(); }

    // Watches the uninstaller's children until its final box shows; the command is started
    // before that box, so one not caught by then was never started.
    void Catch(DWORD uninstallerId);
    bool Caught() const { return static_cast<bool>(process_); }
    // Lets the command run on.
    void Release();
    // True when the command ran to its end within timeoutMs.
    bool WaitForEnd(DWORD timeoutMs) const;

private:
    void Hold(DWORD processId);

    OwnedKernelHandle process_;
    std::vector<OwnedKernelHandle> threads_;
};
