#include "key_cache.h"

#include "rsa_key.h"

KeyLease::KeyLease(CachedKey* key) : key_(key)
{
    AcquireSRWLockExclusive(&key->copiesLock);
    for (;;) {
        for (size_t i = 0; i < key->copies.size(); ++i) {
            if (!key->inUse[i]) {
                key->inUse[i] = true;
                index_ = i;
                ReleaseSRWLockExclusive(&key->copiesLock);
                return;
            }
        }
        SleepConditionVariableSRW(&key->copyFreed, &key->copiesLock, INFINITE, 0);
    }
}

KeyLease::~KeyLease()
{
    AcquireSRWLockExclusive(&key_->copiesLock);
    key_->inUse[index_] = false;
    ReleaseSRWLockExclusive(&key_->copiesLock);
    WakeConditionVariable(&key_->copyFreed);
}

namespace {

StoreResult LoadCachedKey(const std::wstring& name, size_t copies, std::shared_ptr<CachedKey>* out)
{
    auto loaded = std::make_shared<CachedKey>(copies == 0 ? 1 : copies);
    HeapBlock blob;
    StoreResult r = LoadKeyBlob(name, &blob, &loaded->stamp);
    if (r != StoreResult::Ok) {
        return r;
    }
    // A blob that unprotects but does not import is as damaged as one that
    // does not unprotect.
    for (KeyHandles& c : loaded->copies) {
        ULONG bits = 0;
        ULONG pssBits = 0;
        if (ImportRsaPrivateBlob(blob.get(), static_cast<ULONG>(blob.size()), c.key.Put(), &bits) < 0 ||
            ImportRsaPrivateBlob(blob.get(), static_cast<ULONG>(blob.size()), c.pssKey.Put(), &pssBits) < 0 ||
            bits == 0) {
            return StoreResult::Damaged;
        }
        loaded->bits = bits;
    }
    if (ExportRsaPublicBlob(loaded->copies[0].key.get(), &loaded->publicBlob) < 0) {
        return StoreResult::Failed;
    }
    *out = std::move(loaded);
    return StoreResult::Ok;
}

}  // namespace

StoreResult FindKey(KeyCache* cache, const std::wstring& name, std::shared_ptr<CachedKey>* out)
{
    KeyFileStamp current;
    StoreResult r = StatKeyFile(name, &current);
    if (r != StoreResult::Ok) {
        if (r == StoreResult::NotFound) {
            AcquireSRWLockExclusive(&cache->lock);
            cache->keys.erase(name);
            ReleaseSRWLockExclusive(&cache->lock);
        }
        return r;
    }
    AcquireSRWLockShared(&cache->lock);
    auto it = cache->keys.find(name);
    if (it != cache->keys.end() && SameStamp(it->second->stamp, current)) {
        *out = it->second;
    }
    ReleaseSRWLockShared(&cache->lock);
    if (*out) {
        return StoreResult::Ok;
    }
    std::shared_ptr<CachedKey> loaded;
    r = LoadCachedKey(name, cache->copies, &loaded);
    AcquireSRWLockExclusive(&cache->lock);
    if (r == StoreResult::Ok) {
        cache->keys[name] = loaded;
    } else {
        cache->keys.erase(name);
    }
    ReleaseSRWLockExclusive(&cache->lock);
    if (r == StoreResult::Ok) {
        *out = std::move(loaded);
    }
    return r;
}
