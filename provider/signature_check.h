#pragma once

#include "handles.h"
#include "padding_rules.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

// ZK_SUCCESS only if `signature` is the key's signature of `hash` under
// `scheme`, checked with the key handle's public key; NTE_INTERNAL_ERROR
// otherwise (an unknown scheme included). A reply that is not the key's
// signature must never pass for one.
SECURITY_STATUS CheckReturnedSignature(const KeyHandle* key, const SignScheme& scheme, const BYTE* hash,
                                       DWORD hashLength, const BYTE* signature, DWORD signatureLength);
