#include "engine/json_string.h"
bool ReadJsonString(const char*, const char*, wchar_t*, size_t) { return false; }
