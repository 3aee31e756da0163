// Interposer for code under test: the test executable's import entries for system functions are
// replaced, so a test can make the Nth call of a function fail as its documentation says, and
// can make a bed file or folder look like a reparse point that the bed cannot make (a junction,
// a symbolic link, a cloud placeholder, a deduplicated file, a read-only link).
//
// Only calls made on the thread that armed the interposer are counted or changed: fixtures,
// GoogleTest and other threads see the real functions. One Interposer at a time.
#pragma once

#include <windows.h>

#include <string>

namespace interposer {

// What a presented entry adds to what the bed reports.
struct Presentation {
    DWORD attributes;  // OR-ed into the reported attributes (FILE_ATTRIBUTE_REPARSE_POINT, READONLY)
    DWORD tag;         // the reparse tag reported by enumeration and by FileAttributeTagInfo
};

constexpr DWORD JUNCTION_TAG = 0xA0000003;      // IO_REPARSE_TAG_MOUNT_POINT
constexpr DWORD SYMLINK_TAG = 0xA000000C;       // IO_REPARSE_TAG_SYMLINK
constexpr DWORD CLOUD_TAG = 0x9000601A;         // IO_REPARSE_TAG_CLOUD_6 (OneDrive Files-On-Demand)
constexpr DWORD DEDUP_TAG = 0x80000013;         // IO_REPARSE_TAG_DEDUP

// Arms the interposer for the calling thread while it lives.
class Interposer {
public:
    Interposer();
    ~Interposer();
    Interposer(const Interposer&) = delete;
    Interposer& operator=(const Interposer&) = delete;

    // path (any form, "\\?\" or not) is reported as carrying presentation. Removing it through a
    // handle (a disposition) acts on the bed entry itself, which the test makes a harmless
    // stand-in (an empty folder or a file); a presented read-only entry refuses the plain
    // disposition with ERROR_ACCESS_DENIED until its read-only attribute is cleared or the
    // disposition ignores it, as NTFS does.
    void Present(const std::wstring& path, Presentation presentation);

    // The occurrence-th call (1-based) of function on the armed thread fails: it returns its
    // documented failure value with lastError set.
    void FailCall(const char* function, unsigned occurrence, DWORD lastError);

    // Calls of function seen so far on the armed thread.
    unsigned Calls(const char* function) const;

    // True when the armed thread listed the contents of a presented entry (entered it).
    bool Entered(const std::wstring& path) const;
};

}  // namespace interposer
