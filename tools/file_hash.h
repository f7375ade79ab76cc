// Hashing file contents with BCrypt before signing or verifying.
#pragma once

#include "provider_access.h"
#include "tool_args.h"

#include <cstdint>
#include <vector>

namespace zkt {

CallResult HashBytes(HashAlgorithm algorithm, const std::vector<uint8_t>& data, std::vector<uint8_t>& digest);

}  // namespace zkt
