// USERPROFILE pointed elsewhere for a while: the model folder and the application's data folder
// of an install then land in a folder of the test's own, never in the prefix's real profile.
#pragma once

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
