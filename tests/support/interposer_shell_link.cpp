// The shell link's methods, reached through its interface tables: counted and failed like the
// imports, and its objects kept in the books from their creation on the armed thread to their
// last release.
#include "tests/support/interposer_internal.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace interposer::detail {
namespace {

// A method hook: counted as "Interface::Method", failing with its HRESULT.
#define METHOD_HOOK(Interface, name, params, args, defaultError)                     \
    HRESULT(STDMETHODCALLTYPE* Real##name) params;                                  \
    HRESULT STDMETHODCALLTYPE Hook##name params {                                   \
        if (CountAndFail(#Interface "::" #name, static_cast<DWORD>(defaultError))) { \
            return static_cast<HRESULT>(failingError);                              \
        }                                                                           \
        return Real##name args;                                                     \
    }

METHOD_HOOK(IShellLinkW, SetPath, (IShellLinkW * link, LPCWSTR path), (link, path), E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetWorkingDirectory, (IShellLinkW * link, LPCWSTR folder), (link, folder), E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetIconLocation, (IShellLinkW * link, LPCWSTR file, int index), (link, file, index),
            E_OUTOFMEMORY)
METHOD_HOOK(IShellLinkW, SetDescription, (IShellLinkW * link, LPCWSTR text), (link, text), E_OUTOFMEMORY)
METHOD_HOOK(IPersistFile, Save, (IPersistFile * file, LPCOLESTR path, BOOL remember), (file, path, remember),
            E_ACCESSDENIED)

// QueryInterface also clears what it hands out, as a failing QueryInterface must; the file
// interface it hands out is remembered as a way to the same object.
HRESULT(STDMETHODCALLTYPE* RealLinkQueryInterface)(IShellLinkW*, REFIID, void**);
HRESULT STDMETHODCALLTYPE HookLinkQueryInterface(IShellLinkW* link, REFIID iid, void** out) {
    if (CountAndFail("IShellLinkW::QueryInterface", static_cast<DWORD>(E_NOINTERFACE))) {
        *out = nullptr;
        return static_cast<HRESULT>(failingError);
    }
    const HRESULT result = RealLinkQueryInterface(link, iid, out);
    if (SUCCEEDED(result) && *out != link && Accounting()) {
        Guard guard;
        if (S().comObjects.count(link)) S().comInterfaces[*out] = link;
    }
    return result;
}

// The object behind object (a link or another interface of one) has been released to its end.
void Forget(void* object) {
    if (!Accounting()) return;
    Guard guard;
    const auto other = S().comInterfaces.find(object);
    void* link = other == S().comInterfaces.end() ? object : other->second;
    S().comObjects.erase(link);
    for (auto at = S().comInterfaces.begin(); at != S().comInterfaces.end();) {
        at = at->second == link ? S().comInterfaces.erase(at) : std::next(at);
    }
}

ULONG(STDMETHODCALLTYPE* RealLinkRelease)(IShellLinkW*);
ULONG STDMETHODCALLTYPE HookLinkRelease(IShellLinkW* link) {
    const ULONG left = RealLinkRelease(link);
    if (left == 0) Forget(link);
    return left;
}

ULONG(STDMETHODCALLTYPE* RealFileRelease)(IPersistFile*);
ULONG STDMETHODCALLTYPE HookFileRelease(IPersistFile* file) {
    const ULONG left = RealFileRelease(file);
    if (left == 0) Forget(file);
    return left;
}

// Replaces slot index of an interface table by hook; the real method goes to real.
template <typename F>
void ReplaceMethod(void* object, size_t index, F hook, F* real) {
    void** table = *static_cast<void***>(object);
    if (table[index] == reinterpret_cast<void*>(hook)) return;
    DWORD protection = 0;
    VirtualProtect(&table[index], sizeof(void*), PAGE_READWRITE, &protection);
    *real = reinterpret_cast<F>(table[index]);
    table[index] = reinterpret_cast<void*>(hook);
    VirtualProtect(&table[index], sizeof(void*), protection, &protection);
}

// The shell link's tables are shared by every link of the process; they are patched once, from
// the first link made on an armed thread, and pass every other thread through.
void HookShellLink(IShellLinkW* link) {
    ReplaceMethod(link, 0, &HookLinkQueryInterface, &RealLinkQueryInterface);
    ReplaceMethod(link, 2, &HookLinkRelease, &RealLinkRelease);
    ReplaceMethod(link, 20, &HookSetPath, &RealSetPath);
    ReplaceMethod(link, 9, &HookSetWorkingDirectory, &RealSetWorkingDirectory);
    ReplaceMethod(link, 17, &HookSetIconLocation, &RealSetIconLocation);
    ReplaceMethod(link, 7, &HookSetDescription, &RealSetDescription);
    IPersistFile* file = nullptr;
    if (SUCCEEDED(RealLinkQueryInterface(link, IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        ReplaceMethod(file, 2, &HookFileRelease, &RealFileRelease);
        ReplaceMethod(file, 6, &HookSave, &RealSave);
        RealFileRelease(file);
    }
}

HRESULT(WINAPI* RealCoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
HRESULT WINAPI HookCoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    if (CountAndFail("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY))) {
        *out = nullptr;
        return static_cast<HRESULT>(failingError);
    }
    const HRESULT result = RealCoCreateInstance(classId, outer, context, iid, out);
    if (SUCCEEDED(result) && OnArmedThread() && IsEqualIID(iid, IID_IShellLinkW)) {
        Guard guard;
        HookShellLink(static_cast<IShellLinkW*>(*out));
        S().comObjects.insert(*out);
    }
    return result;
}

}  // namespace

void InstallShellLinkHooks() { REPLACE("ole32.dll", CoCreateInstance); }

}  // namespace interposer::detail
