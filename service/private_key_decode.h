// PKCS #8 and PKCS #1 RSA private keys to BCrypt's RSAFULLPRIVATEBLOB, with
// crypt32's decoders. Wine has no PKCS_PRIVATE_KEY_INFO decoder, so PKCS #8
// is unwrapped with the generic ones (SEQUENCE OF ANY, INTEGER, OBJECT
// IDENTIFIER, OCTET STRING); its key is then PKCS #1. Every decoded
// structure lives in a wiped block.
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <windows.h>

// CryptDecodeObjectEx into a wiped block of the right size.
bool DecodeIntoBlock(LPCSTR type, const BYTE* der, size_t size, DWORD flags, HeapBlock* decoded);

ImportOutcome DecodePkcs1(const BYTE* der, size_t size, HeapBlock* fullBlob, ULONG* bits);
ImportOutcome DecodePkcs8(const BYTE* der, size_t size, HeapBlock* fullBlob, ULONG* bits);

// A legacy PRIVATEKEYBLOB, as PKCS_RSA_PRIVATE_KEY and key exports give it.
ImportOutcome FromLegacyBlob(const BYTE* legacy, size_t size, HeapBlock* fullBlob, ULONG* bits);
