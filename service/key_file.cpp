#include "key_file.h"

#include "key_name.h"

#include <cstring>

namespace {

constexpr BYTE kMagic[4] = {'Z', 'K', 'E', 'Y'};
constexpr size_t kNameOffset = 12;

// The wire library's little-endian codec (key_name.h brings it).
void AppendU32(std::vector<BYTE>& out, DWORD v)
{
    BYTE field[4];
    PutU32(field, v);
    out.insert(out.end(), field, field + 4);
}

// Bytes of the fields other than the name and the blob.
size_t FixedBytes(DWORD version)
{
    return version == kKeyFileVersionWithoutBits ? 16 : 20;
}

bool KnownVersion(DWORD version)
{
    return version == kKeyFileVersion || version == kKeyFileVersionWithoutBits;
}

}  // namespace

std::vector<BYTE> BuildKeyFile(const std::wstring& name, ULONG bits, const BYTE* blob, size_t blobLength)
{
    std::vector<BYTE> out;
    out.reserve(FixedBytes(kKeyFileVersion) + name.size() * 2 + blobLength);
    for (BYTE b : kMagic) {
        out.push_back(b);
    }
    AppendU32(out, kKeyFileVersion);
    AppendU32(out, static_cast<DWORD>(name.size() * 2));
    for (wchar_t c : name) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    AppendU32(out, bits);
    AppendU32(out, static_cast<DWORD>(blobLength));
    out.insert(out.end(), blob, blob + blobLength);
    return out;
}

bool ReadKeyFileName(const BYTE* content, size_t length, std::wstring* name)
{
    if (content == nullptr || length < 16 || std::memcmp(content, kMagic, 4) != 0 ||
        !KnownVersion(GetU32(content + 4))) {
        return false;
    }
    size_t nameBytes = GetU32(content + 8);
    if (nameBytes == 0 || nameBytes % 2 != 0 || nameBytes > kMaxKeyNameChars * 2 ||
        nameBytes > length - kNameOffset) {
        return false;
    }
    std::wstring read(nameBytes / 2, L'\0');
    for (size_t i = 0; i < read.size(); ++i) {
        read[i] = static_cast<wchar_t>(content[kNameOffset + 2 * i] | (content[kNameOffset + 1 + 2 * i] << 8));
    }
    if (!IsValidKeyName(read)) {
        return false;
    }
    *name = std::move(read);
    return true;
}

bool ParseKeyFile(const BYTE* content, size_t length, ParsedKeyFile* out)
{
    std::wstring name;
    if (!ReadKeyFileName(content, length, &name)) {
        return false;
    }
    const DWORD version = GetU32(content + 4);
    const size_t nameBytes = name.size() * 2;
    const size_t fixed = FixedBytes(version);
    // The whole fixed part first: a version 2 file of 16 to 19 bytes passes
    // the name check above but has no room for its bits and blob length.
    if (length < fixed || nameBytes > length - fixed) {
        return false;
    }
    const BYTE* after = content + kNameOffset + nameBytes;
    ULONG bits = 0;
    if (version == kKeyFileVersion) {
        bits = GetU32(after);
        after += 4;
        if (bits == 0) {
            return false;
        }
    }
    size_t blobLength = GetU32(after);
    if (blobLength == 0 || blobLength != length - fixed - nameBytes) {
        return false;
    }
    out->version = version;
    out->name = std::move(name);
    out->bits = bits;
    out->blob = after + 4;
    out->blobLength = blobLength;
    return true;
}
