#include "window/command_line.h"

#include <cwchar>

bool IsUninstallCommandLine(const wchar_t* commandLine) {
    return commandLine && wcsstr(commandLine, L"/uninstall") != nullptr;
}
