// The failure schedule and the Interposer's own books. The hooks live with their concern:
// interposer_system.cpp (plain system calls and what they open), interposer_files.cpp (file
// functions, presented entries, held files), interposer_deep_folder.cpp, interposer_shell_link.cpp,
// and interposer_imports.cpp patches them in.
#include "tests/support/interposer.h"

#include "tests/support/interposer_internal.h"

#include <sddl.h>

#include <cwctype>

namespace interposer {
namespace detail {

volatile DWORD armedThread = 0;
volatile bool accounting = false;
DWORD failingError = 0;  // only the armed thread fails, so one is enough

namespace {

// The thread keeping the books (0: none). One at a time, since it holds the lock.
volatile DWORD bookkeeper = 0;

// A critical section, not a standard mutex: the standard one allocates on first use.
CRITICAL_SECTION& Lock() {
    static CRITICAL_SECTION* section = [] {
        static CRITICAL_SECTION made;
        InitializeCriticalSection(&made);
        return &made;
    }();
    return *section;
}

}  // namespace

State& S() {
    static State state;
    return state;
}

Guard::Guard() {
    EnterCriticalSection(&Lock());
    outer_ = bookkeeper;
    bookkeeper = GetCurrentThreadId();
}

Guard::~Guard() {
    bookkeeper = outer_;
    LeaveCriticalSection(&Lock());
}

bool OnArmedThread() {
    const DWORD thread = GetCurrentThreadId();
    return armedThread != 0 && thread == armedThread && bookkeeper != thread;
}

bool Accounting() { return accounting && bookkeeper != GetCurrentThreadId(); }

std::wstring Key(const wchar_t* path) {
    std::wstring key = path ? path : L"";
    if (key.rfind(L"\\\\?\\", 0) == 0) key.erase(0, 4);
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    while (!key.empty() && key.back() == L'\\') key.pop_back();
    return key;
}

bool CountAndFail(const char* function, DWORD defaultError) {
    if (!OnArmedThread()) return false;
    bool kill = false;
    {
        Guard guard;
        const unsigned count = ++S().calls[function];
        Call call{function, count};
        S().sequence.push_back(call);
        kill = S().killArmed && S().kill == call;
        const auto action = S().actions.find(call);
        if (action != S().actions.end()) {
            // Run as the books' keeper: its own calls are the test's, neither counted nor changed.
            const std::function<void()> run = std::move(action->second);
            S().actions.erase(action);
            run();
        }
        if (!kill) {
            const auto failure = S().failures.find(call);
            if (failure == S().failures.end()) return false;
            failure->second.reached = true;
            failingError = failure->second.error ? failure->second.error : defaultError;
        }
    }
    // Outside the lock: nothing of this process runs after this, as after a power cut.
    if (kill) TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
    SetLastError(failingError);
    return true;
}

void NoteCreatedFolder(const wchar_t* path, const SECURITY_ATTRIBUTES* security) {
    if (!OnArmedThread()) return;
    Guard guard;
    std::wstring list;
    wchar_t* text = nullptr;
    if (security && security->lpSecurityDescriptor &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
        list = text;
        LocalFree(text);
    }
    S().createdFolders.emplace_back(Key(path), list);
}

void InstallAll() {
    static bool done = false;
    if (done) return;
    done = true;
    InstallSystemHooks();
    InstallFileHooks();
    InstallShellLinkHooks();
}

}  // namespace detail

using namespace detail;

Interposer::Interposer() {
    InstallAll();
    Guard guard;
    S() = State{};
    accounting = true;
    armedThread = GetCurrentThreadId();
}

Interposer::~Interposer() {
    ReleaseAllHeld();
    Guard guard;
    armedThread = 0;
    accounting = false;
}

void Interposer::Present(const std::wstring& path, Presentation presentation, const std::wstring& target) {
    Guard guard;
    S().presented[Key(path.c_str())] = PresentedEntry{presentation, target};
}

void Interposer::PresentDeepFolder(const std::wstring& path, unsigned levels) {
    Guard guard;
    S().deepFolder = Key(path.c_str());
    S().deepLevels = levels;
    S().virtualRemovals = 0;
}

unsigned Interposer::VirtualRemovals() const {
    Guard guard;
    return S().virtualRemovals;
}

void Interposer::RefuseExtendedDisposition() {
    Guard guard;
    S().refuseExtendedDisposition = true;
}

void Interposer::FailCall(const char* function, unsigned occurrence, DWORD error, unsigned times) {
    Guard guard;
    for (unsigned i = 0; i < times; ++i) S().failures[Call{function, occurrence + i}] = Scheduled{error};
}

std::vector<std::string> Interposer::Unreached() const {
    Guard guard;
    std::vector<std::string> unreached;
    for (const auto& [call, failure] : S().failures) {
        if (!failure.reached) unreached.push_back(call.function + " #" + std::to_string(call.occurrence));
    }
    return unreached;
}

void Interposer::AtCall(const char* function, unsigned occurrence, std::function<void()> action) {
    Guard guard;
    S().actions[Call{function, occurrence}] = std::move(action);
}

void Interposer::KillAt(const char* function, unsigned occurrence) {
    Guard guard;
    S().kill = Call{function, occurrence};
    S().killArmed = true;
}

unsigned Interposer::Calls(const char* function) const {
    Guard guard;
    const auto found = S().calls.find(function);
    return found == S().calls.end() ? 0 : found->second;
}

std::vector<std::pair<std::wstring, std::wstring>> Interposer::CreatedFolders() const {
    Guard guard;
    return S().createdFolders;
}

std::vector<Call> Interposer::Sequence() const {
    Guard guard;
    return S().sequence;
}

Balance Interposer::Open() const {
    Guard guard;
    return Balance{S().heapBlocks.size(), S().internetHandles.size(), S().bcryptHandles.size(),
                   S().comObjects.size()};
}

bool Interposer::Entered(const std::wstring& path) const {
    Guard guard;
    return S().entered.count(Key(path.c_str())) != 0;
}

void Interposer::AnswerBoxes() {
    Guard guard;
    S().answerBoxes = true;
}

std::vector<std::wstring> Interposer::BoxTexts() const {
    Guard guard;
    return S().boxTexts;
}

void Interposer::SetOwnModulePath(const std::wstring& path) {
    Guard guard;
    S().ownModulePath = path;
}

void Interposer::Disarm() {
    Guard guard;
    armedThread = 0;
}

}  // namespace interposer
