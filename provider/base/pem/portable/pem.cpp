#include "pem.h"

namespace pem {
namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineLength = 64;

// The first `what` in text[from, to), or npos.
std::size_t Find(std::string_view text, std::size_t from, std::size_t to, std::string_view what)
{
    if (from > to || to > text.size()) {
        return std::string_view::npos;
    }
    const std::size_t at = text.substr(0, to).find(what, from);
    return at;
}

std::size_t LineEnd(std::string_view text, std::size_t from)
{
    const std::size_t nl = text.find('\n', from);
    return nl == std::string_view::npos ? text.size() : nl;
}

int SextetOf(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Decodes base64 into `out` (null: counts only); *written gets the length.
// Groups of four characters; the last may be padded with one or two '=' or
// cut short to two or three characters.
bool Base64Decode(std::string_view body, std::uint8_t* out, std::size_t capacity, std::size_t* written)
{
    std::size_t n = 0;
    std::uint32_t group = 0;
    int inGroup = 0;
    int padding = 0;
    for (const char c : body) {
        if (IsSpace(c)) {
            continue;
        }
        if (c == '=') {
            // Padding completes a group of at least two characters.
            if (inGroup + padding < 2 || inGroup + padding >= 4) {
                return false;
            }
            ++padding;
            continue;
        }
        const int sextet = SextetOf(c);
        if (sextet < 0 || padding != 0) {
            return false;
        }
        group = (group << 6) | static_cast<std::uint32_t>(sextet);
        if (++inGroup < 4) {
            continue;
        }
        for (int shift = 16; shift >= 0; shift -= 8) {
            if (out != nullptr) {
                if (n >= capacity) {
                    return false;
                }
                out[n] = static_cast<std::uint8_t>(group >> shift);
            }
            ++n;
        }
        group = 0;
        inGroup = 0;
    }
    if (inGroup == 1 || (padding != 0 && inGroup + padding != 4)) {
        return false;
    }
    // The 2 or 3 characters of a short last group give 1 or 2 bytes.
    group <<= 6 * (4 - inGroup);
    for (int i = 0; i + 1 < inGroup; ++i) {
        if (out != nullptr) {
            if (n >= capacity) {
                return false;
            }
            out[n] = static_cast<std::uint8_t>(group >> (16 - 8 * i));
        }
        ++n;
    }
    *written = n;
    return true;
}

}  // namespace

std::string Encode(std::string_view label, std::span<const std::uint8_t> der)
{
    std::string text;
    text.reserve(2 * (kEnd.size() + label.size()) + 16 + (der.size() + 2) / 3 * 4 * (kLineLength + 1) / kLineLength);
    text.append(kBegin).append(label).append(kDashes).append("\n");
    std::size_t column = 0;
    for (std::size_t i = 0; i < der.size(); i += 3) {
        const std::size_t left = der.size() - i;
        const std::uint32_t group = (std::uint32_t{der[i]} << 16) | (left > 1 ? std::uint32_t{der[i + 1]} << 8 : 0) |
                                    (left > 2 ? std::uint32_t{der[i + 2]} : 0);
        for (std::size_t k = 0; k < 4; ++k) {
            text += k <= left ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
        column += 4;
        if (column == kLineLength || i + 3 >= der.size()) {
            text += '\n';
            column = 0;
        }
    }
    text.append(kEnd).append(label).append(kDashes).append("\n");
    return text;
}

bool FindBlock(std::string_view text, Block* block)
{
    const std::size_t begin = text.find(kBegin);
    if (begin == std::string_view::npos) {
        return false;
    }
    const std::size_t labelAt = begin + kBegin.size();
    const std::size_t beginLineEnd = LineEnd(text, labelAt);
    const std::size_t close = Find(text, labelAt, beginLineEnd, kDashes);
    if (close == std::string_view::npos) {
        return false;
    }
    Block found;
    found.label.assign(text.substr(labelAt, close - labelAt));
    const std::string endLine = std::string(kEnd) + found.label + std::string(kDashes);
    const std::size_t end = Find(text, beginLineEnd, text.size(), endLine);
    if (end == std::string_view::npos) {
        return false;
    }
    found.bodyBegin = beginLineEnd < text.size() ? beginLineEnd + 1 : text.size();
    found.bodyEnd = end;
    // RFC 1421 headers ("Proc-Type: 4,ENCRYPTED") come before the base64.
    found.hasHeaders = Find(text, found.bodyBegin, end, ":") != std::string_view::npos;
    *block = std::move(found);
    return true;
}

bool DecodeBody(std::string_view text, const Block& block, std::uint8_t* out, std::size_t* outSize)
{
    if (block.bodyEnd < block.bodyBegin || block.bodyEnd > text.size()) {
        return false;
    }
    std::size_t written = 0;
    if (!Base64Decode(text.substr(block.bodyBegin, block.bodyEnd - block.bodyBegin), out, *outSize, &written)) {
        return false;
    }
    *outSize = written;
    return true;
}

}  // namespace pem
