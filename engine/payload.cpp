#include "engine/payload.h"
StageResult DownloadPayload(const wchar_t*, wchar_t*) { return StageResult::Failed; }
StageResult VerifyPayload(const wchar_t*, wchar_t*) { return StageResult::Continue; }
bool HashFileSha256(const wchar_t*, wchar_t*, size_t) { return false; }
