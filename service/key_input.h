// Reading a private key file for import: which format it is, and its DER
// (PEM armour removed with crypt32's base64 decoder). Every copy of the
// file's bytes lives in wiped blocks.
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <string>

enum class KeyFormat {
    Pkcs8,  // PrivateKeyInfo, PEM "PRIVATE KEY" or DER
    Pkcs1,  // RSAPrivateKey, PEM "RSA PRIVATE KEY" or DER
    Pfx,    // PKCS #12
};

const char* KeyFormatName(KeyFormat format);

struct KeyInput {
    KeyFormat format = KeyFormat::Pkcs8;
    HeapBlock der;  // the key's DER, or the PFX as read
};

// The largest key file accepted: a 16384-bit key in PEM is under 13 KiB,
// a PFX with a long chain a few times that.
constexpr size_t kMaxKeyInputBytes = 1024 * 1024;

ImportOutcome ReadKeyInput(const std::wstring& path, KeyInput* input);

// Reads a whole file into a wiped block (also used for password files).
ImportOutcome ReadSecretFile(const std::wstring& path, size_t maxBytes, HeapBlock* content);
