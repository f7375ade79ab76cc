// The status codes (status_codes.h) for Windows code, with the platform
// headers that declare SECURITY_STATUS and NTSTATUS.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include "status_codes.h"

static_assert(sizeof(SECURITY_STATUS) == sizeof(SecurityStatus) && sizeof(LONG) == sizeof(NtStatus));
