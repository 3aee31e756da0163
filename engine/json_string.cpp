#include "engine/json_string.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace {

constexpr size_t PATTERN_CAPACITY = 64;  // bytes, terminator included

}  // namespace

bool ReadJsonString(const char* text, const char* key, wchar_t* out, size_t capacity) {
    if (!text || !key || !out) return false;

    // A key whose quoted form does not fit is never searched for in a cut form, which could
    // match another member.
    const size_t keyLength = std::strlen(key);
    const size_t patternLength = keyLength + 2;
    if (patternLength >= PATTERN_CAPACITY) return false;
    char pattern[PATTERN_CAPACITY] = {};
    pattern[0] = '"';
    std::memcpy(pattern + 1, key, keyLength);
    pattern[patternLength - 1] = '"';

    const char* keyAt = std::strstr(text, pattern);
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
