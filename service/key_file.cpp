#include "key_file.h"

#include "key_name.h"

#include <cstring>

namespace {

constexpr BYTE kMagic[4] = {'Z', 'K', 'E', 'Y'};
constexpr size_t kFixedBytes = 16;

void PutU32(std::vector<BYTE>& out, DWORD v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
}

DWORD GetU32(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

}  // namespace

std::vector<BYTE> BuildKeyFile(const std::wstring& name, const BYTE* blob, size_t blobLength)
{
    std::vector<BYTE> out;
    out.reserve(kFixedBytes + name.size() * 2 + blobLength);
    for (BYTE b : kMagic) {
        out.push_back(b);
    }
    PutU32(out, kKeyFileVersion);
    PutU32(out, static_cast<DWORD>(name.size() * 2));
    for (wchar_t c : name) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    PutU32(out, static_cast<DWORD>(blobLength));
    out.insert(out.end(), blob, blob + blobLength);
    return out;
}

bool ReadKeyFileName(const BYTE* content, size_t length, std::wstring* name)
{
    if (content == nullptr || length < kFixedBytes || std::memcmp(content, kMagic, 4) != 0 ||
        GetU32(content + 4) != kKeyFileVersion) {
        return false;
    }
    size_t nameBytes = GetU32(content + 8);
    if (nameBytes == 0 || nameBytes % 2 != 0 || nameBytes > kMaxKeyNameChars * 2 ||
        nameBytes > length - 12) {
        return false;
    }
    std::wstring read(nameBytes / 2, L'\0');
    for (size_t i = 0; i < read.size(); ++i) {
        read[i] = static_cast<wchar_t>(content[12 + 2 * i] | (content[13 + 2 * i] << 8));
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
    size_t nameBytes = name.size() * 2;
    if (nameBytes > length - kFixedBytes) {
        return false;
    }
    size_t blobLength = GetU32(content + 12 + nameBytes);
    if (blobLength == 0 || blobLength != length - kFixedBytes - nameBytes) {
        return false;
    }
    out->name = std::move(name);
    out->blob = content + kFixedBytes + nameBytes;
    out->blobLength = blobLength;
    return true;
}
