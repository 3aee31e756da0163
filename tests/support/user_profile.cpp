#include "tests/support/user_profile.h"

#include <windows.h>

UserProfileSwap::UserProfileSwap() {
    const DWORD units = GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0);
    if (units == 0) return;
    saved_.resize(units);
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", saved_.data(), units);
    hadValue_ = length > 0 && length < units;
    saved_.resize(hadValue_ ? length : 0);
}

UserProfileSwap::~UserProfileSwap() { Set(hadValue_ ? saved_.c_str() : nullptr); }

void UserProfileSwap::Set(const wchar_t* value) const { SetEnvironmentVariableW(L"USERPROFILE", value); }
