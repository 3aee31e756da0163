// trust_ca CERT.der
//
// Adds one DER-encoded certificate to the local machine's "ROOT" store (falling back to the
// current user's when the machine store cannot be opened), so that WinHTTP in this Windows
// installation, here the test bed's Wine prefix, trusts servers whose chain ends in it. Only the
// prefix it runs in is changed.
//
// Exit codes: 0 added (or already present), 1 usage, 2 the file could not be read,
// 3 no ROOT store could be opened, 4 the store refused the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include "engine/owned.h"

namespace {

constexpr DWORD kMaxCertificateBytes = 64 * 1024;

struct CertStoreTraits {
    using type = HCERTSTORE;
    static type invalid() { return nullptr; }
    static void close(type h) { CertCloseStore(h, 0); }
};
using OwnedCertStore = Owned<CertStoreTraits>;

// Reads the whole file into bytes; false (with the error printed) when it cannot be read or is
// empty or larger than any sane certificate.
bool ReadCertificate(const wchar_t* path, std::string& bytes) {
    OwnedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        std::fwprintf(stderr, L"trust_ca: cannot open %ls (error %lu)\n", path, GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kMaxCertificateBytes) {
        std::fwprintf(stderr, L"trust_ca: %ls is empty or too large for a certificate\n", path);
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) {
        std::fwprintf(stderr, L"trust_ca: cannot read %ls (error %lu)\n", path, GetLastError());
        return false;
    }
    return true;
}

// Opens the machine ROOT store, or the user's when the machine's is not writable.
OwnedCertStore OpenRootStore() {
    for (DWORD location : {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER}) {
        OwnedCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, L"ROOT"));
        if (store) return store;
    }
    return OwnedCertStore();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: trust_ca CERT.der\n");
        return 1;
    }
    std::string der;
    if (!ReadCertificate(argv[1], der)) return 2;
    OwnedCertStore store = OpenRootStore();
    if (!store) {
        std::fwprintf(stderr, L"trust_ca: cannot open a ROOT store (error %lu)\n", GetLastError());
        return 3;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        std::fwprintf(stderr, L"trust_ca: the ROOT store refused %ls (error 0x%08lx)\n", argv[1], GetLastError());
        return 4;
    }
    return 0;
}
