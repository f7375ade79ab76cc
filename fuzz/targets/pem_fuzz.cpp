// A PEM file as users hand it to the service's import and the tool's
// certificate commands. The decoded size query and the decode agree, a
// buffer one byte short is refused, and what Encode makes of the label and
// bytes is found and decoded back to both.
#include "fuzz_check.h"
#include "pem.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    pem::Block block;
    if (!pem::FindBlock(text, &block)) {
        return 0;
    }
    FUZZ_CHECK(block.bodyBegin <= block.bodyEnd && block.bodyEnd <= size);
    FUZZ_CHECK(text.substr(block.bodyEnd).starts_with("-----END " + block.label + "-----"));
    std::size_t length = 0;
    if (!pem::DecodeBody(text, block, nullptr, &length)) {
        return 0;
    }
    // At most 3 bytes per 4 characters of the body.
    FUZZ_CHECK(length <= (block.bodyEnd - block.bodyBegin) / 4 * 3 + 2);
    std::vector<std::uint8_t> der(length);
    std::size_t written = der.size();
    FUZZ_CHECK(pem::DecodeBody(text, block, der.data(), &written) && written == length);
    if (length > 0) {
        std::size_t shortBy1 = length - 1;
        FUZZ_CHECK(!pem::DecodeBody(text, block, der.data(), &shortBy1));
    }

    const std::string again = pem::Encode(block.label, der);
    pem::Block found;
    FUZZ_CHECK(pem::FindBlock(again, &found) && found.label == block.label && !found.hasHeaders);
    std::vector<std::uint8_t> back(length);
    std::size_t backLength = back.size();
    FUZZ_CHECK(pem::DecodeBody(again, found, back.data(), &backLength) && back == der);
    std::size_t lineStart = found.bodyBegin;
    for (std::size_t nl; (nl = again.find('\n', lineStart)) < found.bodyEnd; lineStart = nl + 1) {
        FUZZ_CHECK(nl - lineStart <= 64);
    }
    return 0;
}
