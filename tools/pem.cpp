#include "pem.h"

namespace zkt {

std::string Base64Encode(const uint8_t* data, size_t size)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 0x3F]);
        out.push_back(kAlphabet[(v >> 12) & 0x3F]);
        out.push_back(kAlphabet[(v >> 6) & 0x3F]);
        out.push_back(kAlphabet[v & 0x3F]);
    }
    const size_t rest = size - i;
    if (rest > 0) {
        uint32_t v = uint32_t{data[i]} << 16;
        if (rest == 2) {
            v |= uint32_t{data[i + 1]} << 8;
        }
        out.push_back(kAlphabet[(v >> 18) & 0x3F]);
        out.push_back(kAlphabet[(v >> 12) & 0x3F]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::string PemEncode(const char* label, const std::vector<uint8_t>& der)
{
    const std::string body = Base64Encode(der.data(), der.size());
    std::string out = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t pos = 0; pos < body.size(); pos += 64) {
        out += body.substr(pos, 64);
        out += '\n';
    }
    out += std::string("-----END ") + label + "-----\n";
    return out;
}

}  // namespace zkt
