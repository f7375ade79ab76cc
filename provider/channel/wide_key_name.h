// Key names as Windows holds them (wchar_t, which is UTF-16 there) on the
// wire library's terms.
#pragma once

#include "wire_codec.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

static_assert(sizeof(wchar_t) == 2, "key names are UTF-16");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a UTF-16 name's bytes are its UTF-16LE bytes");

// The public-key payload is the name's bytes themselves: a sender passes
// PublicKeyPayload(name) and KeyNameWireLength(chars) without a copy.
inline const std::uint8_t* PublicKeyPayload(const wchar_t* name)
{
    return reinterpret_cast<const std::uint8_t*>(name);
}

// The first `chars` units of a wide name copied into `units` (room for as
// many), as the portable encoders take names.
inline std::u16string_view WireName(const wchar_t* name, std::size_t chars, char16_t* units)
{
    for (std::size_t i = 0; i < chars; ++i) {
        units[i] = static_cast<char16_t>(name[i]);
    }
    return {units, chars};
}
