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

namespace {
constexpr const wchar_t* kTemporaryFolderNames[2] = {L"TMP", L"TEMP"};
}

TemporaryFolderSwap::TemporaryFolderSwap(const std::wstring& folder) {
    for (int i = 0; i < 2; ++i) {
        wchar_t value[32768] = {};
        const DWORD length = GetEnvironmentVariableW(kTemporaryFolderNames[i], value, 32768);
        if (length > 0 && length < 32768) saved_[i] = value;
        SetEnvironmentVariableW(kTemporaryFolderNames[i], folder.c_str());
    }
}

TemporaryFolderSwap::~TemporaryFolderSwap() {
    for (int i = 0; i < 2; ++i) {
        SetEnvironmentVariableW(kTemporaryFolderNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
}
