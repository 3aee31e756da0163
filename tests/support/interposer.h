// Interposer for code under test: the test executable's import entries for the system functions
// that the engine and the uninstaller call are replaced (and, once a shell link has been created,
// the shell link's and its file interface's methods), so that a test can
//  - make the Nth call of a function fail the way its documentation says (its return value, the
//    thread's last error, an HRESULT, an NTSTATUS), once or several calls in a row, or end the
//    process right before it;
//  - list every call the code under test made, in order, and see that each failure it asked for
//    was reached;
//  - count what the code under test opened and did not close: heap blocks, WinHTTP and BCrypt
//    handles, shell-link objects;
//  - make a bed file or folder look like a reparse point that the bed cannot make (a junction, a
//    symbolic link, a cloud placeholder, a deduplicated file, a read-only link), or present a
//    folder as holding a chain of folders deeper than the bed's host can hold;
//  - get Windows' answer where Wine's differs: a link opened without FILE_FLAG_OPEN_REPARSE_POINT
//    reaches its target, a folder that holds an open file cannot be renamed, failed reads and
//    writes report no bytes, a module path is cut as Windows cuts it, and (on request) the
//    extended disposition is unknown, as on older Windows 10;
//  - answer message boxes without showing them, and give the code under test another path for
//    its own module.
//
// Only calls made on the armed thread are counted or changed: fixtures, GoogleTest and other
// threads see the real functions. One Interposer at a time.
#pragma once

#include <windows.h>

#include <functional>
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

// The exit code of a process that KillAt ended.
constexpr UINT KILLED_EXIT_CODE = 0x4B11;

// One call the armed thread made: the function ("kernel32!CreateFileW" style names without the
// module: "CreateFileW", "IPersistFile::Save") and which call of it this was (1-based).
struct Call {
    std::string function;
    unsigned occurrence;
    bool operator==(const Call&) const = default;
    auto operator<=>(const Call&) const = default;
};

// What the armed thread opened and had not closed, counted from arming.
struct Balance {
    size_t heapBlocks = 0;      // malloc, calloc, _wcsdup not freed (by any thread)
    size_t internetHandles = 0;  // WinHttpOpen, WinHttpConnect, WinHttpOpenRequest not closed
    size_t bcryptHandles = 0;    // providers, hashes and keys not closed or destroyed
    size_t comObjects = 0;       // shell links not released to the end
    bool operator==(const Balance&) const = default;
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
    // disposition ignores it, as NTFS does. A presented link (a name-surrogate tag) opened
    // without FILE_FLAG_OPEN_REPARSE_POINT opens target instead, as Windows follows the link; a
    // link presented without a target is dangling (ERROR_FILE_NOT_FOUND).
    void Present(const std::wstring& path, Presentation presentation, const std::wstring& target = L"");

    // The empty bed folder at path is listed as holding "d\d\...\d\f": levels folders, one in
    // the other, and a file in the deepest. Deleting those entries succeeds without touching the
    // bed; VirtualRemovals() counts them.
    void PresentDeepFolder(const std::wstring& path, unsigned levels);
    unsigned VirtualRemovals() const;

    // The extended disposition (FileDispositionInfoEx) is refused with ERROR_INVALID_PARAMETER,
    // as Windows 10 before 1709 refuses it.
    void RefuseExtendedDisposition();

    // The file at path is held open (read and write sharing, no delete sharing), as a running
    // program holds its files, until ReleaseHeld or the interposer's end; a folder above it then
    // cannot be renamed.
    void Hold(const std::wstring& path);
    void ReleaseHeld(const std::wstring& path);

    // True when the armed thread has path open without delete sharing: on Windows no one else can
    // then rename or delete it (either needs DELETE access, which that open does not share). Wine
    // renames it all the same, so a test asks this instead of trying.
    bool HeldAgainstRename(const std::wstring& path) const;

    // The occurrence-th call (1-based) of function on the armed thread fails, and so do the
    // times - 1 calls of it after that one: each returns its documented failure value, with
    // error (0: the function's default) as its last error or returned code. Failures of one
    // function at several occurrences may be asked for.
    void FailCall(const char* function, unsigned occurrence, DWORD error = 0, unsigned times = 1);
    // The failures asked for that no call reached, as "function #occurrence".
    std::vector<std::string> Unreached() const;

    // The process ends (exit code KILLED_EXIT_CODE, no clean-up of any kind) when the armed
    // thread makes the occurrence-th call of function, before that call runs.
    void KillAt(const char* function, unsigned occurrence);

    // action runs on the armed thread right before its occurrence-th call of function (another
    // process's doing at that moment: a junction swapped in, a rename tried). Its own calls reach
    // the real functions, uncounted.
    void AtCall(const char* function, unsigned occurrence, std::function<void()> action);

    // The folders the armed thread created (CreateDirectoryW, SHCreateDirectoryExW), in order:
    // each path's Key() and the access list of the security descriptor it passed, as SDDL ("D:..."),
    // or "" when it passed none. Wine does not keep such a list as given, so the descriptor is
    // what a test can read.
    std::vector<std::pair<std::wstring, std::wstring>> CreatedFolders() const;

    // Calls of function seen so far on the armed thread.
    unsigned Calls(const char* function) const;
    // Every call of a fallible function on the armed thread so far, in order.
    std::vector<Call> Sequence() const;

    // What the armed thread has opened since arming and not yet closed.
    Balance Open() const;

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

// The functions whose import entry the interposer could not replace: a hook that is not
// installed would fail nothing and count nothing, so this list must be empty.
std::vector<std::string> MissingHooks();

}  // namespace interposer
