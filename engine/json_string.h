// The manifest reader's one primitive.
#pragma once

#include <cstddef>

// Finds the first "key" (quoted) anywhere in text, then the next colon, then takes the text
// between the next two double quotes (no escape decoding) and converts it from UTF-8 into out.
// - text: NUL-terminated UTF-8; key: NUL-terminated ASCII.
// - capacity: units of out, terminator included.
// Returns true when at least one unit was stored. Key or value not found: out untouched, false.
// A key of more than 61 bytes (its quoted pattern would not fit 64 bytes) is never found.
// Value empty or longer than capacity - 1 units: out becomes "", false.
bool ReadJsonString(const char* text, const char* key, wchar_t* out, size_t capacity);

// True when the quoted key occurs anywhere in text: the first step of ReadJsonString, which
// tells a member that is absent from one that is there with a value that cannot be read.
// Same limits on text and key as ReadJsonString.
bool JsonKeyPresent(const char* text, const char* key);
