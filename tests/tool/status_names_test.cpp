#include "status_names.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Values from the platform headers, names typed in the tool: a typo in
// either shows up here.
#define ENTRY(code) {static_cast<LONG>(code), #code}
struct Expected {
    LONG code;
    const char* name;
};
const Expected kProviderStatuses[] = {
    ENTRY(NTE_BAD_KEY),       ENTRY(NTE_BAD_SIGNATURE),     ENTRY(NTE_BAD_FLAGS),
    ENTRY(NTE_BAD_KEY_STATE), ENTRY(NTE_NO_MEMORY),         ENTRY(NTE_PERM),
    ENTRY(NTE_BAD_KEYSET),    ENTRY(NTE_INVALID_HANDLE),    ENTRY(NTE_INVALID_PARAMETER),
    ENTRY(NTE_BUFFER_TOO_SMALL), ENTRY(NTE_NOT_SUPPORTED),  ENTRY(NTE_INTERNAL_ERROR),
    ENTRY(NTE_BAD_DATA),      ENTRY(NTE_BAD_LEN),           ENTRY(NTE_NOT_FOUND),
    ENTRY(NTE_EXISTS),        ENTRY(NTE_DECRYPTION_FAILURE), ENTRY(NTE_NO_MORE_ITEMS),
    ENTRY(NTE_BAD_ALGID),     ENTRY(NTE_BAD_TYPE),          ENTRY(NTE_PROVIDER_DLL_FAIL),
};
#undef ENTRY

TEST(StatusNames, EveryProviderStatusHasItsPlatformName)
{
    for (const Expected& e : kProviderStatuses) {
        const char* name = zkt::StatusName(e.code);
        ASSERT_NE(nullptr, name) << std::hex << e.code;
        EXPECT_STREQ(e.name, name);
    }
}

TEST(StatusNames, BcryptStatusesThatProvidersPassOn)
{
    EXPECT_STREQ("STATUS_NOT_IMPLEMENTED", zkt::StatusName(static_cast<LONG>(0xC0000002UL)));
    EXPECT_STREQ("STATUS_INVALID_SIGNATURE", zkt::StatusName(static_cast<LONG>(0xC000A000UL)));
    EXPECT_STREQ("STATUS_INVALID_PARAMETER", zkt::StatusName(static_cast<LONG>(0xC000000DUL)));
    EXPECT_STREQ("STATUS_NOT_SUPPORTED", zkt::StatusName(static_cast<LONG>(0xC00000BBUL)));
}

TEST(StatusNames, FormattedAsEightUpperCaseHexDigitsAndName)
{
    char text[96];
    zkt::FormatStatus(static_cast<LONG>(0x80090016UL), text, sizeof text);
    EXPECT_STREQ("0x80090016 NTE_BAD_KEYSET", text);
    zkt::FormatStatus(0, text, sizeof text);
    EXPECT_STREQ("0x00000000 ERROR_SUCCESS", text);
    zkt::FormatStatus(static_cast<LONG>(0x8009ABCDUL), text, sizeof text);
    EXPECT_STREQ("0x8009ABCD (unknown status)", text);
    EXPECT_EQ(nullptr, zkt::StatusName(static_cast<LONG>(0x8009ABCDUL)));
    // A small buffer truncates instead of overrunning.
    char small[8];
    memset(small, 'x', sizeof small);
    zkt::FormatStatus(static_cast<LONG>(0x80090016UL), small, sizeof small);
    EXPECT_STREQ("0x80090", small);
}

TEST(StatusNames, Win32Errors)
{
    EXPECT_STREQ("ERROR_FILE_NOT_FOUND", zkt::Win32ErrorName(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ("ERROR_MOD_NOT_FOUND", zkt::Win32ErrorName(ERROR_MOD_NOT_FOUND));
    EXPECT_STREQ("ERROR_ACCESS_DENIED", zkt::Win32ErrorName(ERROR_ACCESS_DENIED));
    EXPECT_STREQ("ERROR_PATH_NOT_FOUND", zkt::Win32ErrorName(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(nullptr, zkt::Win32ErrorName(99999));
}

}  // namespace
