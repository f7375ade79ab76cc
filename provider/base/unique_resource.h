// One way to own a platform resource: UniqueResource<Traits> holds one value
// and releases it exactly once, whichever path the owner leaves by. A traits
// type per kind says what the empty value is and how to release:
//
//   struct Traits {
//       using Type = ...;                       // the handle or record held
//       static Type Empty();                    // the value that owns nothing
//       static bool IsEmpty(const Type&);
//       static void Release(Type&);             // called only for a non-empty value
//   };
//
// Moves hand the value on; copies do not exist. Release routines' own
// failures are not reported: a holder runs on paths that already decided
// their status. Code that must report a release failure releases by hand
// (Release() hands the value back first).
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <cstddef>

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() : value_(Traits::Empty()) {}
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { Reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    // Releases what is held and takes `value` instead.
    void Reset(Type value = Traits::Empty())
    {
        if (!Traits::IsEmpty(value_)) {
            Traits::Release(value_);
        }
        value_ = value;
    }
    // Hands the value to the caller, who then owns releasing it.
    Type Release()
    {
        Type value = value_;
        value_ = Traits::Empty();
        return value;
    }
    // For routines that return a new value through a pointer: releases what
    // is held first. A routine that fails may leave garbage there, so callers
    // that cannot trust it call Forget() on failure.
    Type* Put()
    {
        Reset();
        return &value_;
    }
    void Forget() { value_ = Traits::Empty(); }

    const Type& get() const { return value_; }
    Type& raw() { return value_; }
    explicit operator bool() const { return !Traits::IsEmpty(value_); }

private:
    Type value_;
};

// ---- kernel objects ---------------------------------------------------------

// Events, threads, processes, tokens: NULL is empty.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type h) { return h == nullptr; }
    static void Release(Type h) { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Files and pipes: CreateFile and CreateNamedPipe fail with INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(Type h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Release(Type h) { CloseHandle(h); }
};
using UniqueFile = UniqueResource<FileHandleTraits>;

// FindFirstFileW's search handle: released with FindClose, not CloseHandle.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(Type h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Release(Type h) { FindClose(h); }
};
using UniqueFind = UniqueResource<FindHandleTraits>;

// LoadLibrary's module.
struct ModuleTraits {
    using Type = HMODULE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type m) { return m == nullptr; }
    static void Release(Type m) { FreeLibrary(m); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// ---- BCrypt -----------------------------------------------------------------

struct BcryptAlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type h) { return h == nullptr; }
    static void Release(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueBcryptAlgorithm = UniqueResource<BcryptAlgorithmTraits>;

struct BcryptKeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type h) { return h == nullptr; }
    static void Release(Type h) { BCryptDestroyKey(h); }
};
using UniqueBcryptKey = UniqueResource<BcryptKeyTraits>;

struct BcryptHashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type h) { return h == nullptr; }
    static void Release(Type h) { BCryptDestroyHash(h); }
};
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;

// Buffers BCrypt allocates for the caller (BCryptEnumRegisteredProviders).
struct BcryptBufferTraits {
    using Type = void*;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type p) { return p == nullptr; }
    static void Release(Type p) { BCryptFreeBuffer(p); }
};
using UniqueBcryptBuffer = UniqueResource<BcryptBufferTraits>;

// ---- NCrypt and the legacy CryptoAPI ------------------------------------------

// Storage provider and key handles of NCrypt: 0 is empty.
struct NcryptObjectTraits {
    using Type = NCRYPT_HANDLE;
    static Type Empty() { return 0; }
    static bool IsEmpty(Type h) { return h == 0; }
    static void Release(Type h) { NCryptFreeObject(h); }
};
using UniqueNcryptObject = UniqueResource<NcryptObjectTraits>;

// A CryptoAPI provider context (CryptAcquireContext, or a certificate's
// private key when CryptAcquireCertificatePrivateKey says the caller frees it).
struct CryptProviderTraits {
    using Type = HCRYPTPROV;
    static Type Empty() { return 0; }
    static bool IsEmpty(Type h) { return h == 0; }
    static void Release(Type h) { CryptReleaseContext(h, 0); }
};
using UniqueCryptProvider = UniqueResource<CryptProviderTraits>;

