// The RSA work of the service, on BCrypt key handles.
#pragma once

#include "heap_block.h"
#include "service_args.h"  // IsSupportedKeyBits: the sizes "create" offers

#include <windows.h>
#include <bcrypt.h>

#include <vector>

// A fresh key pair, exported as an "RSAFULLPRIVATEBLOB" into a wiped block.
LONG GenerateRsaPrivateBlob(ULONG bits, HeapBlock* blob);

// Imports an "RSAFULLPRIVATEBLOB"; reports the modulus length in bits.
LONG ImportRsaPrivateBlob(const BYTE* blob, ULONG length, BCRYPT_KEY_HANDLE* key, ULONG* bits);

LONG ExportRsaPublicBlob(BCRYPT_KEY_HANDLE key, std::vector<BYTE>* blob);

enum class SignPadding { Pkcs1, Pss };
enum class DecryptPadding { None, Pkcs1, Oaep };

// hashAlgorithm names the hash whose value is signed (BCRYPT_SHA256_ALGORITHM
// ...). PSS uses a salt as long as the hash. The signature is modulusBytes long.
LONG RsaSignHash(BCRYPT_KEY_HANDLE key, ULONG modulusBytes, SignPadding padding,
                 const wchar_t* hashAlgorithm, const BYTE* hash, ULONG hashLength,
                 HeapBlock* signature, ULONG* signatureLength);

// OAEP uses SHA-1 and no label: the caller's padding record never reaches us.
LONG RsaDecrypt(BCRYPT_KEY_HANDLE key, DecryptPadding padding, const BYTE* input,
                ULONG inputLength, HeapBlock* plaintext, ULONG* plaintextLength);
