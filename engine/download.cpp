#include "engine/download.h"
bool DownloadToFile(const wchar_t*, const wchar_t*, wchar_t*, size_t) { return false; }
