// What the padding record of SignHash and Decrypt may say. Only the flags
// word travels to the signing service, which takes the hash algorithm from
// the hash length (20, 32, 48, 64 bytes: SHA-1, SHA-256, SHA-384, SHA-512),
// uses a PSS salt as long as the hash, and decrypts OAEP with SHA-1 and no
// label. A record asking for anything else is refused before any exchange,
// so no caller gets a signature or plaintext under a scheme it did not ask
// for. Without a record the service's choice stands, as before.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>  // SECURITY_STATUS

// The scheme the service signs with for this hash length and flags word.
struct SignScheme {
    bool known = false;                // false: no scheme to check a signature against
    ULONG bcryptFlags = 0;             // BCRYPT_PAD_PKCS1 or BCRYPT_PAD_PSS
    const wchar_t* hashAlgorithm = nullptr;  // BCRYPT_SHA*_ALGORITHM
    ULONG saltLength = 0;              // PSS only: the hash length
};

// ZK_SUCCESS with the service's scheme in *scheme, or NTE_NOT_SUPPORTED for a
// record the protocol cannot honour. The record is read as the flags say: a
// BCRYPT_PSS_PADDING_INFO with NCRYPT_PAD_PSS_FLAG, a
// BCRYPT_PKCS1_PADDING_INFO with NCRYPT_PAD_PKCS1_FLAG or no padding flag
// (the service's PKCS#1 v1.5); with both flags it is not read.
SECURITY_STATUS CheckSignPadding(const void* paddingInfo, DWORD hashLength, DWORD flags, SignScheme* scheme);

// ZK_SUCCESS, or NTE_NOT_SUPPORTED for an OAEP record (NCRYPT_PAD_OAEP_FLAG
// as the only padding flag) naming a hash other than SHA-1 or a label. The
// other paddings have no parameters; their record is not read.
SECURITY_STATUS CheckDecryptPadding(const void* paddingInfo, DWORD flags);
