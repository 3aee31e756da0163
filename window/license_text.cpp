#include "window/license_text.h"

#include "res/resource.h"

#include <climits>

const wchar_t* const LICENSE_FALLBACK_TEXT = L"(약관 본문을 불러오지 못했습니다)";

namespace {

// Units of output for n units of input: a CR may go before each unit, then the terminator.
size_t OutputCapacity(int units) {
    return 2 * static_cast<size_t>(units) + 2;
}

}  // namespace

HeapText ConvertLicenseText(const char* bytes, size_t size) {
    if (size >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF) {
        bytes += 3;
        size -= 3;
    }
    if (size == 0 || size > INT_MAX) return nullptr;
    const int byteCount = static_cast<int>(size);
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, nullptr, 0);
    if (units <= 0) return nullptr;

    HeapText output(static_cast<wchar_t*>(calloc(OutputCapacity(units), sizeof(wchar_t))));
    HeapText converted(static_cast<wchar_t*>(calloc(static_cast<size_t>(units) + 1, sizeof(wchar_t))));
    if (!output || !converted) return nullptr;
    MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, converted.get(), units);

    const wchar_t* in = converted.get();
    wchar_t* out = output.get();
    for (int i = 0; i < units; ++i) {
        if (in[i] == L'\n' && (i == 0 || in[i - 1] != L'\r')) *out++ = L'\r';
        *out++ = in[i];
    }
    *out = L'\0';
    return output;
}

void LoadLicenseText(HWND licenseEdit) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(IDR_LICENSE), RT_RCDATA);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const DWORD size = resource ? SizeofResource(module, resource) : 0;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;

    HeapText text = bytes && size ? ConvertLicenseText(bytes, size) : nullptr;
    SetWindowTextW(licenseEdit, text ? text.get() : LICENSE_FALLBACK_TEXT);
}
