// The licence agreement shown on the first page: the IDR_LICENSE resource (UTF-8, LF line
// ends) turned into text a multi-line edit control displays line by line.
#pragma once

#include <windows.h>

#include "engine/owned.h"

#include <cstddef>

// A heap text from calloc/malloc, released with free.
using HeapText = HeapBlock<wchar_t>;

// Shown when the resource cannot be found or converted.
extern const wchar_t* const LICENSE_FALLBACK_TEXT;  // "(약관 본문을 불러오지 못했습니다)"

// Converts size bytes of UTF-8 into NUL-terminated UTF-16: a leading byte-order mark is
// skipped, and every LF not already preceded by a CR gets one, so CR LF pairs stay single line
// breaks. Invalid UTF-8 becomes U+FFFD. Returns null when there is no text (size 0, only a
// byte-order mark) or memory runs out.
HeapText ConvertLicenseText(const char* bytes, size_t size);

// Sets the licence text into the edit control: the converted IDR_LICENSE (RT_RCDATA) resource
// of this program's module, or LICENSE_FALLBACK_TEXT when that fails.
void LoadLicenseText(HWND licenseEdit);
