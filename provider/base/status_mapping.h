#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>  // SECURITY_STATUS

// The one translation from BCrypt NTSTATUS codes to provider statuses.
SECURITY_STATUS MapBcryptStatus(LONG status);
