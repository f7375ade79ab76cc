// The one header of status codes: the NCrypt statuses the provider and the
// channel return, and the NTSTATUS values our own code produces, tests for,
// maps or names. winerror.h spells the NCrypt codes as HRESULT casts and
// winnt.h only some NTSTATUS values as DWORD; both are restated here with
// their documented values and the types our routines return. No other file
// of the product spells a status as a number.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>  // SECURITY_STATUS

#undef NTE_BAD_KEY
#undef NTE_BAD_SIGNATURE
#undef NTE_BAD_FLAGS
#undef NTE_BAD_KEY_STATE
#undef NTE_NO_MEMORY
#undef NTE_PERM
#undef NTE_BAD_KEYSET
#undef NTE_INVALID_HANDLE
#undef NTE_INVALID_PARAMETER
#undef NTE_BUFFER_TOO_SMALL
#undef NTE_NOT_SUPPORTED
#undef NTE_INTERNAL_ERROR

constexpr SECURITY_STATUS ZK_SUCCESS = 0;
constexpr SECURITY_STATUS NTE_BAD_KEY = static_cast<SECURITY_STATUS>(0x80090003UL);
constexpr SECURITY_STATUS NTE_BAD_SIGNATURE = static_cast<SECURITY_STATUS>(0x80090006UL);
constexpr SECURITY_STATUS NTE_BAD_FLAGS = static_cast<SECURITY_STATUS>(0x80090009UL);
constexpr SECURITY_STATUS NTE_BAD_KEY_STATE = static_cast<SECURITY_STATUS>(0x8009000BUL);
constexpr SECURITY_STATUS NTE_NO_MEMORY = static_cast<SECURITY_STATUS>(0x8009000EUL);
constexpr SECURITY_STATUS NTE_PERM = static_cast<SECURITY_STATUS>(0x80090010UL);
constexpr SECURITY_STATUS NTE_BAD_KEYSET = static_cast<SECURITY_STATUS>(0x80090016UL);
constexpr SECURITY_STATUS NTE_INVALID_HANDLE = static_cast<SECURITY_STATUS>(0x80090026UL);
constexpr SECURITY_STATUS NTE_INVALID_PARAMETER = static_cast<SECURITY_STATUS>(0x80090027UL);
constexpr SECURITY_STATUS NTE_BUFFER_TOO_SMALL = static_cast<SECURITY_STATUS>(0x80090028UL);
constexpr SECURITY_STATUS NTE_NOT_SUPPORTED = static_cast<SECURITY_STATUS>(0x80090029UL);
constexpr SECURITY_STATUS NTE_INTERNAL_ERROR = static_cast<SECURITY_STATUS>(0x8009002DUL);

// NTSTATUS values (as the LONG that BCrypt routines return).
constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001L);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002L);
constexpr LONG kStatusInvalidHandle = static_cast<LONG>(0xC0000008L);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000DL);
constexpr LONG kStatusNoMemory = static_cast<LONG>(0xC0000017L);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023L);
constexpr LONG kStatusDataError = static_cast<LONG>(0xC000003EL);
constexpr LONG kStatusInsufficientResources = static_cast<LONG>(0xC000009AL);
constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BBL);
constexpr LONG kStatusInvalidSignature = static_cast<LONG>(0xC000A000L);
// Named by the client tool when a provider passes them on.
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034L);
constexpr LONG kStatusInvalidBufferSize = static_cast<LONG>(0xC0000206L);
constexpr LONG kStatusNotFound = static_cast<LONG>(0xC0000225L);
