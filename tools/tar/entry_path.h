// Turning a stored entry name into a path below the target folder, with the rules of bsdtar:
// a leading drive letter and leading slashes are removed, a ".." component refuses the entry.
#pragma once

#include <string>

enum class PathVerdict {
    use,     // `relative` is a safe path below the target folder
    skip,    // nothing is left of the name (such as "./" or "/"); skip silently
    refuse,  // the name climbs out with ".."; skip the entry and fail the run
};

// Decodes `stored` (UTF-8, or the OEM code page when `utf8Flag` is clear and the bytes are not
// valid UTF-8) and writes the cleaned path to `relative`: components joined by '\\', no empty,
// "." or ".." component, no leading or trailing separator, and the characters Windows does not
// allow in names (controls and :*?"<>|) replaced by '_'. `stripped` is set when an absolute
// prefix was removed.
PathVerdict MakeEntryPath(const std::string& stored, bool utf8Flag, std::wstring& relative, bool& stripped);
