#include "private_key.h"

#include "key_store.h"
#include "rsa_key.h"

namespace bench {

bool PrivateKey::Load(const wchar_t* name)
{
    HeapBlock blob;
    KeyFileStamp stamp;
    if (LoadKeyBlob(name, &blob, &stamp) != StoreResult::Ok) {
        return false;
    }
    if (ImportRsaPrivateBlob(blob.get(), static_cast<ULONG>(blob.size()), key.Put(), &bits) < 0) {
        key.Forget();
        return false;
    }
    return ExportRsaPublicBlob(key.get(), &publicBlob) >= 0;
}

}  // namespace bench
