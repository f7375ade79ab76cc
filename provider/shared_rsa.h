// The process-wide BCrypt "RSA" algorithm handle shared by all key handles.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

// Returns the shared handle, opening it on first use. Safe against two
// threads making the first open at once: exactly one handle is kept.
SECURITY_STATUS AcquireSharedRsaAlgorithm(BCRYPT_ALG_HANDLE* out);

// Closes the shared handle if it was ever opened; later acquisitions reopen it.
void CloseSharedRsaAlgorithm();
