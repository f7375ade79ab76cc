// PEM armour ("-----BEGIN <label>-----", base64, "-----END <label>-----")
// around DER, with the platform's base64 (CryptBinaryToStringA and
// CryptStringToBinaryA). Shared by the client tool and the signing service.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pem {

// The armour lines and base64 in lines of 64 characters, each line ending in
// "\n". Empty when the platform refuses (GetLastError says why).
std::string Encode(const char* label, const uint8_t* der, size_t size);

// Where the first armoured block of a text lies.
struct Block {
    std::string label;        // between "-----BEGIN " and "-----"
    size_t bodyBegin = 0;     // first byte after the BEGIN line
    size_t bodyEnd = 0;       // first byte of the END line
    bool hasHeaders = false;  // "Name: value" lines before the base64, as in encrypted PEM keys
};

// True when `text` holds a BEGIN line and the END line of the same label.
bool FindBlock(const char* text, size_t size, Block* block);

// Decodes a block's base64: with out == nullptr only sets *outSize. False
// when the body is not base64 (or out is too small).
bool DecodeBody(const char* text, const Block& block, BYTE* out, DWORD* outSize);

}  // namespace pem
