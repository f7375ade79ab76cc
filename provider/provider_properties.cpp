#include "entry_points.h"
#include "handles.h"
#include "ksp_status.h"
#include "property_name.h"
#include "property_value.h"
#include "use_context.h"

namespace {

constexpr DWORD kProviderPropertyFlags = NCRYPT_SILENT_FLAG;
constexpr DWORD kImplTypeSoftware = 2;  // NCRYPT_IMPL_SOFTWARE_FLAG
constexpr DWORD kMaxNameLength = 260;
constexpr DWORD kProviderVersion = 0x00010000;
constexpr DWORD kSecurityDescrSupport = 1;

SECURITY_STATUS ReadProviderProperty(const ProviderHandle* provider, const wchar_t* name, PBYTE output,
                                     DWORD outputSize, DWORD* result)
{
    if (PropertyNameEquals(name, L"Impl Type")) {
        return WritePropertyValue(&kImplTypeSoftware, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Max Name Length")) {
        return WritePropertyValue(&kMaxNameLength, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Name")) {
        return WritePropertyValue(provider->providerName, WideValueSize(provider->providerName), output,
                                  outputSize, result);
    }
    if (PropertyNameEquals(name, L"Version")) {
        return WritePropertyValue(&kProviderVersion, sizeof(DWORD), output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Use Context")) {
        return ReadUseContext(provider, output, outputSize, result);
    }
    if (PropertyNameEquals(name, L"Security Descr Support")) {
        return WritePropertyValue(&kSecurityDescrSupport, sizeof(DWORD), output, outputSize, result);
    }
    return NTE_NOT_SUPPORTED;
}

}  // namespace

SECURITY_STATUS WINAPI GetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                           DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags)
{
    const ProviderHandle* provider = AsProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || pcbResult == nullptr || PropertyNameTooLong(pszProperty)) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kProviderPropertyFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    return ReadProviderProperty(provider, pszProperty, pbOutput, cbOutput, pcbResult);
}

SECURITY_STATUS WINAPI SetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput,
                                           DWORD cbInput, DWORD dwFlags)
{
    ProviderHandle* provider = AsProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || PropertyNameTooLong(pszProperty) || pbInput == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kProviderPropertyFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if (!PropertyNameEquals(pszProperty, L"Use Context")) {
        return NTE_NOT_SUPPORTED;
    }
    return StoreUseContext(provider, pbInput, cbInput);
}
