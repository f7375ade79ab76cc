// -register and -unregister against a recording stand-in for CNG's
// configuration functions, driving the tool's own command code.
#include "config_run.h"
#include "registration_double.h"

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

const std::wstring kProvider = L"Zentrava Key Storage Provider";
constexpr ULONG kInterface = 0x00010001;

const Names kRegisterCalls = {"BCryptRegisterProvider", "BCryptAddContextFunction",
                              "BCryptAddContextFunctionProvider"};
const Names kUnregisterCalls = {"BCryptRemoveContextFunctionProvider", "BCryptUnregisterProvider"};

TEST(RegisterCommand, PassesTheRegistrationRecordAndAddsToKeyStorage)
{
    zt::RegistrationDouble cng;
    ASSERT_TRUE(cng.active());
    const zt::ConfigRun run = zt::RunConfig({L"-register"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("", run.out);
    ASSERT_EQ(kRegisterCalls, cng.CallNames());

    const zt::ConfigCall& reg = cng.calls()[0];
    EXPECT_EQ(kProvider, reg.provider);
    EXPECT_EQ(0u, reg.flags);  // no CRYPT_OVERWRITE
    const zt::RegistrationCopy& r = reg.record;
    EXPECT_EQ(0u, r.aliasCount);
    EXPECT_TRUE(r.aliasesNull);
    EXPECT_FALSE(r.hasKernelMode);
    ASSERT_TRUE(r.hasUserMode);
    EXPECT_EQ(L"ZentravaKSP.dll", r.image);
    ASSERT_EQ(1u, r.interfaceCount);
    ASSERT_EQ(1u, r.interfaces.size());
    EXPECT_EQ(kInterface, r.interfaces[0].interfaceId);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), r.interfaces[0].flags);
    ASSERT_EQ(1u, r.interfaces[0].functionCount);
    EXPECT_EQ(std::vector<std::wstring>{L"KEY_STORAGE"}, r.interfaces[0].functions);

    const zt::ConfigCall& fn = cng.calls()[1];
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), fn.table);
    EXPECT_TRUE(fn.contextNull);
    EXPECT_EQ(kInterface, fn.interfaceId);
    EXPECT_EQ(L"KEY_STORAGE", fn.function);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_PRIORITY_BOTTOM), fn.position);

    const zt::ConfigCall& prov = cng.calls()[2];
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), prov.table);
    EXPECT_TRUE(prov.contextNull);
    EXPECT_EQ(kInterface, prov.interfaceId);
    EXPECT_EQ(L"KEY_STORAGE", prov.function);
    EXPECT_EQ(kProvider, prov.provider);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_PRIORITY_BOTTOM), prov.position);

    EXPECT_TRUE(cng.IsRegistered(kProvider));
    const auto* entry = cng.FunctionEntry(kInterface, L"KEY_STORAGE");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(std::vector<std::wstring>{kProvider}, *entry);
}

TEST(RegisterCommand, CommandWordIgnoresCaseAndFurtherArguments)
{
    for (const wchar_t* word : {L"-REGISTER", L"-Register", L"-rEgIsTeR"}) {
        zt::RegistrationDouble cng;
        const zt::ConfigRun run = zt::RunConfig({word, L"-enum", L"ignored"});
        EXPECT_EQ(0, run.exitCode) << word;
        EXPECT_EQ("", run.out) << word;
        EXPECT_EQ(kRegisterCalls, cng.CallNames()) << word;
    }
}

TEST(RegisterCommand, NearMissesAreUnrecognized)
{
    for (const wchar_t* word : {L"-registe", L"-registerx", L"register", L"--register", L"-register "}) {
        zt::RegistrationDouble cng;
        const zt::ConfigRun run = zt::RunConfig({word});
        EXPECT_EQ(1, run.exitCode);
        const std::string narrow(word, word + wcslen(word));
        EXPECT_EQ("Unrecognized command \"" + narrow + "\"\r\n"
                  "Usage: ZentravaKSPconfig -enum | -register | -unregister | -cleanup\r\n",
                  run.out);
        EXPECT_TRUE(cng.calls().empty());
    }
}

