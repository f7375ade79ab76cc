#include "private_key.h"

#include "key_store.h"
#include "rsa_key.h"

namespace bench {

PrivateKey::~PrivateKey()
{
    if (key != nullptr) {
        BCryptDestroyKey(key);
    }
}

bool PrivateKey::Load(const wchar_t* name)
{
    HeapBlock blob;
    KeyFileStamp stamp;
    if (LoadKeyBlob(name, &blob, &stamp) != StoreResult::Ok) {
        return false;
    }
    if (ImportRsaPrivateBlob(blob.get(), static_cast<ULONG>(blob.size()), &key, &bits) < 0) {
        key = nullptr;
        return false;
    }
    return ExportRsaPublicBlob(key, &publicBlob) >= 0;
}

}  // namespace bench
