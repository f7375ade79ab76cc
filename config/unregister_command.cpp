#include "bcrypt_config.h"
#include "config_commands.h"
#include "provider_registration.h"

#include <cwchar>

// The KEY_STORAGE function entry stays in the default context: other
// providers may be listed under it.
void UnregisterCommand()
{
    NTSTATUS status = BCryptRemoveContextFunctionProvider(CRYPT_LOCAL, nullptr, kKeyStorageInterface,
                                                          kKeyStorageFunction, kProviderName);
    if (status != 0) {
        wprintf(L"BCryptRemoveContextFunctionProvider failed with error code 0x%08x\n", static_cast<unsigned>(status));
    }

    status = BCryptUnregisterProvider(kProviderName);
    if (status != 0) {
        wprintf(L"BCryptUnregisterProvider failed with error code 0x%08x\n", static_cast<unsigned>(status));
    }
}