// A CryptoAPI key (CryptGetUserKey).
struct CryptKeyTraits {
    using Type = HCRYPTKEY;
    static Type Empty() { return 0; }
    static bool IsEmpty(Type h) { return h == 0; }
    static void Release(Type h) { CryptDestroyKey(h); }
};
using UniqueCryptKey = UniqueResource<CryptKeyTraits>;

// ---- certificates -------------------------------------------------------------

// CertOpenStore and PFXImportCertStore.
struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type h) { return h == nullptr; }
    static void Release(Type h) { CertCloseStore(h, 0); }
};
using UniqueCertStore = UniqueResource<CertStoreTraits>;

// A certificate context from CertCreateCertificateContext, a find, an add or
// a duplicate.
struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type c) { return c == nullptr; }
    static void Release(Type c) { CertFreeCertificateContext(c); }
};
using UniqueCertContext = UniqueResource<CertContextTraits>;

// ---- memory -----------------------------------------------------------------

// Zeroes memory in a way the optimizer may not drop.
inline void WipeBytes(void* p, size_t n)
{
    if (p != nullptr && n != 0) {
        SecureZeroMemory(p, n);
    }
}

// A block and the bytes of it that are in use.
struct SizedBlock {
    BYTE* data;
    size_t size;
};

// Process-heap blocks, wiped over their full length before HeapFree.
struct WipedHeapTraits {
    using Type = SizedBlock;
    static Type Empty() { return SizedBlock{nullptr, 0}; }
    static bool IsEmpty(const Type& b) { return b.data == nullptr; }
    static void Release(const Type& b)
    {
        WipeBytes(b.data, b.size);
        HeapFree(GetProcessHeap(), 0, b.data);
    }
};

// Blocks that LocalAlloc made (DPAPI's output, security descriptors). The
// block may be larger than the data it reports and its tail is not
// guaranteed to be clean, so all of it is wiped.
struct WipedLocalTraits {
    using Type = SizedBlock;
    static Type Empty() { return SizedBlock{nullptr, 0}; }
    static bool IsEmpty(const Type& b) { return b.data == nullptr; }
    static void Release(const Type& b)
    {
        const SIZE_T full = LocalSize(b.data);
        WipeBytes(b.data, full > b.size ? full : b.size);
        LocalFree(b.data);
    }
};
using UniqueLocalBlock = UniqueResource<WipedLocalTraits>;

// Memory the holder wipes at the end of its scope but does not free: a copy
// of secret bytes on the stack, for example.
struct WipeOnlyTraits {
    using Type = SizedBlock;
    static Type Empty() { return SizedBlock{nullptr, 0}; }
    static bool IsEmpty(const Type& b) { return b.data == nullptr; }
    static void Release(const Type& b) { WipeBytes(b.data, b.size); }
};
using ScopedWipe = UniqueResource<WipeOnlyTraits>;

// ---- thread pool --------------------------------------------------------------

struct ThreadpoolTraits {
    using Type = PTP_POOL;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type p) { return p == nullptr; }
    static void Release(Type p) { CloseThreadpool(p); }
};
using UniqueThreadpool = UniqueResource<ThreadpoolTraits>;

// Closing an I/O object does not wait for its callbacks; the owner closes the
// file and lets every pending operation end first.
struct ThreadpoolIoTraits {
    using Type = PTP_IO;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type p) { return p == nullptr; }
    static void Release(Type p) { CloseThreadpoolIo(p); }
};
using UniqueThreadpoolIo = UniqueResource<ThreadpoolIoTraits>;

// A timer is stopped and its callbacks waited for before it is closed.
struct ThreadpoolTimerTraits {
    using Type = PTP_TIMER;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type p) { return p == nullptr; }
    static void Release(Type p)
    {
        SetThreadpoolTimer(p, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(p, TRUE);
        CloseThreadpoolTimer(p);
    }
};
using UniqueThreadpoolTimer = UniqueResource<ThreadpoolTimerTraits>;

// A cleanup group's members are closed with it, after their callbacks ran.
struct ThreadpoolCleanupGroupTraits {
    using Type = PTP_CLEANUP_GROUP;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type p) { return p == nullptr; }
    static void Release(Type p)
    {
        CloseThreadpoolCleanupGroupMembers(p, FALSE, nullptr);
        CloseThreadpoolCleanupGroup(p);
    }
};
using UniqueThreadpoolCleanupGroup = UniqueResource<ThreadpoolCleanupGroupTraits>;
