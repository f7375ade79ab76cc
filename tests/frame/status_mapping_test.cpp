#include "ksp_status.h"
#include "status_mapping.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    ULONG bcrypt;
    ULONG provider;
};

TEST(StatusMapping, EveryRow)
{
    const Row rows[] = {
        {0x00000000, 0},                       // success
        {0x00000103, 0},                       // STATUS_PENDING, informational
        {0x40000000, 0},                       // any non-negative value
        {0x7FFFFFFF, 0},
        {0xC0000008, 0x80090026},              // invalid handle
        {0xC000000D, 0x80090027},              // invalid parameter
        {0xC0000017, 0x8009000E},              // no memory
        {0xC000009A, 0x8009000E},              // insufficient resources
        {0xC0000023, 0x80090028},              // buffer too small
        {0xC00000BB, 0x80090029},              // not supported
        {0xC000A000, 0x80090006},              // invalid signature
        {0xC00000E5, 0x8009002D},              // internal error
        {0xC0000001, 0x8009002D},              // unlisted failure
        {0xC0000002, 0x8009002D},              // not implemented
        {0x80000005, 0x8009002D},              // a negative warning value
        {0x80000000, 0x8009002D},
        {0xFFFFFFFF, 0x8009002D},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(static_cast<SECURITY_STATUS>(r.provider), MapBcryptStatus(static_cast<LONG>(r.bcrypt)))
            << std::hex << "BCrypt status 0x" << r.bcrypt;
    }
}

}  // namespace
