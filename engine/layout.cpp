#include "engine/layout.h"

#include <cwchar>

bool GetUserProfile(wchar_t (&out)[PATH_CAPACITY]) {
    wmemset(out, L'\0', PATH_CAPACITY);
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", out, PATH_CAPACITY);
    // Too small a buffer gives the size needed, which is at least the capacity.
    if (length > 0 && length < PATH_CAPACITY) return true;
    out[0] = L'\0';
    return false;
}

bool GetModelFolder(wchar_t (&out)[PATH_CAPACITY]) {
    wchar_t profile[PATH_CAPACITY];
    wchar_t root[PATH_CAPACITY];
    wchar_t sets[PATH_CAPACITY];
    out[0] = L'\0';
    return GetUserProfile(profile) && JoinPath(root, profile, MODEL_ROOT_FOLDER_NAME) &&
           JoinPath(sets, root, MODEL_SETS_FOLDER_NAME) && JoinPath(out, sets, MODEL_FOLDER_NAME);
}

bool GetPayloadPath(wchar_t (&out)[PATH_CAPACITY]) {
    return GetTempFilePath(out, PAYLOAD_TEMP_NAME);
}

bool GetLaunchTarget(wchar_t (&out)[PATH_CAPACITY], const wchar_t* appFolder) {
    if (JoinPath(out, appFolder, APP_PROGRAM_NAME) && PathExists(out)) return true;
    return JoinPath(out, appFolder, APP_SCRIPT_NAME);
}
