#include "certificate_body.h"

#include <bcrypt.h>

namespace zkt {
namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr ULONGLONG kBackdateSeconds = 5 * 60;

FILETIME FromTicks(ULONGLONG ticks)
{
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

LONG RandomSerialNumber(Bytes& serial)
{
    Bytes random(16, 0);
    const LONG status =
        BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) {
        return status;
    }
    // The last byte is the most significant: top bit clear (positive), the
    // next one set (no leading zero octet, so always 16 octets).
    random.back() = static_cast<uint8_t>((random.back() & 0x7F) | 0x40);
    serial = std::move(random);
    return 0;
}

void ValidityFromNow(DWORD days, FILETIME& notBefore, FILETIME& notAfter)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    // Whole seconds: the encoded times have no fractions.
    const ULONGLONG start = (ticks / kTicksPerSecond - kBackdateSeconds) * kTicksPerSecond;
    notBefore = FromTicks(start);
    notAfter = FromTicks(start + static_cast<ULONGLONG>(days) * 86400ULL * kTicksPerSecond);
}

bool BuildCertificateBody(const CertificateFields& fields, Bytes& der)
{
    Bytes decodedKey;
    if (!DecodeObject(X509_PUBLIC_KEY_INFO, fields.subjectPublicKeyInfo.data(), fields.subjectPublicKeyInfo.size(),
                      decodedKey)) {
        return false;
    }
    std::vector<CERT_EXTENSION> extensions = AsCertExtensions(fields.extensions);
    CERT_INFO info{};
    info.dwVersion = CERT_V3;
    info.SerialNumber = {static_cast<DWORD>(fields.serialNumber.size()), const_cast<BYTE*>(fields.serialNumber.data())};
    info.SignatureAlgorithm = AsCryptAlgorithm(fields.signature);
    info.Issuer = {static_cast<DWORD>(fields.subject.size()), const_cast<BYTE*>(fields.subject.data())};
    info.NotBefore = fields.notBefore;
    info.NotAfter = fields.notAfter;
    info.Subject = info.Issuer;
    info.SubjectPublicKeyInfo = *DecodedAs<CERT_PUBLIC_KEY_INFO>(decodedKey);
    info.cExtension = static_cast<DWORD>(extensions.size());
    info.rgExtension = extensions.data();
    return EncodeObject(X509_CERT_TO_BE_SIGNED, &info, der);
}

}  // namespace zkt
