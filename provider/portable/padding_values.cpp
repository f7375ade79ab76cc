#include "padding_values.h"

namespace {

struct HashEntry {
    std::u16string_view name;
    HashAlgorithm hash;
    std::uint32_t digestLength;
};

constexpr HashEntry kHashes[] = {
    {u"SHA1", HashAlgorithm::Sha1, 20},
    {u"SHA256", HashAlgorithm::Sha256, 32},
    {u"SHA384", HashAlgorithm::Sha384, 48},
    {u"SHA512", HashAlgorithm::Sha512, 64},
};
constexpr HashAlgorithm kOaepHash = HashAlgorithm::Sha1;  // all the service decrypts OAEP with

// The algorithm identifier in any letter case, as BCrypt's own names are matched.
bool NamesAlgorithm(std::u16string_view name, std::u16string_view candidate)
{
    if (name.size() != candidate.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
        if (c != candidate[i]) {
            return false;
        }
    }
    return true;
}

const HashEntry* HashNamed(std::u16string_view name)
{
    for (const HashEntry& entry : kHashes) {
        if (NamesAlgorithm(name, entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

const HashEntry* HashOfLength(std::uint32_t length)
{
    for (const HashEntry& entry : kHashes) {
        if (entry.digestLength == length) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::uint32_t DigestLength(HashAlgorithm hash)
{
    for (const HashEntry& entry : kHashes) {
        if (entry.hash == hash) {
            return entry.digestLength;
        }
    }
    return 0;
}

SecurityStatus CheckSignPaddingValues(const PaddingValues* record, std::uint32_t hashLength, std::uint32_t flags,
                                      SignRule* rule)
{
    *rule = SignRule{};
    const bool pss = (flags & kPadPssFlag) != 0;
    const bool pkcs1 = (flags & kPadPkcs1Flag) != 0;
    if (pss && pkcs1) {
        return ZK_SUCCESS;  // contradictory: the service decides, nothing can be checked
    }
    if (record != nullptr) {
        const HashEntry* named = HashNamed(record->algorithm);
        if (named == nullptr || named->digestLength != hashLength) {
            return NTE_NOT_SUPPORTED;
        }
        if (pss && record->length != hashLength) {
            return NTE_NOT_SUPPORTED;
        }
    }
    const HashEntry* inferred = HashOfLength(hashLength);
    if (inferred != nullptr) {
        rule->known = true;
        rule->pss = pss;
        rule->hash = inferred->hash;
        rule->saltLength = pss ? hashLength : 0;
    }
    return ZK_SUCCESS;
}

SecurityStatus CheckDecryptPaddingValues(const PaddingValues* record, std::uint32_t flags)
{
    const std::uint32_t padding = flags & (kPadNoneFlag | kPadPkcs1Flag | kPadOaepFlag);
    if (padding != kPadOaepFlag || record == nullptr) {
        return ZK_SUCCESS;
    }
    const HashEntry* named = HashNamed(record->algorithm);
    if (named == nullptr || named->hash != kOaepHash || record->length != 0) {
        return NTE_NOT_SUPPORTED;
    }
    return ZK_SUCCESS;
}
