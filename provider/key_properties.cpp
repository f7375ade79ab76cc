#include "entry_points.h"
#include "handles.h"
#include "ksp_status.h"
#include "property_name.h"
#include "property_value.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr DWORD kSecurityInformationBits = 0x1F;  // OWNER, GROUP, DACL, SACL, LABEL
constexpr DWORD kPersistOnlyFlag = 0x40000000;      // NCRYPT_PERSIST_ONLY_FLAG
constexpr DWORD kKeyPropertyFlags = NCRYPT_SILENT_FLAG | kPersistOnlyFlag;
constexpr DWORD kKeyTypeUser = 0;
constexpr DWORD kDefaultKeyLength = 1024;
constexpr wchar_t kRsa[] = L"RSA";

struct SupportedLengths {  // NCRYPT_SUPPORTED_LENGTHS
    DWORD minLength;
    DWORD maxLength;
    DWORD increment;
    DWORD defaultLength;
};
static_assert(sizeof(SupportedLengths) == 16);

// "Security Descr" needs at least one security-information bit and nothing
// beyond those and the silent flag; every other name takes only the silent
// and persist-only flags.
bool FlagsAllowed(const wchar_t* name, DWORD flags)
{
    if (PropertyNameEquals(name, L"Security Descr")) {
        return (flags & kSecurityInformationBits) != 0 &&
               (flags & ~(kSecurityInformationBits | NCRYPT_SILENT_FLAG)) == 0;
    }
    return (flags & ~kKeyPropertyFlags) == 0;
}

// The size is already known; BCrypt fills min, max and increment straight
// into the caller's buffer and its status comes back unchanged.
SECURITY_STATUS ReadSupportedLengths(const KeyHandle* key, PBYTE output, DWORD outputSize, DWORD* result)
{
    *result = sizeof(SupportedLengths);
    if (output == nullptr) {
        return ZK_SUCCESS;
    }
    if (outputSize < sizeof(SupportedLengths)) {
        return NTE_BUFFER_TOO_SMALL;
    }
    ULONG reported = 0;
    const NTSTATUS status = BCryptGetProperty(key->rsaAlgorithm, BCRYPT_KEY_LENGTHS, output, outputSize, &reported, 0);
    if (status != 0) {
        return static_cast<SECURITY_STATUS>(status);  // by design passed through, not mapped
    }
    // The caller's buffer need not be aligned.
    const DWORD defaultLength = kDefaultKeyLength;
    std::memcpy(output + offsetof(SupportedLengths, defaultLength), &defaultLength, sizeof defaultLength);
    return ZK_SUCCESS;
}

SECURITY_STATUS ReadKeyProperty(const KeyHandle* key, const wchar_t* name, PBYTE output, DWORD outputSize,
                                DWORD* result)
{
    if (PropertyNameEquals(name, L"Algorithm Name") || PropertyNameEquals(name, L"Algorithm Group")) {
        return WritePropertyValue(kRsa, sizeof kRsa, output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Block Length")) {
        const DWORD blockLength = (key->keyLengthBits + 7) / 8;  // wraps like the 32-bit field it mirrors
        return WritePropertyValue(&blockLength, sizeof blockLength, output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Export Policy")) {
        return WritePropertyValue(&key->exportPolicy, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Key Usage")) {
        return WritePropertyValue(&key->keyUsage, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Key Type")) {
        return WritePropertyValue(&kKeyTypeUser, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Length")) {
        return WritePropertyValue(&key->keyLengthBits, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Lengths")) {
        return ReadSupportedLengths(key, output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Name") || PropertyNameEquals(name, L"Unique Name")) {
        if (key->keyName == nullptr) {
            return NTE_NOT_SUPPORTED;
        }
        return WritePropertyValue(key->keyName, WideValueSize(key->keyName), output, outputSize, result);
    }
    return NTE_NOT_SUPPORTED;
}

}  // namespace

SECURITY_STATUS WINAPI GetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty,
                                      PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags)
{
    if (AsProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || PropertyNameTooLong(pszProperty) || pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if (!FlagsAllowed(pszProperty, dwFlags)) {
        return NTE_BAD_FLAGS;
    }
    return ReadKeyProperty(key, pszProperty, pbOutput, cbOutput, pcbResult);
}
