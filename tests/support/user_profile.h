// USERPROFILE, or the temporary folder, pointed elsewhere for a while: the model folder, the
// application's data folder and the worker's temporary files of an install then land in a folder
// of the test's own, never in the prefix's real profile.
#pragma once

#include <optional>
#include <string>

class UserProfileSwap {
public:
    // Remembers the current value (or that there is none).
    UserProfileSwap();
    UserProfileSwap(const UserProfileSwap&) = delete;
    UserProfileSwap& operator=(const UserProfileSwap&) = delete;
    // Puts the remembered value back, or unsets the variable when there was none.
    ~UserProfileSwap();

    // USERPROFILE = value for this process (and the children it starts); nullptr unsets it.
    void Set(const wchar_t* value) const;

private:
    std::wstring saved_;
    bool hadValue_ = false;
};

// TMP and TEMP of this process, which the worker's temporary folder comes from, set to folder
// for the object's life.
class TemporaryFolderSwap {
public:
    explicit TemporaryFolderSwap(const std::wstring& folder);
    TemporaryFolderSwap(const TemporaryFolderSwap&) = delete;
    TemporaryFolderSwap& operator=(const TemporaryFolderSwap&) = delete;
    ~TemporaryFolderSwap();

private:
    std::optional<std::wstring> saved_[2];
};
