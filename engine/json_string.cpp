#include "engine/json_string.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t PATTERN_CAPACITY = 64;  // bytes, terminator included

// The first occurrence of the quoted key in text, and the quoted key's length; nullptr when
// there is none.
const char* FindQuotedKey(const char* text, const char* key, size_t& patternLength) {
    // A key whose quoted form does not fit is never searched for in a cut form, which could
    // match another member.
    char pattern[PATTERN_CAPACITY] = {};
    const int length = std::snprintf(pattern, sizeof pattern, "\"%s\"", key);
    if (length < 0 || static_cast<size_t>(length) >= sizeof pattern) return nullptr;
    patternLength = static_cast<size_t>(length);
    return std::strstr(text, pattern);
}

}  // namespace

bool JsonKeyPresent(const char* text, const char* key) {
    size_t patternLength = 0;
    return text && key && FindQuotedKey(text, key, patternLength);
}

bool ReadJsonString(const char* text, const char* key, wchar_t* out, size_t capacity) {
    if (!text || !key || !out) return false;

    size_t patternLength = 0;
    const char* keyAt = FindQuotedKey(text, key, patternLength);
    if (!keyAt) return false;
    const char* colon = std::strchr(keyAt + patternLength, ':');
    if (!colon) return false;
    const char* opening = std::strchr(colon, '"');
    if (!opening) return false;
    const char* value = opening + 1;
    const char* closing = std::strchr(value, '"');
    if (!closing) return false;

    if (capacity == 0) return false;  // not even room for the terminator
    int converted = 0;
    const size_t valueBytes = static_cast<size_t>(closing - value);
    // With room 0 MultiByteToWideChar would only measure, so a capacity of 1 stores nothing.
    const size_t room = capacity - 1;
    if (valueBytes > 0 && valueBytes <= INT_MAX && room > 0) {
        const int roomUnits = room > INT_MAX ? INT_MAX : static_cast<int>(room);
        converted = MultiByteToWideChar(CP_UTF8, 0, value, static_cast<int>(valueBytes), out, roomUnits);
    }
    out[converted] = L'\0';
    return converted > 0;
}
