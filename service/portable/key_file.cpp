#include "key_file.h"

#include "key_name_rules.h"
#include "wire_codec.h"

#include <cstring>

namespace {

constexpr std::uint8_t kMagic[4] = {'Z', 'K', 'E', 'Y'};
constexpr std::size_t kNameOffset = 12;

void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    std::uint8_t field[4];
    PutU32(field, v);
    out.insert(out.end(), field, field + 4);
}

// Bytes of the fields other than the name and the blob.
std::size_t FixedBytes(std::uint32_t version)
{
    return version == kKeyFileVersionWithoutBits ? 16 : 20;
}

bool KnownVersion(std::uint32_t version)
{
    return version == kKeyFileVersion || version == kKeyFileVersionWithoutBits;
}

}  // namespace

std::vector<std::uint8_t> BuildKeyFile(std::u16string_view name, std::uint32_t bits,
                                       std::span<const std::uint8_t> blob)
{
    std::vector<std::uint8_t> out(kNameOffset + KeyNameWireLength(static_cast<std::uint32_t>(name.size())));
    std::memcpy(out.data(), kMagic, sizeof(kMagic));
    PutU32(out.data() + 4, kKeyFileVersion);
    PutU32(out.data() + 8, static_cast<std::uint32_t>(name.size() * 2));
    PutKeyName(out.data() + kNameOffset, name);
    AppendU32(out, bits);
    AppendU32(out, static_cast<std::uint32_t>(blob.size()));
    out.insert(out.end(), blob.begin(), blob.end());
    return out;
}

bool ReadKeyFileName(std::span<const std::uint8_t> content, std::u16string* name)
{
    if (content.size() < 16 || std::memcmp(content.data(), kMagic, 4) != 0 ||
        !KnownVersion(GetU32(content.data() + 4))) {
        return false;
    }
    const std::size_t nameBytes = GetU32(content.data() + 8);
    WireKeyName wire;
    if (nameBytes > content.size() - kNameOffset || !GetKeyName(content.subspan(kNameOffset, nameBytes), &wire) ||
        !IsValidKeyName(wire.view())) {
        return false;
    }
    *name = wire.view();
    return true;
}

bool ParseKeyFile(std::span<const std::uint8_t> content, ParsedKeyFile* out)
{
    std::u16string name;
    if (!ReadKeyFileName(content, &name)) {
        return false;
    }
    const std::uint32_t version = GetU32(content.data() + 4);
    const std::size_t nameBytes = name.size() * 2;
    const std::size_t fixed = FixedBytes(version);
    // A format 2 file of 16 to 19 bytes has a whole name but no room for
    // the fields after it.
    if (content.size() < fixed + nameBytes) {
        return false;
    }
    const std::uint8_t* after = content.data() + kNameOffset + nameBytes;
    std::uint32_t bits = 0;
    if (version == kKeyFileVersion) {
        bits = GetU32(after);
        after += 4;
        if (bits == 0) {
            return false;
        }
    }
    const std::size_t blobLength = GetU32(after);
    if (blobLength == 0 || blobLength != content.size() - fixed - nameBytes) {
        return false;
    }
    out->version = version;
    out->name = std::move(name);
    out->bits = bits;
    out->blob = std::span<const std::uint8_t>(after + 4, blobLength);
    return true;
}
