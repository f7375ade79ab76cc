#include "pem.h"

#include <wincrypt.h>

#include <cstring>

namespace pem {
namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kEnd[] = "-----END ";
constexpr char kDashes[] = "-----";

size_t Find(const char* text, size_t size, size_t from, const char* what)
{
    const size_t n = strlen(what);
    for (size_t i = from; i + n <= size; ++i) {
        if (memcmp(text + i, what, n) == 0) {
            return i;
        }
    }
    return std::string::npos;
}

size_t LineEnd(const char* text, size_t size, size_t from)
{
    while (from < size && text[from] != '\n') {
        ++from;
    }
    return from;
}

}  // namespace

std::string Encode(const char* label, const uint8_t* der, size_t size)
{
    // CRYPT_STRING_NOCR: lines end in "\n" only, as PEM files usually do.
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCR;
    DWORD length = 0;
    if (size > 0xFFFFFFFFu ||
        !CryptBinaryToStringA(der, static_cast<DWORD>(size), kFlags, nullptr, &length)) {
        return {};
    }
    std::string body(length, '\0');
    if (!CryptBinaryToStringA(der, static_cast<DWORD>(size), kFlags, body.data(), &length)) {
        return {};
    }
    body.resize(strlen(body.c_str()));
    if (!body.empty() && body.back() != '\n') {
        body += '\n';
    }
    return std::string(kBegin) + label + kDashes + "\n" + body + kEnd + label + kDashes + "\n";
}

bool FindBlock(const char* text, size_t size, Block* block)
{
    const size_t begin = Find(text, size, 0, kBegin);
    if (begin == std::string::npos) {
        return false;
    }
    const size_t labelAt = begin + strlen(kBegin);
    const size_t beginLineEnd = LineEnd(text, size, labelAt);
    const size_t close = Find(text, beginLineEnd, labelAt, kDashes);
    if (close == std::string::npos) {
        return false;
    }
    Block found;
    found.label.assign(text + labelAt, close - labelAt);
    const std::string endLine = std::string(kEnd) + found.label + kDashes;
    const size_t end = Find(text, size, beginLineEnd, endLine.c_str());
    if (end == std::string::npos) {
        return false;
    }
    found.bodyBegin = beginLineEnd < size ? beginLineEnd + 1 : size;
    found.bodyEnd = end;
    // RFC 1421 headers ("Proc-Type: 4,ENCRYPTED") come before the base64.
    found.hasHeaders = Find(text, end, found.bodyBegin, ":") != std::string::npos;
    *block = std::move(found);
    return true;
}

bool DecodeBody(const char* text, const Block& block, BYTE* out, DWORD* outSize)
{
    if (block.bodyEnd < block.bodyBegin || block.bodyEnd - block.bodyBegin > 0x7FFFFFFFu) {
        return false;
    }
    const DWORD length = static_cast<DWORD>(block.bodyEnd - block.bodyBegin);
    return CryptStringToBinaryA(text + block.bodyBegin, length, CRYPT_STRING_BASE64, out, outSize, nullptr,
                                nullptr) != FALSE;
}

}  // namespace pem
