// Keys loaded by the serving process. A key is read, unprotected and
// imported once; every later use only checks that its file is unchanged, so
// a key deleted or re-created with the command line is noticed at once.
#pragma once

#include "key_store.h"

#include <windows.h>
#include <bcrypt.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct CachedKey {
    CachedKey() = default;
    CachedKey(const CachedKey&) = delete;
    CachedKey& operator=(const CachedKey&) = delete;
    ~CachedKey();

    BCRYPT_KEY_HANDLE key = nullptr;     // PKCS#1 signatures and decryption
    // PSS gets a handle of its own: Wine's BCrypt restricts a key to PSS once
    // it has made a PSS signature, and later PKCS#1 use of it fails.
    BCRYPT_KEY_HANDLE pssKey = nullptr;
    ULONG bits = 0;
    std::vector<BYTE> publicBlob;  // "RSAPUBLICBLOB"
    KeyFileStamp stamp;
    // Private-key operations on one handle are not assumed to be thread-safe.
    SRWLOCK useLock = SRWLOCK_INIT;
};

struct KeyCache {
    SRWLOCK lock = SRWLOCK_INIT;
    std::map<std::wstring, std::shared_ptr<CachedKey>> keys;
};

// Ok with the key; NotFound, Damaged or Failed otherwise.
StoreResult FindKey(KeyCache* cache, const std::wstring& name, std::shared_ptr<CachedKey>* out);
