// The platform's resources on the one holder (resource_holder.h): one traits
// type per kind of handle or block.
#pragma once

#include "resource_holder.h"
#include "wiped_memory.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <cstddef>

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
