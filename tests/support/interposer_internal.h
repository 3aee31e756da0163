// What the interposer's parts share: its state, the lock its books are kept under, the failure
// schedule's test, and each part's installer. Test side only; see interposer.h.
#pragma once

#include "tests/support/interposer.h"

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace interposer::detail {

struct Scheduled {
    DWORD error;
    bool reached = false;
};

struct PresentedEntry {
    Presentation presentation;
    std::wstring target;  // what the link leads to (empty: dangling)
    bool readOnlyCleared = false;
};

// State of the armed interposer; hooks read it under the lock. Its containers allocate, and
// allocation is hooked too: while a thread keeps the books, its calls are neither counted nor
// accounted.
struct State {
    // The failure schedule.
    std::map<std::string, unsigned> calls;
    std::vector<Call> sequence;
    std::map<Call, Scheduled> failures;
    bool killArmed = false;
    Call kill;
    std::map<Call, std::function<void()>> actions;  // AtCall()
    std::vector<std::pair<std::wstring, std::wstring>> createdFolders;  // CreatedFolders()
    // Presented entries, and the files the armed thread or the test holds open.
    std::map<std::wstring, PresentedEntry> presented;  // by Key()
    std::map<HANDLE, std::wstring> findFolders;        // listing handle -> its folder's key
    std::map<HANDLE, std::wstring> openFiles;          // the armed thread's open files, by key
    std::map<HANDLE, DWORD> openShares;                // and the sharing each was opened with
    std::map<std::wstring, HANDLE> held;               // Hold(): key -> handle
    std::set<std::wstring> entered;
    bool refuseExtendedDisposition = false;
    // The presented deep folder.
    std::wstring deepFolder;  // Key() of the folder presented as deep; empty: none
    unsigned deepLevels = 0;
    unsigned virtualRemovals = 0;
    // Boxes and the module path.
    bool answerBoxes = false;
    std::vector<std::wstring> boxTexts;
    std::wstring ownModulePath;
    // What the armed thread opened and has not closed.
    std::set<void*> heapBlocks;
    std::set<void*> internetHandles;
    std::set<void*> bcryptHandles;
    std::set<void*> comObjects;            // IShellLinkW pointers
    std::map<void*, void*> comInterfaces;  // another interface of an object -> its IShellLinkW
};

State& S();

// The armed thread (0: none) and whether an Interposer lives (frees are then accounted on any
// thread). Plain globals: the hooks' first test must neither allocate nor lock.
extern volatile DWORD armedThread;
extern volatile bool accounting;
// The error the failing call reports, for hooks whose failure value carries it (no
// thread-local: its storage would be allocated through the hooked allocator).
extern DWORD failingError;

// Holds the lock and marks this thread as keeping the books.
class Guard {
public:
    Guard();
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    DWORD outer_;
};

// True on the armed thread while it is not keeping the books.
bool OnArmedThread();
// True on any thread that is not keeping the books, while an Interposer lives.
bool Accounting();

// One spelling for a path: without the "\\?\" prefix, lower case, no trailing separator.
std::wstring Key(const wchar_t* path);

// Counts a call of function on the armed thread; true when this one is to fail (its error set as
// the last error and in failingError). Ends the process when this is the call to kill at.
bool CountAndFail(const char* function, DWORD defaultError);

// Replaces the executable's import entry of dll!function by hook, the real address going to
// *real; a function the executable does not import is noted in MissingHooks(). imported is the
// function as this executable imports it: naming it makes the linker keep the import, so that
// every hooked function is in the table whether or not the code under test calls it.
void PatchImport(const char* dll, const char* function, void* hook, void** real, void* imported);
template <typename F>
void Replace(const char* dll, const char* function, F hook, F* real, F imported) {
    PatchImport(dll, function, reinterpret_cast<void*>(hook), reinterpret_cast<void**>(real),
                reinterpret_cast<void*>(imported));
}
#define REPLACE(dll, name) Replace(dll, #name, &Hook##name, &Real##name, &::name)

// Installs every part's hooks, once per process.
void InstallAll();
// Each part's hooks.
void InstallSystemHooks();
void InstallFileHooks();
void InstallShellLinkHooks();

// The deep folder's part of the file hooks.
bool ListDeepLevel(const wchar_t* pattern, WIN32_FIND_DATAW* data, HANDLE* find);
bool IsVirtualFind(HANDLE find);
bool RemoveVirtual(const wchar_t* path);
// Handles opened on the deep folder's levels and its bottom file (never kernel handles).
bool IsVirtualOpen(HANDLE handle);
bool OpenVirtual(const wchar_t* path, HANDLE* handle);
bool DescribeVirtual(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info);
void RemoveVirtualOpen();
// The folder a listing pattern ("folder\*") lists.
std::wstring ListedFolder(const wchar_t* pattern);

// Notes a folder the armed thread creates, with the access list of the descriptor it passes.
void NoteCreatedFolder(const wchar_t* path, const SECURITY_ATTRIBUTES* security);

// Closes what Hold() opened.
void ReleaseAllHeld();

}  // namespace interposer::detail
