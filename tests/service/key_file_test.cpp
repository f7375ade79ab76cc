// The key file's layout, as the store writes and reads it.
#include "key_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

std::span<const std::uint8_t> Prefix(const std::vector<std::uint8_t>& bytes, std::size_t n)
{
    return std::span<const std::uint8_t>(bytes.data(), n);
}

TEST(KeyFile, RoundTripsAndRefusesEveryMalformedVariant)
{
    const std::uint8_t blob[] = {1, 2, 3, 4, 5};
    std::vector<std::uint8_t> file = BuildKeyFile(u"name", 3072, blob);
    ASSERT_EQ(20u + 8u + sizeof(blob), file.size());
    ParsedKeyFile parsed;
    ASSERT_TRUE(ParseKeyFile(file, &parsed));
    EXPECT_EQ(kKeyFileVersion, parsed.version);
    EXPECT_EQ(u"name", parsed.name);
    EXPECT_EQ(3072u, parsed.bits);
    ASSERT_EQ(sizeof(blob), parsed.blob.size());
    EXPECT_TRUE(std::equal(blob, blob + sizeof(blob), parsed.blob.begin()));

    // Every truncation and every extension is damage.
    for (size_t n = 0; n < file.size(); ++n) {
        EXPECT_FALSE(ParseKeyFile(Prefix(file, n), &parsed)) << n;
    }
    std::vector<std::uint8_t> longer = file;
    longer.push_back(0);
    EXPECT_FALSE(ParseKeyFile(longer, &parsed));
    const struct {
        size_t offset;
        std::uint8_t value;
    } edits[] = {
        {0, 'X'},   // magic
        {4, 3},     // version
        {4, 0},     // version
        {8, 7},     // odd name length
        {8, 0},     // empty name
        {8, 200},   // name longer than the file
        {21, 0},    // 3072 bits becomes 0
        {24, 6},    // blob length
    };
    for (const auto& e : edits) {
        std::vector<std::uint8_t> bad = file;
        bad[e.offset] = e.value;
        if (e.offset == 21) {
            bad[20] = 0;
        }
        EXPECT_FALSE(ParseKeyFile(bad, &parsed)) << e.offset;
    }
    // A damaged blob still lets the name be reported.
    std::u16string name;
    EXPECT_TRUE(ReadKeyFileName(Prefix(file, file.size() - 2), &name));
    EXPECT_EQ(u"name", name);
    EXPECT_FALSE(ReadKeyFileName(Prefix(file, 14), &name));
}

// Files written before the size was kept in clear: no bits field.
TEST(KeyFile, FormatOneFilesStillParse)
{
    const std::vector<std::uint8_t> file = {'Z', 'K', 'E', 'Y', 1, 0, 0, 0, 4, 0, 0, 0, 'k', 0, '1', 0,
                                    3, 0, 0, 0, 0xA1, 0xA2, 0xA3};
    ParsedKeyFile parsed;
    ASSERT_TRUE(ParseKeyFile(file, &parsed));
    EXPECT_EQ(kKeyFileVersionWithoutBits, parsed.version);
    EXPECT_EQ(u"k1", parsed.name);
    EXPECT_EQ(0u, parsed.bits);
    ASSERT_EQ(3u, parsed.blob.size());
    EXPECT_EQ(0xA1, parsed.blob[0]);
    for (size_t n = 0; n < file.size(); ++n) {
        EXPECT_FALSE(ParseKeyFile(Prefix(file, n), &parsed)) << n;
    }
}

}  // namespace
