#include "tools/tar/entry_path.h"

#include <windows.h>

#include <string_view>

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::wstring Decode(const std::string& stored, bool utf8Flag) {
    if (stored.empty()) return {};
    int size = static_cast<int>(stored.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, stored.data(), size, nullptr, 0);
    UINT codePage = CP_UTF8;
    DWORD conversionFlags = MB_ERR_INVALID_CHARS;
    if (length == 0) {
        // Old archivers wrote names in the OEM code page without saying so.
        codePage = utf8Flag ? CP_UTF8 : CP_OEMCP;
        conversionFlags = 0;
        length = MultiByteToWideChar(codePage, conversionFlags, stored.data(), size, nullptr, 0);
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, conversionFlags, stored.data(), size, text.data(), length);
    return text;
}

// Skips what makes a name absolute, as bsdtar does: "//./", "//?/" and "//?/UNC/" prefixes,
// drive letters, and leading runs of separators with "." and ".." directly after them.
size_t AbsolutePrefixLength(std::wstring_view name) {
    size_t at = 0;
    auto is = [&](size_t i, wchar_t c) { return at + i < name.size() && name[at + i] == c; };
    auto separator = [&](size_t i) { return at + i < name.size() && IsSeparator(name[at + i]); };
    auto upper = [&](size_t i) { return at + i < name.size() ? towupper(name[at + i]) : L'\0'; };
    if (separator(0) && separator(1) && (is(2, L'.') || is(2, L'?')) && separator(3)) {
        bool unc = is(2, L'?') && upper(4) == L'U' && upper(5) == L'N' && upper(6) == L'C' && separator(7);
        at += unc ? 8 : 4;
    }
    for (size_t before = SIZE_MAX; before != at;) {
        before = at;
        wchar_t letter = upper(0);
        if (letter >= L'A' && letter <= L'Z' && is(1, L':')) at += 2;
        while (separator(0)) {
            if (is(1, L'.') && is(2, L'.') && separator(3)) at += 3;
            else if (is(1, L'.') && separator(2)) at += 2;
            else at += 1;
        }
    }
    return at;
}

void ReplaceForbidden(std::wstring& component) {
    for (wchar_t& c : component) {
        if (c < 0x20 || std::wstring_view(L":*?\"<>|").find(c) != std::wstring_view::npos) c = L'_';
    }
}

}  // namespace

PathVerdict MakeEntryPath(const std::string& stored, bool utf8Flag, std::wstring& relative, bool& stripped) {
    std::wstring name = Decode(stored, utf8Flag);
    size_t start = AbsolutePrefixLength(name);
    stripped = start > 0;
    relative.clear();
    for (size_t at = start; at < name.size();) {
        size_t end = at;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        std::wstring component = name.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == L".") continue;
        if (component == L"..") return PathVerdict::refuse;
        ReplaceForbidden(component);
        if (!relative.empty()) relative += L'\\';
        relative += component;
    }
    return relative.empty() ? PathVerdict::skip : PathVerdict::use;
}
