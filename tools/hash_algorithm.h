// The platform's identifier of a hash the command line names.
#pragma once

#include "tool_args.h"

namespace zkt {

// BCrypt's algorithm identifier ("SHA256").
const wchar_t* HashAlgorithmId(HashAlgorithm hash);

}  // namespace zkt
