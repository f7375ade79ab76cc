// The two encodings every field of the wire is made of: little-endian u32
// and UTF-16LE key names, with the one key-name limit of both ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

static_assert(sizeof(wchar_t) == 2, "key names are UTF-16");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a UTF-16 name's bytes are its UTF-16LE bytes");

// The longest key name: a key handle holds 260 bytes with the terminator.
constexpr uint32_t kMaxKeyNameChars = 129;
constexpr uint32_t kMaxKeyNameWireBytes = kMaxKeyNameChars * sizeof(wchar_t);

inline void PutU32(BYTE* p, uint32_t v)
{
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

inline uint32_t GetU32(const BYTE* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A name travels without its terminator, 2 bytes per UTF-16 unit; in
// memory a name already is those bytes.
inline uint32_t KeyNameWireLength(uint32_t chars)
{
    return chars * static_cast<uint32_t>(sizeof(wchar_t));
}

inline void PutKeyName(BYTE* out, const wchar_t* name, uint32_t chars)
{
    if (chars != 0) {
        std::memcpy(out, name, KeyNameWireLength(chars));
    }
}

// A name received: at most kMaxKeyNameChars units, no terminator added.
struct WireKeyName {
    wchar_t chars[kMaxKeyNameChars] = {};
    uint32_t length = 0;
};

// False for an odd byte count or a name longer than any key name; `out`
// is then empty.
inline bool GetKeyName(const BYTE* p, uint32_t bytes, WireKeyName* out)
{
    out->length = 0;
    if (bytes % sizeof(wchar_t) != 0 || bytes > kMaxKeyNameWireBytes) {
        return false;
    }
    for (uint32_t i = 0; i < bytes / 2; ++i) {
        out->chars[i] = static_cast<wchar_t>(p[2 * i] | (p[2 * i + 1] << 8));
    }
    out->length = bytes / 2;
    return true;
}
