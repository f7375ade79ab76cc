#include "bcrypt_config.h"
#include "config_commands.h"
#include "provider_registration.h"

#include <cwchar>

// Each step is attempted even if an earlier one failed; nothing is rolled back.
void RegisterCommand()
{
    // Flags 0: an existing registration is left as it is.
    NTSTATUS status = BCryptRegisterProvider(kProviderName, 0, const_cast<PCRYPT_PROVIDER_REG>(&kProviderRegistration));
    if (status != 0) {
        wprintf(L"BCryptRegisterProvider failed with error code 0x%08x\n", static_cast<unsigned>(status));
    }

    status = BCryptAddContextFunction(CRYPT_LOCAL, nullptr, kKeyStorageInterface, kKeyStorageFunction,
                                      CRYPT_PRIORITY_BOTTOM);
    if (status != 0) {
        wprintf(L"BCryptAddContextFunction failed with error code 0x%08x\n", static_cast<unsigned>(status));
    }

    status = BCryptAddContextFunctionProvider(CRYPT_LOCAL, nullptr, kKeyStorageInterface, kKeyStorageFunction,
                                              kProviderName, CRYPT_PRIORITY_BOTTOM);
    if (status != 0) {
        wprintf(L"BCryptAddContextFunctionProvider failed with error code 0x%08x\n", static_cast<unsigned>(status));
    }
}
