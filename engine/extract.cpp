#include "engine/extract.h"
bool ExtractArchive(const wchar_t*, const wchar_t*) { return false; }
StageResult PrepareAndExtract(const wchar_t*, wchar_t*) { return StageResult::Failed; }
