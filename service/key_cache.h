// Keys loaded by the serving process. A key is read, unprotected and
// imported once; every later use only checks that its file is unchanged, so
// a key deleted or re-created with the command line is noticed at once.
#pragma once

#include "key_store.h"
#include "unique_resource.h"

#include <windows.h>
#include <bcrypt.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// One imported copy of a key. Private-key operations on one BCrypt handle
// are not assumed to be thread-safe, so a copy serves one operation at a time.
struct KeyHandles {
    UniqueBcryptKey key;  // PKCS#1 signatures and decryption
    // PSS gets a handle of its own: Wine's BCrypt restricts a key to PSS once
    // it has made a PSS signature, and later PKCS#1 use of it fails.
    UniqueBcryptKey pssKey;
};

// Copies per key: one lock per key would let only one private-key operation
// of a key run at a time, however many cores and clients there are. The
// serving process makes one per key worker, so no worker waits for a copy;
// this many when nobody says.
constexpr size_t kKeyCopies = 4;

struct CachedKey {
    explicit CachedKey(size_t copyCount = kKeyCopies) : copies(copyCount), inUse(copyCount, 0) {}
    CachedKey(const CachedKey&) = delete;
    CachedKey& operator=(const CachedKey&) = delete;

    std::vector<KeyHandles> copies;
    SRWLOCK copiesLock = SRWLOCK_INIT;  // guards inUse
    CONDITION_VARIABLE copyFreed = CONDITION_VARIABLE_INIT;
    std::vector<char> inUse;
    ULONG bits = 0;
    std::vector<BYTE> publicBlob;  // "RSAPUBLICBLOB"
    KeyFileStamp stamp;
};

// Takes a copy of the key that no other operation holds, waiting until one
// is given back if all are in use; the destructor gives it back.
class KeyLease {
public:
    explicit KeyLease(CachedKey* key);
    ~KeyLease();
    KeyLease(const KeyLease&) = delete;
    KeyLease& operator=(const KeyLease&) = delete;
    const KeyHandles& handles() const { return key_->copies[index_]; }

private:
    CachedKey* key_;
    size_t index_ = 0;
};

struct KeyCache {
    size_t copies = kKeyCopies;  // imported copies of each key
    SRWLOCK lock = SRWLOCK_INIT;
    std::map<std::wstring, std::shared_ptr<CachedKey>> keys;
};

// Ok with the key; NotFound, Damaged or Failed otherwise.
StoreResult FindKey(KeyCache* cache, const std::wstring& name, std::shared_ptr<CachedKey>* out);