TEST(RegisterCommand, AlreadyRegisteredReportsAndStillMakesTheContextCalls)
{
    zt::RegistrationDouble cng;
    ASSERT_EQ(0, zt::RunConfig({L"-register"}).exitCode);
    cng.ClearCalls();

    const zt::ConfigRun run = zt::RunConfig({L"-register"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptRegisterProvider failed with error code 0xc0000035\r\n", run.out);
    EXPECT_EQ(kRegisterCalls, cng.CallNames());
    const auto* entry = cng.FunctionEntry(kInterface, L"KEY_STORAGE");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(std::vector<std::wstring>{kProvider}, *entry);
}

TEST(RegisterCommand, EachFailureIsReportedWithItsStatusAndTheNextCallStillMade)
{
    zt::RegistrationDouble cng;
    cng.FailWith("BCryptRegisterProvider", static_cast<NTSTATUS>(0xC0000022));
    cng.FailWith("BCryptAddContextFunction", static_cast<NTSTATUS>(0xC000000D));
    cng.FailWith("BCryptAddContextFunctionProvider", static_cast<NTSTATUS>(0x80000005));
    const zt::ConfigRun run = zt::RunConfig({L"-register"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptRegisterProvider failed with error code 0xc0000022\r\n"
              "BCryptAddContextFunction failed with error code 0xc000000d\r\n"
              "BCryptAddContextFunctionProvider failed with error code 0x80000005\r\n",
              run.out);
    EXPECT_EQ(kRegisterCalls, cng.CallNames());
}

TEST(RegisterCommand, AddFunctionFailureIsReportedAndRegistrationKept)
{
    zt::RegistrationDouble cng;
    cng.FailWith("BCryptAddContextFunction", 0x00000102);  // small codes are zero-padded
    const zt::ConfigRun run = zt::RunConfig({L"-register"});
    EXPECT_EQ(0, run.exitCode);
    // The function entry was never added, so adding the provider fails too.
    EXPECT_EQ("BCryptAddContextFunction failed with error code 0x00000102\r\n"
              "BCryptAddContextFunctionProvider failed with error code 0xc0000225\r\n",
              run.out);
    EXPECT_TRUE(cng.IsRegistered(kProvider));
}

TEST(UnregisterCommand, RemovesTheProviderButLeavesTheFunctionEntry)
{
    zt::RegistrationDouble cng;
    cng.AddRegisteredProvider(L"Other Key Storage Provider");
    ASSERT_EQ(0, zt::RunConfig({L"-register"}).exitCode);
    cng.ClearCalls();

    const zt::ConfigRun run = zt::RunConfig({L"-UNREGISTER"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("", run.out);
    ASSERT_EQ(kUnregisterCalls, cng.CallNames());
    const zt::ConfigCall& remove = cng.calls()[0];
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), remove.table);
    EXPECT_TRUE(remove.contextNull);
    EXPECT_EQ(kInterface, remove.interfaceId);
    EXPECT_EQ(L"KEY_STORAGE", remove.function);
    EXPECT_EQ(kProvider, remove.provider);
    EXPECT_EQ(kProvider, cng.calls()[1].provider);

    EXPECT_FALSE(cng.IsRegistered(kProvider));
    EXPECT_TRUE(cng.IsRegistered(L"Other Key Storage Provider"));
    const auto* entry = cng.FunctionEntry(kInterface, L"KEY_STORAGE");
    ASSERT_NE(nullptr, entry);
    EXPECT_TRUE(entry->empty());
}

TEST(UnregisterCommand, FirstFailureIsReportedAndUnregisterStillCalled)
{
    zt::RegistrationDouble cng;
    ASSERT_EQ(0, zt::RunConfig({L"-register"}).exitCode);
    cng.ClearCalls();
    cng.FailWith("BCryptRemoveContextFunctionProvider", static_cast<NTSTATUS>(0xC0000022));

    const zt::ConfigRun run = zt::RunConfig({L"-unregister"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptRemoveContextFunctionProvider failed with error code 0xc0000022\r\n", run.out);
    EXPECT_EQ(kUnregisterCalls, cng.CallNames());
    EXPECT_FALSE(cng.IsRegistered(kProvider));
}

TEST(UnregisterCommand, NotRegisteredReportsBothFailures)
{
    zt::RegistrationDouble cng;
    const zt::ConfigRun run = zt::RunConfig({L"-unregister"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("BCryptRemoveContextFunctionProvider failed with error code 0xc0000225\r\n"
              "BCryptUnregisterProvider failed with error code 0xc0000225\r\n",
              run.out);
    EXPECT_EQ(kUnregisterCalls, cng.CallNames());
}

}  // namespace
