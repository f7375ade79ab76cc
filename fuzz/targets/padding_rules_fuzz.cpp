// The rules for a caller's padding record, on every flags word, hash length
// and record: what is accepted must be honourable by the service (a named
// hash of the hash's length, a PSS salt of the hash's length, OAEP only with
// SHA-1 and no label), letter case must not change a verdict, and the name
// is never read past its end (it sits in a block of exactly its length).
//   input: flags (u32), hash length (1 byte), salt or label length (u32),
//          record present (1 byte), the name's UTF-16LE units
#include "fuzz_check.h"
#include "padding_values.h"
#include "wire_codec.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

std::u16string Upper(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

std::u16string Lower(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return out;
}

// The digest length a name stands for, stated independently of the rules.
std::uint32_t NamedLength(std::u16string_view name)
{
    const std::u16string upper = Upper(name);
    return upper == u"SHA1" ? 20 : upper == u"SHA256" ? 32 : upper == u"SHA384" ? 48 : upper == u"SHA512" ? 64 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 10) {
        return 0;
    }
    const std::uint32_t flags = GetU32(data);
    const std::uint32_t hashLength = data[4];
    const std::uint32_t length = GetU32(data + 5);
    const bool hasRecord = (data[9] & 1) != 0;
    const std::size_t units = std::min<std::size_t>((size - 10) / 2, kAlgorithmNameUnits);
    const std::unique_ptr<char16_t[]> name(new char16_t[units == 0 ? 1 : units]);
    for (std::size_t i = 0; i < units; ++i) {
        name[i] = static_cast<char16_t>(data[10 + 2 * i] | (data[11 + 2 * i] << 8));
    }
    const PaddingValues record{std::u16string_view(name.get(), units), length};
    const PaddingValues* given = hasRecord ? &record : nullptr;
    const bool pss = (flags & kPadPssFlag) != 0;
    const bool pkcs1 = (flags & kPadPkcs1Flag) != 0;
    const std::uint32_t named = NamedLength(record.algorithm);

    SignRule rule;
    const SecurityStatus sign = CheckSignPaddingValues(given, hashLength, flags, &rule);
    FUZZ_CHECK(sign == ZK_SUCCESS || sign == NTE_NOT_SUPPORTED);
    if (pss && pkcs1) {
        FUZZ_CHECK(sign == ZK_SUCCESS && !rule.known);
    } else if (sign == ZK_SUCCESS && hasRecord) {
        FUZZ_CHECK(named != 0 && named == hashLength && (!pss || length == hashLength));
    } else if (sign != ZK_SUCCESS) {
        FUZZ_CHECK(hasRecord && (named == 0 || named != hashLength || (pss && length != hashLength)));
    }
    if (sign == ZK_SUCCESS && !(pss && pkcs1)) {
        const bool knownLength = hashLength == 20 || hashLength == 32 || hashLength == 48 || hashLength == 64;
        FUZZ_CHECK(rule.known == knownLength);
        FUZZ_CHECK(!rule.known || (DigestLength(rule.hash) == hashLength && rule.pss == pss &&
                                   rule.saltLength == (pss ? hashLength : 0)));
    }

    const SecurityStatus decrypt = CheckDecryptPaddingValues(given, flags);
    const bool oaepOnly = (flags & (kPadNoneFlag | kPadPkcs1Flag | kPadOaepFlag)) == kPadOaepFlag;
    FUZZ_CHECK((decrypt == ZK_SUCCESS) ==
               (!oaepOnly || !hasRecord || (named == 20 && length == 0)));

    // Letter case never changes a verdict.
    for (const std::u16string& variant : {Upper(record.algorithm), Lower(record.algorithm)}) {
        const PaddingValues other{variant, length};
        SignRule otherRule;
        FUZZ_CHECK(CheckSignPaddingValues(hasRecord ? &other : nullptr, hashLength, flags, &otherRule) == sign);
        FUZZ_CHECK(CheckDecryptPaddingValues(hasRecord ? &other : nullptr, flags) == decrypt);
    }
    return 0;
}
