// Import patching: the executable's own import entries are what the code under test calls
// through, so replacing an entry reaches every caller in the executable and nothing outside it.
#include "tests/support/interposer_internal.h"

#include <cstring>

namespace interposer {
namespace detail {
namespace {

// Written only while the hooks are installed, once, before any Interposer is armed.
std::vector<std::string>& Missing() {
    static std::vector<std::string> missing;
    return missing;
}

// The import slot of dll!function in this executable, or null.
ULONG_PTR* FindImportSlot(const char* dll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; import->Name != 0; ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) return &slots->u1.Function;
        }
    }
    return nullptr;
}

}  // namespace

void PatchImport(const char* dll, const char* function, void* hook, void** real, void* imported) {
    ULONG_PTR* slot = FindImportSlot(dll, function);
    if (!slot) {
        Missing().push_back(std::string(dll) + "!" + function);
        if (!*real) *real = imported;
        return;
    }
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    if (!*real) *real = reinterpret_cast<void*>(*slot);
    *slot = reinterpret_cast<ULONG_PTR>(hook);
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

}  // namespace detail

std::vector<std::string> MissingHooks() {
    detail::InstallAll();
    detail::Guard guard;
    return detail::Missing();
}

}  // namespace interposer
