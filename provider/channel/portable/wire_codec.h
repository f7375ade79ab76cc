// The two encodings every field of the wire is made of: little-endian u32
// and UTF-16LE key names, with the one key-name limit of both ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The longest key name: a key handle holds 260 bytes with the terminator.
constexpr std::uint32_t kMaxKeyNameChars = 129;
constexpr std::uint32_t kMaxKeyNameWireBytes = kMaxKeyNameChars * 2;

inline void PutU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t GetU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A name travels without its terminator, 2 bytes per UTF-16 unit.
inline std::uint32_t KeyNameWireLength(std::uint32_t chars)
{
    return chars * 2;
}

// Writes KeyNameWireLength(name.size()) bytes.
inline void PutKeyName(std::uint8_t* out, std::u16string_view name)
{
    for (const char16_t c : name) {
        *out++ = static_cast<std::uint8_t>(c & 0xFF);
        *out++ = static_cast<std::uint8_t>(c >> 8);
    }
}

// A name received: at most kMaxKeyNameChars units, no terminator added.
struct WireKeyName {
    char16_t chars[kMaxKeyNameChars] = {};
    std::uint32_t length = 0;

    std::u16string_view view() const { return {chars, length}; }
};

// False for an odd byte count or a name longer than any key name; `out`
// is then empty.
inline bool GetKeyName(std::span<const std::uint8_t> bytes, WireKeyName* out)
{
    out->length = 0;
    if (bytes.size() % 2 != 0 || bytes.size() > kMaxKeyNameWireBytes) {
        return false;
    }
    const auto units = static_cast<std::uint32_t>(bytes.size() / 2);
    for (std::uint32_t i = 0; i < units; ++i) {
        out->chars[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    out->length = units;
    return true;
}
