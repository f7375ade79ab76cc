#include "status_mapping.h"

#include "ksp_status.h"

SECURITY_STATUS MapBcryptStatus(LONG status)
{
    if (status >= 0) {
        return ZK_SUCCESS;
    }
    switch (status) {
    case kStatusInvalidHandle:          return NTE_INVALID_HANDLE;
    case kStatusInvalidParameter:       return NTE_INVALID_PARAMETER;
    case kStatusNoMemory:               return NTE_NO_MEMORY;
    case kStatusInsufficientResources:  return NTE_NO_MEMORY;
    case kStatusBufferTooSmall:         return NTE_BUFFER_TOO_SMALL;
    case kStatusNotSupported:           return NTE_NOT_SUPPORTED;
    case kStatusInvalidSignature:       return NTE_BAD_SIGNATURE;
    default:                            return NTE_INTERNAL_ERROR;  // STATUS_INTERNAL_ERROR and the rest
    }
}
