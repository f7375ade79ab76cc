#include "hash_algorithm.h"

#include <gtest/gtest.h>

namespace {

TEST(ToolArgs, HashIdentifiers)
{
    EXPECT_STREQ(L"SHA1", zkt::HashAlgorithmId(zkt::HashAlgorithm::Sha1));
    EXPECT_STREQ(L"SHA512", zkt::HashAlgorithmId(zkt::HashAlgorithm::Sha512));
}

}  // namespace
