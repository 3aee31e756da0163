#include "engine/shell_registration.h"
void CreateShortcut(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) {}
void RegisterShell() {}
