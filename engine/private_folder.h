// Folders no other local user may write. A folder outside the user's profile, such as
// "C:\TavrinAI", inherits "Authenticated Users: Modify" from the drive's root: there anyone could
// replace the app's program or the setup copy and have it run as this user. What the setup
// program creates there gets a protected access list instead: full control for the user, SYSTEM
// and the Administrators group, nothing inherited from above, everything below inheriting it.
#pragma once

#include <windows.h>

// Creates the one folder path with the private list. False, with the last error, when it could
// not be created (ERROR_ALREADY_EXISTS: it was there, and is left as it is).
bool CreatePrivateFolder(const wchar_t* path);

// Creates installDir with any missing parents. Only a folder that did not exist before and lies
// outside the user's profile gets the private list (the profile is private already); an existing
// one is left as it is. True when it exists afterwards; a failure is logged.
bool CreateInstallFolder(const wchar_t* installDir);
