#include "status_names.h"

#include "ksp_status.h"

#include <cstdio>

namespace zkt {
namespace {

struct NamedCode {
    unsigned long code;
    const char* name;
};

constexpr NamedCode kStatuses[] = {
    {0x00000000UL, "ERROR_SUCCESS"},
    {0x80090001UL, "NTE_BAD_UID"},
    {0x80090002UL, "NTE_BAD_HASH"},
    {0x80090003UL, "NTE_BAD_KEY"},
    {0x80090004UL, "NTE_BAD_LEN"},
    {0x80090005UL, "NTE_BAD_DATA"},
    {0x80090006UL, "NTE_BAD_SIGNATURE"},
    {0x80090007UL, "NTE_BAD_VER"},
    {0x80090008UL, "NTE_BAD_ALGID"},
    {0x80090009UL, "NTE_BAD_FLAGS"},
    {0x8009000AUL, "NTE_BAD_TYPE"},
    {0x8009000BUL, "NTE_BAD_KEY_STATE"},
    {0x8009000CUL, "NTE_BAD_HASH_STATE"},
    {0x8009000DUL, "NTE_NO_KEY"},
    {0x8009000EUL, "NTE_NO_MEMORY"},
    {0x8009000FUL, "NTE_EXISTS"},
    {0x80090010UL, "NTE_PERM"},
    {0x80090011UL, "NTE_NOT_FOUND"},
    {0x80090013UL, "NTE_BAD_PROVIDER"},
    {0x80090015UL, "NTE_BAD_PUBLIC_KEY"},
    {0x80090016UL, "NTE_BAD_KEYSET"},
    {0x8009001DUL, "NTE_PROVIDER_DLL_FAIL"},
    {0x8009001EUL, "NTE_PROV_DLL_NOT_FOUND"},
    {0x80090020UL, "NTE_FAIL"},
    {0x80090022UL, "NTE_SILENT_CONTEXT"},
    {0x80090026UL, "NTE_INVALID_HANDLE"},
    {0x80090027UL, "NTE_INVALID_PARAMETER"},
    {0x80090028UL, "NTE_BUFFER_TOO_SMALL"},
    {0x80090029UL, "NTE_NOT_SUPPORTED"},
    {0x8009002AUL, "NTE_NO_MORE_ITEMS"},
    {0x8009002BUL, "NTE_BUFFERS_OVERLAP"},
    {0x8009002CUL, "NTE_DECRYPTION_FAILURE"},
    {0x8009002DUL, "NTE_INTERNAL_ERROR"},
    {0x8009002EUL, "NTE_UI_REQUIRED"},
    {0x80090034UL, "NTE_ENCRYPTION_FAILURE"},
    {static_cast<ULONG>(kStatusUnsuccessful), "STATUS_UNSUCCESSFUL"},
    {static_cast<ULONG>(kStatusNotImplemented), "STATUS_NOT_IMPLEMENTED"},
    {static_cast<ULONG>(kStatusInvalidHandle), "STATUS_INVALID_HANDLE"},
    {static_cast<ULONG>(kStatusInvalidParameter), "STATUS_INVALID_PARAMETER"},
    {static_cast<ULONG>(kStatusNoMemory), "STATUS_NO_MEMORY"},
    {static_cast<ULONG>(kStatusBufferTooSmall), "STATUS_BUFFER_TOO_SMALL"},
    {static_cast<ULONG>(kStatusObjectNameNotFound), "STATUS_OBJECT_NAME_NOT_FOUND"},
    {static_cast<ULONG>(kStatusDataError), "STATUS_DATA_ERROR"},
    {static_cast<ULONG>(kStatusNotSupported), "STATUS_NOT_SUPPORTED"},
    {static_cast<ULONG>(kStatusInvalidBufferSize), "STATUS_INVALID_BUFFER_SIZE"},
    {static_cast<ULONG>(kStatusNotFound), "STATUS_NOT_FOUND"},
    {static_cast<ULONG>(kStatusInvalidSignature), "STATUS_INVALID_SIGNATURE"},
};

constexpr NamedCode kWin32Errors[] = {
    {0, "ERROR_SUCCESS"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {32, "ERROR_SHARING_VIOLATION"},
    {87, "ERROR_INVALID_PARAMETER"},
    {109, "ERROR_BROKEN_PIPE"},
    {112, "ERROR_DISK_FULL"},
    {123, "ERROR_INVALID_NAME"},
    {126, "ERROR_MOD_NOT_FOUND"},
    {127, "ERROR_PROC_NOT_FOUND"},
    {193, "ERROR_BAD_EXE_FORMAT"},
    {206, "ERROR_FILENAME_EXCED_RANGE"},
    {231, "ERROR_PIPE_BUSY"},
};

template <size_t N>
const char* Find(const NamedCode (&table)[N], unsigned long code)
{
    for (const NamedCode& entry : table) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

}  // namespace

const char* StatusName(LONG status)
{
    return Find(kStatuses, static_cast<unsigned long>(status));
}

const char* Win32ErrorName(DWORD error)
{
    return Find(kWin32Errors, error);
}

void FormatStatus(LONG status, char* out, size_t outSize)
{
    const char* name = StatusName(status);
    snprintf(out, outSize, "0x%08lX %s", static_cast<unsigned long>(status),
             name != nullptr ? name : "(unknown status)");
}

}  // namespace zkt
