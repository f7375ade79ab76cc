// PEM armour ("-----BEGIN <label>-----", base64, "-----END <label>-----")
// around DER. Shared by the client tool and the signing service. The base64
// is written here by hand rather than taken from crypt32 so that the reader
// of files users hand in compiles, and is fuzzed, on any platform; the
// tool's tests check that the platform decodes what Encode writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pem {

// The armour lines and base64 in lines of 64 characters, each line ending in
// "\n".
std::string Encode(std::string_view label, std::span<const std::uint8_t> der);

// Where the first armoured block of a text lies.
struct Block {
    std::string label;             // between "-----BEGIN " and "-----"
    std::size_t bodyBegin = 0;     // first byte after the BEGIN line
    std::size_t bodyEnd = 0;       // first byte of the END line
    bool hasHeaders = false;       // "Name: value" lines before the base64, as in encrypted PEM keys
};

// True when `text` holds a BEGIN line and the END line of the same label.
bool FindBlock(std::string_view text, Block* block);

// Decodes a block's base64 (whitespace between the characters is skipped,
// '=' pads the end only). With out == nullptr only sets *outSize; else
// *outSize is out's capacity on entry and the bytes written on return.
// False when the body is not base64 or out is too small.
bool DecodeBody(std::string_view text, const Block& block, std::uint8_t* out, std::size_t* outSize);

}  // namespace pem
