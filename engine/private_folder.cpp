#include "engine/private_folder.h"

#include "engine/layout.h"
#include "engine/owned.h"
#include "engine/paths.h"
#include "engine/setup_log.h"

#include <sddl.h>
#include <shlobj.h>

#include <cwchar>

namespace {

constexpr wchar_t LOG_STAGE[] = L"extraction";
constexpr size_t SDDL_CAPACITY = 512;

// Memory the security functions allocate with LocalAlloc.
struct LocalTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { LocalFree(p); }
};
using OwnedLocal = Owned<LocalTraits>;

// The running user's SID as text ("S-1-5-21-..."), in memory the caller frees.
bool GetUserSidText(OwnedLocal& text) {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    const OwnedKernelHandle token(rawToken);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return false;
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sidText)) return false;
    *text.put() = sidText;
    return true;
}

// "D:P" protects the list from the parent's; OICI passes each entry on to every file and folder
// below. FA: full access.
bool MakePrivateDescriptor(OwnedLocal& descriptor) {
    OwnedLocal sid;
    if (!GetUserSidText(sid)) return false;
    wchar_t sddl[SDDL_CAPACITY];
    if (_snwprintf_s(sddl, _TRUNCATE, L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                     static_cast<const wchar_t*>(sid.get())) <= 0) {
        return false;
    }
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, nullptr)) return false;
    *descriptor.put() = made;
    return true;
}

// True when path lies in the user's profile (or is it), compared without case.
bool InsideProfile(const wchar_t* path) {
    wchar_t profile[PATH_CAPACITY];
    if (!GetUserProfile(profile)) return false;
    const size_t length = wcslen(profile);
    if (length == 0) return false;
    return _wcsnicmp(path, profile, length) == 0 && (path[length] == L'\0' || path[length] == L'\\');
}

}  // namespace

bool CreatePrivateFolder(const wchar_t* path) {
    OwnedLocal descriptor;
    if (!MakePrivateDescriptor(descriptor)) {
        LogFailedCall(LOG_STAGE, L"private access list", path, GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.get(), FALSE};
    return CreateDirectoryW(path, &security) != FALSE;
}

bool CreateInstallFolder(const wchar_t* installDir) {
    if (PathExists(installDir)) return true;
    OwnedLocal descriptor;
    const bool privateList = !InsideProfile(installDir);
    if (privateList && !MakePrivateDescriptor(descriptor)) {
        LogFailedCall(LOG_STAGE, L"private access list", installDir, GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.get(), FALSE};
    const int created = SHCreateDirectoryExW(nullptr, installDir, privateList ? &security : nullptr);
    if (created == ERROR_SUCCESS || PathExists(installDir)) return true;
    LogFailedCall(LOG_STAGE, L"SHCreateDirectoryExW", installDir, static_cast<DWORD>(created));
    return false;
}
