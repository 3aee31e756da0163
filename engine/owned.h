// Small scoped owners for Win32 handles. Copying is deleted and moving is allowed, so every
// path releases what it opened without a clean-up block repeated on each error path.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdlib>
#include <memory>
#include <utility>

// Traits say what "no handle" is and how to close one.
template <typename Traits>
class Owned {
public:
    using T = typename Traits::type;
    Owned() = default;
    explicit Owned(T value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : value_(std::exchange(other.value_, Traits::invalid())) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::invalid());
        }
        return *this;
    }
    ~Owned() { reset(); }

    T get() const { return value_; }
    // For APIs that take an array of handles (WaitForMultipleObjects).
    const T* addressOf() const { return &value_; }
    explicit operator bool() const { return value_ != Traits::invalid(); }
    // Closes the held handle now (no-op when empty).
    void reset() {
        if (*this) Traits::close(std::exchange(value_, Traits::invalid()));
    }
    // For out-parameters of APIs that create the handle; the owner must be empty.
    T* put() { reset(); return &value_; }

private:
    T value_ = Traits::invalid();
};

struct FileTraits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { CloseHandle(h); }
};
// Kernel objects whose "none" is NULL (threads, processes, events).
struct KernelTraits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseHandle(h); }
};
// Directory listings (FindFirstFileW).
struct FindTraits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { FindClose(h); }
};
struct InternetTraits {
    using type = HINTERNET;
    static type invalid() { return nullptr; }
    static void close(type h) { WinHttpCloseHandle(h); }
};
struct HashAlgorithmTraits {
    using type = BCRYPT_ALG_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
    using type = BCRYPT_HASH_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { BCryptDestroyHash(h); }
};
struct CryptoKeyTraits {
    using type = BCRYPT_KEY_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { BCryptDestroyKey(h); }
};
struct RegistryKeyTraits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type h) { RegCloseKey(h); }
};
struct GdiObjectTraits {
    using type = HGDIOBJ;
    static type invalid() { return nullptr; }
    static void close(type h) { DeleteObject(h); }
};
// Views of a file or section mapping (MapViewOfFile).
struct MappedViewTraits {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type view) { UnmapViewOfFile(view); }
};
struct MemoryDcTraits {
    using type = HDC;
    static type invalid() { return nullptr; }
    static void close(type h) { DeleteDC(h); }
};

using OwnedFile = Owned<FileTraits>;
using OwnedKernelHandle = Owned<KernelTraits>;
using OwnedFind = Owned<FindTraits>;
using OwnedInternet = Owned<InternetTraits>;
using OwnedHashAlgorithm = Owned<HashAlgorithmTraits>;
using OwnedHash = Owned<HashTraits>;
using OwnedCryptoKey = Owned<CryptoKeyTraits>;
using OwnedRegistryKey = Owned<RegistryKeyTraits>;
using OwnedGdiObject = Owned<GdiObjectTraits>;
using OwnedMemoryDc = Owned<MemoryDcTraits>;
using OwnedMappedView = Owned<MappedViewTraits>;

// Selects an object into a DC and puts the previous one back when it goes out of scope.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() { SelectObject(dc_, previous_); }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// COM initialised on the calling thread as a single-threaded apartment while it lives;
// uninitialised again only when the initialisation succeeded.
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { if (initialised_) CoUninitialize(); }

private:
    bool initialised_;
};

// A COM interface pointer that calls Release.
template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { if (p_) p_->Release(); }
    Interface* operator->() const { return p_; }
    Interface* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Address for creation functions; the pointer must be empty.
    void** put_void() { return reinterpret_cast<void**>(&p_); }

private:
    Interface* p_ = nullptr;
};

// A block from malloc/calloc, released with free. (Not new[]: operator new would bring the C++
// exception runtime into the executable.)
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using HeapBlock = std::unique_ptr<T, FreeDeleter>;
