#include "status_mapping.h"

#include "ksp_status.h"

SECURITY_STATUS MapBcryptStatus(LONG status)
{
    if (status >= 0) {
        return ZK_SUCCESS;
    }
    switch (static_cast<ULONG>(status)) {
    case 0xC0000008UL: return NTE_INVALID_HANDLE;     // STATUS_INVALID_HANDLE
    case 0xC000000DUL: return NTE_INVALID_PARAMETER;  // STATUS_INVALID_PARAMETER
    case 0xC0000017UL: return NTE_NO_MEMORY;          // STATUS_NO_MEMORY
    case 0xC000009AUL: return NTE_NO_MEMORY;          // STATUS_INSUFFICIENT_RESOURCES
    case 0xC0000023UL: return NTE_BUFFER_TOO_SMALL;   // STATUS_BUFFER_TOO_SMALL
    case 0xC00000BBUL: return NTE_NOT_SUPPORTED;      // STATUS_NOT_SUPPORTED
    case 0xC000A000UL: return NTE_BAD_SIGNATURE;      // STATUS_INVALID_SIGNATURE
    default:           return NTE_INTERNAL_ERROR;     // STATUS_INTERNAL_ERROR and the rest
    }
}
