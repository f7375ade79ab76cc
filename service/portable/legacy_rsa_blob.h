// The one conversion from CryptoAPI's RSA private key blob to BCrypt's.
//
// PRIVATEKEYBLOB (what crypt32's PKCS_RSA_PRIVATE_KEY decoder, CryptExportKey
// and NCryptExportKey with LEGACY_RSAPRIVATE_BLOB give), numbers little-endian:
//   0    BLOBHEADER  bType 0x07 (PRIVATEKEYBLOB), bVersion 0x02, reserved u16,
//                    aiKeyAlg u32 (CALG_RSA_KEYX or CALG_RSA_SIGN)
//   8    RSAPUBKEY   magic u32 "RSA2" (0x32415352), bitlen u32, pubexp u32
//   20   modulus          m = (bitlen + 7) / 8 bytes
//        prime1           h = (bitlen + 15) / 16 bytes
//        prime2           h
//        exponent1        h   (d mod (p - 1))
//        exponent2        h   (d mod (q - 1))
//        coefficient      h   (q^-1 mod p)
//        privateExponent  m
//
// BCRYPT_RSAFULLPRIVATE_BLOB, numbers big-endian:
//   0    BCRYPT_RSAKEY_BLOB  Magic "RSA3" (0x33415352), BitLength,
//                            cbPublicExp, cbModulus = m, cbPrime1 = h, cbPrime2 = h
//   24   publicExponent (cbPublicExp bytes, no leading zero), modulus,
//        prime1, prime2, exponent1, exponent2, coefficient, privateExponent
//
// The numbers are taken at the modulus's real size: Wine's decoder gives a
// 2050-bit key bitlen 2064 (whole 16-bit halves), and the zero bytes above
// the real size are dropped.
//
// Wine's BCryptImportKeyPair refuses LEGACY_RSAPRIVATE_BLOB, and Wine's
// crypt32 has no CNG_RSA_PRIVATE_KEY_BLOB decoder, hence this.
#pragma once

#include "heap_block.h"

#include <cstdint>
#include <span>

// False (nothing written) for anything that is not exactly such a blob.
// *bits is the modulus's real length, counted from the number itself. The
// BCrypt blob's header is written field by field in its little-endian
// layout, so this needs no platform header.
bool LegacyRsaToFullPrivateBlob(std::span<const std::uint8_t> legacy, HeapBlock* full, std::uint32_t* bits);
