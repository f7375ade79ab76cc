// A key file as the store reads it from disk. Whatever parses must be what
// the writer makes of the parsed fields, byte for byte, and the damaged-file
// reader must agree on the name.
#include "fuzz_check.h"
#include "key_file.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> content(data, size);
    std::u16string name;
    const bool named = ReadKeyFileName(content, &name);
    ParsedKeyFile parsed;
    if (!ParseKeyFile(content, &parsed)) {
        return 0;
    }
    FUZZ_CHECK(named && name == parsed.name);
    FUZZ_CHECK(!parsed.blob.empty() && parsed.blob.data() >= data && parsed.blob.data() + parsed.blob.size() == data + size);
    if (parsed.version == kKeyFileVersion) {
        FUZZ_CHECK(parsed.bits != 0);
        const std::vector<std::uint8_t> again = BuildKeyFile(parsed.name, parsed.bits, parsed.blob);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), content.begin(), content.end()));
    } else {
        // Format 1 has no size in clear; the writer makes format 2 of it.
        FUZZ_CHECK(parsed.version == kKeyFileVersionWithoutBits && parsed.bits == 0);
        const std::vector<std::uint8_t> upgraded = BuildKeyFile(parsed.name, 2048, parsed.blob);
        ParsedKeyFile again;
        FUZZ_CHECK(ParseKeyFile(upgraded, &again));
        FUZZ_CHECK(again.name == parsed.name && again.bits == 2048 &&
                   std::equal(again.blob.begin(), again.blob.end(), parsed.blob.begin(), parsed.blob.end()));
    }
    return 0;
}
