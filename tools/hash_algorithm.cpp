#include "hash_algorithm.h"

namespace zkt {

const wchar_t* HashAlgorithmId(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return L"SHA1";
    case HashAlgorithm::Sha256: return L"SHA256";
    case HashAlgorithm::Sha384: return L"SHA384";
    case HashAlgorithm::Sha512: return L"SHA512";
    }
    return L"SHA256";
}

}  // namespace zkt
