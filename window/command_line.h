// The program's only command-line switch.
#pragma once

// True when commandLine (may be null) contains "/uninstall" anywhere, case-sensitively: inside a
// longer word too, as the uninstall entry's command passes it after the quoted program path.
bool IsUninstallCommandLine(const wchar_t* commandLine);
