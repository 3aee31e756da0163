#include "engine/release_check.h"
StageResult RunReleaseCheck(wchar_t*) { return StageResult::Failed; }
void ReadInstalledVersion(const wchar_t*, wchar_t* out, size_t) { out[0] = L'\0'; }
