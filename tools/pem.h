// Base64 and PEM armour for DER data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zkt {

// Standard alphabet with '=' padding, no line breaks.
std::string Base64Encode(const uint8_t* data, size_t size);
// "-----BEGIN <label>-----", base64 in lines of 64 characters, "-----END <label>-----",
// each line ending in "\n".
std::string PemEncode(const char* label, const std::vector<uint8_t>& der);

}  // namespace zkt
