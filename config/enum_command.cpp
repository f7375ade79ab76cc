#include "config_commands.h"
#include "unique_resource.h"

#include <bcrypt.h>

#include <cwchar>

void EnumCommand()
{
    // Size 0 and no buffer: the platform allocates the list.
    ULONG size = 0;
    PCRYPT_PROVIDERS providers = nullptr;
    const NTSTATUS status = BCryptEnumRegisteredProviders(&size, &providers);
    const UniqueBcryptBuffer list(providers);  // released whatever the status
    if (status != 0) {
        wprintf(L"BCryptEnumRegisteredProviders failed with error code 0x%08x\n", static_cast<unsigned>(status));
    } else if (providers == nullptr) {
        wprintf(L"BCryptEnumRegisteredProviders returned a NULL ptr\n");
    } else {
        for (ULONG i = 0; i < providers->cProviders; ++i) {
            wprintf(L"%ls\n", providers->rgpszProviders[i]);
        }
    }
}
