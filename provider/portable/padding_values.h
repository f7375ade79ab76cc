// What the padding record of SignHash and Decrypt may say, judged on the
// values the record holds (padding_rules.cpp reads them from the caller's
// BCrypt record). Only the flags word travels to the signing service, which
// takes the hash algorithm from the hash length (20, 32, 48, 64 bytes:
// SHA-1, SHA-256, SHA-384, SHA-512), uses a PSS salt as long as the hash,
// and decrypts OAEP with SHA-1 and no label.
#pragma once

#include "status_codes.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The NCrypt padding flags (their documented values).
constexpr std::uint32_t kPadNoneFlag = 0x1;
constexpr std::uint32_t kPadPkcs1Flag = 0x2;
constexpr std::uint32_t kPadOaepFlag = 0x4;
constexpr std::uint32_t kPadPssFlag = 0x8;

enum class HashAlgorithm { None, Sha1, Sha256, Sha384, Sha512 };

// The algorithm identifier as far as it can name one of ours: the caller's
// string up to its terminator, at most this many units (SHA512 and one more,
// so that a longer name is seen to be longer).
constexpr std::size_t kAlgorithmNameUnits = 7;

// The record's values: its algorithm identifier and, for PSS, cbSalt; for
// OAEP, cbLabel.
struct PaddingValues {
    std::u16string_view algorithm;  // without the terminator; see kAlgorithmNameUnits
    std::uint32_t length = 0;
};

// The scheme the service signs with for this hash length and flags word.
struct SignRule {
    bool known = false;  // false: no scheme to check a signature against
    bool pss = false;
    HashAlgorithm hash = HashAlgorithm::None;
    std::uint32_t saltLength = 0;  // PSS only: the hash length
};

// ZK_SUCCESS with the service's scheme in *rule, or NTE_NOT_SUPPORTED for a
// record (null: none) the protocol cannot honour. With both the PSS and the
// PKCS#1 flag the record is not looked at.
SecurityStatus CheckSignPaddingValues(const PaddingValues* record, std::uint32_t hashLength, std::uint32_t flags,
                                      SignRule* rule);

// ZK_SUCCESS, or NTE_NOT_SUPPORTED for an OAEP record (OAEP as the only
// padding flag) naming a hash other than SHA-1 or a label.
SecurityStatus CheckDecryptPaddingValues(const PaddingValues* record, std::uint32_t flags);

// The digest length of a hash algorithm (0 for None).
std::uint32_t DigestLength(HashAlgorithm hash);
