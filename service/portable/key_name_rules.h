// Which key names the store accepts: 1 to kMaxKeyNameChars UTF-16 code
// units (the wire library's limit, what a key handle holds), no NUL inside.
#pragma once

#include "wire_codec.h"

#include <string_view>

bool IsValidKeyName(std::u16string_view name);
