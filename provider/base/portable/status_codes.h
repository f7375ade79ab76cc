// The one header of status codes: the NCrypt statuses the provider and the
// channel return, and the NTSTATUS values our own code produces, tests for,
// maps or names, with their documented values. winerror.h spells the NCrypt
// codes as HRESULT casts and winnt.h only some NTSTATUS values as DWORD;
// ksp_status.h brings these to Windows code in place of those. No other file
// of the product spells a status as a number.
#pragma once

#include <cstdint>

// SECURITY_STATUS and NTSTATUS: 32-bit signed on Windows, and so here.
using SecurityStatus = std::int32_t;
using NtStatus = std::int32_t;

// winerror.h spells some of these as macros; where it was included, ours
// take their place.
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

constexpr SecurityStatus ZK_SUCCESS = 0;
constexpr SecurityStatus NTE_BAD_KEY = static_cast<SecurityStatus>(0x80090003UL);
constexpr SecurityStatus NTE_BAD_SIGNATURE = static_cast<SecurityStatus>(0x80090006UL);
constexpr SecurityStatus NTE_BAD_FLAGS = static_cast<SecurityStatus>(0x80090009UL);
constexpr SecurityStatus NTE_BAD_KEY_STATE = static_cast<SecurityStatus>(0x8009000BUL);
constexpr SecurityStatus NTE_NO_MEMORY = static_cast<SecurityStatus>(0x8009000EUL);
constexpr SecurityStatus NTE_PERM = static_cast<SecurityStatus>(0x80090010UL);
constexpr SecurityStatus NTE_BAD_KEYSET = static_cast<SecurityStatus>(0x80090016UL);
constexpr SecurityStatus NTE_INVALID_HANDLE = static_cast<SecurityStatus>(0x80090026UL);
constexpr SecurityStatus NTE_INVALID_PARAMETER = static_cast<SecurityStatus>(0x80090027UL);
constexpr SecurityStatus NTE_BUFFER_TOO_SMALL = static_cast<SecurityStatus>(0x80090028UL);
constexpr SecurityStatus NTE_NOT_SUPPORTED = static_cast<SecurityStatus>(0x80090029UL);
constexpr SecurityStatus NTE_INTERNAL_ERROR = static_cast<SecurityStatus>(0x8009002DUL);

// NTSTATUS values (as the LONG that BCrypt routines return).
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001L);
constexpr NtStatus kStatusNotImplemented = static_cast<NtStatus>(0xC0000002L);
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008L);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000DL);
constexpr NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017L);
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023L);
constexpr NtStatus kStatusDataError = static_cast<NtStatus>(0xC000003EL);
constexpr NtStatus kStatusInsufficientResources = static_cast<NtStatus>(0xC000009AL);
constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BBL);
constexpr NtStatus kStatusInvalidSignature = static_cast<NtStatus>(0xC000A000L);
// Named by the client tool when a provider passes them on.
constexpr NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034L);
constexpr NtStatus kStatusInvalidBufferSize = static_cast<NtStatus>(0xC0000206L);
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225L);
