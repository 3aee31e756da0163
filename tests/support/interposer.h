// Interposer for code under test: the test executable's import entries for the system functions
// that the engine and the uninstaller call are replaced (and, once a shell link has been created,
// the shell link's and its file interface's methods), so that a test can
//  - make the Nth call of a function fail the way its documentation says (its return value, the
//    thread's last error, an HRESULT, an NTSTATUS);
//  - list every call the code under test made, in order;
//  - make a bed file or folder look like a reparse point that the bed cannot make (a junction, a
//    symbolic link, a cloud placeholder, a deduplicated file, a read-only link), or present a
//    folder as holding a chain of folders deeper than the bed's host can hold;
//  - answer message boxes without showing them, and give the code under test another path for
//    its own module.
//
// Only calls made on the armed thread are counted or changed: fixtures, GoogleTest and other
// threads see the real functions. One Interposer at a time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace interposer {

// What a presented entry adds to what the bed reports.
struct Presentation {
    DWORD attributes;  // OR-ed into the reported attributes (FILE_ATTRIBUTE_REPARSE_POINT, READONLY)
    DWORD tag;         // the reparse tag reported by enumeration and by FileAttributeTagInfo
};

constexpr DWORD JUNCTION_TAG = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
constexpr DWORD SYMLINK_TAG = 0xA000000C;   // IO_REPARSE_TAG_SYMLINK
constexpr DWORD CLOUD_TAG = 0x9000601A;     // IO_REPARSE_TAG_CLOUD_6 (OneDrive Files-On-Demand)
constexpr DWORD DEDUP_TAG = 0x80000013;     // IO_REPARSE_TAG_DEDUP

// One call the armed thread made: the function ("kernel32!CreateFileW" style names without the
// module: "CreateFileW", "IPersistFile::Save") and which call of it this was (1-based).
struct Call {
    std::string function;
    unsigned occurrence;
    bool operator==(const Call&) const = default;
};

// Arms the interposer for the thread that constructs it, while it lives.
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

    // The empty bed folder at path is listed as holding "d\d\...\d\f": levels folders, one in
    // the other, and a file in the deepest. Deleting those entries succeeds without touching the
    // bed; VirtualRemovals() counts them.
    void PresentDeepFolder(const std::wstring& path, unsigned levels);
    unsigned VirtualRemovals() const;

    // The occurrence-th call (1-based) of function on the armed thread fails: it returns its
    // documented failure value, with error (0: the function's default) as its last error or
    // returned code.
    void FailCall(const char* function, unsigned occurrence, DWORD error = 0);

    // Calls of function seen so far on the armed thread.
    unsigned Calls(const char* function) const;
    // Every call of a fallible function on the armed thread so far, in order.
    std::vector<Call> Sequence() const;

    // True when the armed thread listed the contents of a presented entry (entered it).
    bool Entered(const std::wstring& path) const;

    // Message boxes on the armed thread are not shown: a Yes/No box answers Yes, any other OK.
    // Their texts are kept, in order.
    void AnswerBoxes();
    std::vector<std::wstring> BoxTexts() const;

    // GetModuleFileNameW(nullptr, ...) on the armed thread reports path.
    void SetOwnModulePath(const std::wstring& path);

    // From now on the armed thread's calls go to the real functions uncounted (the test's own
    // code after the code under test); what was recorded stays readable.
    void Disarm();
};

}  // namespace interposer
