// -enum against a recording stand-in for CNG's configuration functions.
#include "config_run.h"
#include "registration_double.h"

#include <gtest/gtest.h>

namespace {

TEST(EnumCommand, ListsEveryRegisteredProviderAndFreesTheBuffer)
{
    zt::RegistrationDouble cng;
    ASSERT_TRUE(cng.active());
    cng.AddRegisteredProvider(L"Basic Primitive Provider");
    cng.AddRegisteredProvider(L"Software Key Storage Provider");
    ASSERT_EQ(0, zt::RunConfig({L"-register"}).exitCode);
    cng.ClearCalls();

    const zt::ConfigRun run = zt::RunConfig({L"-Enum"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("Basic Primitive Provider\r\n"
              "Software Key Storage Provider\r\n"
              "Zentrava Key Storage Provider\r\n",
              run.out);
    ASSERT_EQ((std::vector<std::string>{"BCryptEnumRegisteredProviders", "BCryptFreeBuffer"}), cng.CallNames());
    // The platform is asked to allocate: size 0, no buffer.
    EXPECT_EQ(0u, cng.calls()[0].sizeIn);
    EXPECT_TRUE(cng.calls()[0].bufferInNull);
    EXPECT_EQ(cng.calls()[0].buffer, cng.calls()[1].buffer);
    EXPECT_EQ(0u, cng.OutstandingBuffers());
}

TEST(EnumCommand, EmptyListPrintsNothingButStillFreesTheBuffer)
{
    zt::RegistrationDouble cng;
    const zt::ConfigRun run = zt::RunConfig({L"-enum"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ((std::vector<std::string>{"BCryptEnumRegisteredProviders", "BCryptFreeBuffer"}), cng.CallNames());
    EXPECT_EQ(0u, cng.OutstandingBuffers());
}

TEST(EnumCommand, SuccessWithoutBufferIsReported)
{
    zt::RegistrationDouble cng;
    cng.AddRegisteredProvider(L"Basic Primitive Provider");
    cng.EnumGivesNoBuffer();
    const zt::ConfigRun run = zt::RunConfig({L"-enum"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptEnumRegisteredProviders returned a NULL ptr\r\n", run.out);
    EXPECT_EQ(std::vector<std::string>{"BCryptEnumRegisteredProviders"}, cng.CallNames());
}

TEST(EnumCommand, FailureIsReportedWithItsStatus)
{
    zt::RegistrationDouble cng;
    cng.AddRegisteredProvider(L"Basic Primitive Provider");
    cng.FailWith("BCryptEnumRegisteredProviders", static_cast<NTSTATUS>(0xC0000017));
    const zt::ConfigRun run = zt::RunConfig({L"-enum"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptEnumRegisteredProviders failed with error code 0xc0000017\r\n", run.out);
    EXPECT_EQ(std::vector<std::string>{"BCryptEnumRegisteredProviders"}, cng.CallNames());
}

}  // namespace
