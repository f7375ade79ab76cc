// What contains a client and what ends serving: the cap on one process's
// connections, the pipe's mandatory label, and "stop" while signers run.
#include "protocol.h"
#include "provider_loader.h"
#include "service_with_keys.h"
#include "signing_burst.h"
#include "public_key_check.h"
#include "unique_resource.h"
#include "wire_client.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kKey[] = L"limits";

UniqueFile ConnectRaw(DWORD access = GENERIC_READ | GENERIC_WRITE)
{
    return UniqueFile(CreateFileW(kPipeNameW, access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The hello's first field (u32 1), or false when the service closed the
// connection without one.
bool ReadsHello(HANDLE pipe)
{
    BYTE hello[4] = {};
    DWORD got = 0;
    return ReadFile(pipe, hello, sizeof hello, &got, nullptr) && got == 4 && hello[0] == 1;
}

unsigned CountOutcome(const std::string& output, const std::string& outcome)
{
    const std::regex line(" outcome=" + outcome + " ");
    return static_cast<unsigned>(std::distance(std::sregex_iterator(output.begin(), output.end(), line),
                                               std::sregex_iterator()));
}

TEST(ServingLimits, ConnectionsAboveTheProcessCapAreDroppedAtOnce)
{
    zt::ServiceWithKeys service;
    service.SetServeOptions(L"--per-client 4");
    std::string error;
    ASSERT_TRUE(service.Start({{kKey, 2048}}, 0, &error)) << error;
    std::vector<UniqueFile> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(ConnectRaw());
        ASSERT_TRUE(held.back());
        EXPECT_TRUE(ReadsHello(held.back().get())) << "connection " << i << " is within the cap";
    }
    // The fifth is closed before any hello, well before the handshake deadline.
    UniqueFile fifth = ConnectRaw();
    ASSERT_TRUE(fifth);
    EXPECT_FALSE(ReadsHello(fifth.get()));
    ASSERT_TRUE(service.process()->WaitForOutput("outcome=too-many-connections", 10000)) << service.process()->Output();
    fifth.Reset();
    // Once the held ones go, the process is served again.
    held.clear();
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    const zt::BurstResult r = zt::RunSigningBurst(provider, kKey, 2, 2);
    EXPECT_TRUE(r.Clean()) << r.Summary() << service.process()->Output();
    EXPECT_EQ(1u, CountOutcome(service.process()->Output(), "too-many-connections"));
    EXPECT_TRUE(service.Stop());
}

TEST(ServingLimits, PipeCarriesTheMediumLabelRefusingReadAndWriteUp)
{
    zt::ServiceWithKeys service;
    std::string error;
    ASSERT_TRUE(service.Start({}, 0, &error)) << error;
    UniqueFile pipe = ConnectRaw(READ_CONTROL);
    ASSERT_TRUE(pipe) << GetLastError();
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION,
                                                                 nullptr, nullptr, nullptr, &sacl, &sd));
    const UniqueLocalBlock held(SizedBlock{static_cast<BYTE*>(sd), 0});
    ASSERT_NE(nullptr, sacl) << "no label on the pipe";
    bool found = false;
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(sacl, i, &ace));
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            continue;
        }
        auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
        BYTE medium[SECURITY_MAX_SID_SIZE];
        PSID sid = medium;
        ASSERT_TRUE(InitializeSid(sid, &authority, 1));
        *GetSidSubAuthority(sid, 0) = SECURITY_MANDATORY_MEDIUM_RID;
        EXPECT_TRUE(EqualSid(&label->SidStart, sid));
        EXPECT_EQ(static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP),
                  label->Mask);
        found = true;
    }
    EXPECT_TRUE(found) << "no mandatory label entry";
    pipe.Reset();
    EXPECT_TRUE(service.Stop());
}

TEST(ServingLimits, StopWhileSignersRunFinishesEveryExchangeInProgress)
{
    zt::ServiceWithKeys service;
    std::string error;
    ASSERT_TRUE(service.Start({{kKey, 2048}}, 0, &error)) << error;
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    zt::BurstResult result;
    std::thread signers([&] { result = zt::RunSigningBurst(provider, kKey, 64, 40); });
    // Stop once some signatures have gone out, while the others are in flight.
    ASSERT_TRUE(service.process()->WaitForOutput("code=2 key=\"limits\" outcome=ok", 60000))
        << service.process()->Output();
    EXPECT_TRUE(service.Stop()) << "stop did not end serving with exit code 0";
    signers.join();
    const std::string out = service.process()->Output();
    const unsigned served = CountOutcome(out, "ok");
    std::printf("[stop under load] %s; service: ok=%u\n", result.Summary().c_str(), served);
    // What the service answered arrived and verified; what came after the
    // stop found no instance and failed cleanly.
    EXPECT_EQ(0u, result.wrongSignatures);
    EXPECT_GT(result.signatures - result.signFailures, 0u);
    EXPECT_GT(result.signFailures, 0u) << "the stop came after the burst; it proves nothing";
    // Every exchange it had begun ended as answered: none was cut off.
    EXPECT_EQ(served, CountOutcome(out, "[a-z-]+")) << out;
    EXPECT_EQ(result.opens - result.openFailures + result.signatures - result.signFailures, served);
}

// However the client cuts its fields 4 to 13 into writes, the service reads
// them whole: a field per write, all in one, a byte per write; and a request
// envelope longer than the service's intake buffer.
TEST(ServingFields, FieldsAreReadWholeHoweverTheClientCutsThem)
{
    zt::ServiceWithKeys service;
    std::string error;
    ASSERT_TRUE(service.Start({{kKey, 2048}}, 0, &error)) << error;
    const std::vector<BYTE> blob = service.PublicBlobOf(kKey);
    std::vector<BYTE> hash(32);
    BCryptGenRandom(nullptr, hash.data(), 32, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    constexpr uint32_t kPkcs1 = 0x2;
    const std::vector<BYTE> sign = zt::RequestPlaintext(kRequestSignHash, zt::OperationPayload(hash, kKey, kPkcs1));
    // 6000 bytes to sign: a ciphertext field longer than the intake, refused
    // as a request (status word 2), so it was read to its end.
    const std::vector<BYTE> oversized =
        zt::RequestPlaintext(kRequestSignHash, zt::OperationPayload(std::vector<BYTE>(6000, 0x5A), kKey, kPkcs1));
    const struct {
        const char* name;
        zt::ClientWrites writes;
    } modes[] = {{"field by field", zt::ClientWrites::FieldByField},
                 {"all at once", zt::ClientWrites::AllAtOnce},
                 {"byte by byte", zt::ClientWrites::ByteByByte}};
    for (const auto& mode : modes) {
        const zt::RawReply signed_ = zt::RawExchange(sign, mode.writes);
        ASSERT_TRUE(signed_.received) << mode.name << service.process()->Output();
        EXPECT_EQ(0u, signed_.status) << mode.name;
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
        EXPECT_TRUE(zt::BCryptVerifies(blob, &padding, hash, signed_.payload, BCRYPT_PAD_PKCS1)) << mode.name;
        const zt::RawReply refused = zt::RawExchange(oversized, mode.writes);
        ASSERT_TRUE(refused.received) << mode.name << " (oversized)";
        EXPECT_EQ(2u, refused.status) << mode.name << " (oversized)";
    }
    EXPECT_TRUE(service.Stop());
}

}  // namespace
