// The service's log never holds up serving: a service whose standard output
// nobody reads (a console window holding a selection, "serve | reader" whose
// reader stalls) keeps serving and ends on "stop"; "--log-file" appends the
// same lines to a file that can be read meanwhile.
#include "provider_loader.h"
#include "service_with_keys.h"
#include "signing_burst.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

constexpr wchar_t kKey[] = L"log";

// Exchanges in rounds, so that a service that has stopped answering fails
// the test within a round's timeouts rather than after thousands of them.
void SignInRounds(const zt::LoadedProvider& provider, unsigned rounds, unsigned threads, unsigned signs,
                  zt::BurstResult* total)
{
    for (unsigned round = 0; round < rounds; ++round) {
        const zt::BurstResult r = zt::RunSigningBurst(provider, kKey, threads, signs);
        total->opens += r.opens;
        total->signatures += r.signatures;
        ASSERT_TRUE(r.Clean()) << "round " << round << ": " << r.Summary();
    }
}

size_t Count(const std::string& text, const std::regex& pattern)
{
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                                             std::sregex_iterator()));
}

}  // namespace

TEST(ServiceLog, OutputNobodyReadsStopsNoExchangeAndNotStop)
{
    zt::ServiceWithKeys service;
    service.SetOutputUnread();  // and the defaults, as a user starts it
    std::string error;
    ASSERT_TRUE(service.Start({{kKey, 2048}}, 0, &error)) << error;
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());

    // 38 rounds of 16 threads: 608 opens and 3040 signatures, far more
    // lines than the pipe holds.
    zt::BurstResult total;
    SignInRounds(provider, 38, 16, 5, &total);
    EXPECT_EQ(38u * 16 * 5, total.signatures);
    EXPECT_EQ(38u * 16, total.opens);
    ASSERT_TRUE(service.running());

    const ULONGLONG before = GetTickCount64();
    EXPECT_TRUE(service.process()->Stop(15000)) << "exit code " << service.process()->ExitCode();
    EXPECT_FALSE(service.running());
    const ULONGLONG stopMs = GetTickCount64() - before;
    std::printf("[unread stdout] %llu exchanges, stop took %llu ms\n",
                static_cast<unsigned long long>(total.opens + total.signatures), stopMs);
    EXPECT_LT(stopMs, 15000u);
}

TEST(ServiceLog, LogFileHasOneLinePerExchangeAndIsReadableWhileServing)
{
    zt::TempFolder folder;
    ASSERT_TRUE(folder.ok());
    const std::wstring logPath = folder.File(L"service.log");
    ASSERT_TRUE(zt::WriteFileBytes(logPath, std::string("earlier line\r\n")));
    zt::ServiceWithKeys service;
    service.SetServeOptions(L"--log-file \"" + logPath + L"\"");
    std::string error;
    ASSERT_TRUE(service.Start({{kKey, 2048}}, 0, &error)) << error;
    std::string text;
    zt::ReadFileBytes(logPath, text);
    ASSERT_NE(std::string::npos, text.find("serving ")) << text;
    EXPECT_EQ(0u, text.find("earlier line\r\n")) << "appended to, not replaced";

    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    zt::BurstResult total;
    SignInRounds(provider, 2, 4, 5, &total);
    const std::regex ok(R"(Z code=\d+ key="log" outcome=ok ms=\d+\r\n)");
    const size_t exchanges = total.opens + total.signatures;
    for (int i = 0; i < 500 && Count(text, ok) < exchanges; ++i) {
        Sleep(10);
        zt::ReadFileBytes(logPath, text);
    }
    EXPECT_EQ(exchanges, Count(text, ok)) << text;
    EXPECT_TRUE(service.Stop());
    zt::ReadFileBytes(logPath, text);
    EXPECT_NE(std::string::npos, text.find("\r\nstopped\r\n")) << text;
    EXPECT_EQ(std::string::npos, service.process()->Output().find("outcome=")) << "stdout: " << service.process()->Output();
}
