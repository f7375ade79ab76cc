#include "signature_padding.h"
#include "hash_algorithm.h"

#include <ncrypt.h>

namespace zkt {

void ChoosePadding(HashAlgorithm hash, SignaturePadding padding, SignaturePaddingInfo& p)
{
    if (padding == SignaturePadding::Pss) {
        p.pss.pszAlgId = HashAlgorithmId(hash);
        p.pss.cbSalt = HashDigestSize(hash);
        p.info = &p.pss;
        p.flags = NCRYPT_PAD_PSS_FLAG;
        p.label = "PSS";
    } else {
        p.pkcs1.pszAlgId = HashAlgorithmId(hash);
        p.info = &p.pkcs1;
        p.flags = NCRYPT_PAD_PKCS1_FLAG;
        p.label = "PKCS#1 v1.5";
    }
}

}  // namespace zkt
