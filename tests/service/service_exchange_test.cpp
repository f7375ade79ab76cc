// Real exchanges with the real service process, through the provider's own
// PipeExchange (and a raw client where the status word matters).
#include "channel/pipe_secret.h"
#include "protocol.h"
#include "ksp_status.h"
#include "wire_client.h"
#include "service_test_util.h"
#include "data_root.h"
#include "provider_loader.h"
#include "public_key_check.h"
#include "service_process.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using zt::NameBytes;
using zt::OperationPayload;
using zt::RawExchange;
using zt::RawReply;

constexpr uint32_t kPadNone = 0x1;
constexpr uint32_t kPadPkcs1 = 0x2;
constexpr uint32_t kPadOaep = 0x4;
constexpr uint32_t kPadPss = 0x8;
constexpr uint32_t kSilent = 0x40;

struct TestKey {
    const wchar_t* name;
    ULONG bits;
};
const TestKey kKeys[] = {{L"rsa2048", 2048}, {L"rsa3072", 3072}};

// A local key pair, to learn what this platform's BCrypt offers at all
// (Wine has no PSS with SHA-1).
BCRYPT_KEY_HANDLE LocalKeyPair()
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0) >= 0 &&
        (BCryptGenerateKeyPair(alg, &key, 2048, 0) < 0 || BCryptFinalizeKeyPair(key, 0) < 0)) {
        key = nullptr;
    }
    if (alg != nullptr) {
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    return key;
}

bool PlatformSignsPss(const wchar_t* hashAlg, ULONG hashLength)
{
    static std::map<ULONG, bool> known;
    auto it = known.find(hashLength);
    if (it != known.end()) {
        return it->second;
    }
    BCRYPT_KEY_HANDLE key = LocalKeyPair();
    BCRYPT_PSS_PADDING_INFO pss{hashAlg, hashLength};
    BYTE hash[64] = {1};
    BYTE sig[256];
    ULONG written = 0;
    bool ok = key != nullptr &&
              BCryptSignHash(key, &pss, hash, hashLength, sig, sizeof(sig), &written, BCRYPT_PAD_PSS) == 0;
    if (key != nullptr) {
        BCryptDestroyKey(key);
    }
    known[hashLength] = ok;
    return ok;
}


class ServiceExchange : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new zt::TempDataRoot();
        ASSERT_TRUE(root_->ok());
        root_->SetVariable(root_->path());
        ASSERT_EQ(0u, zt::RunService(L"create rsa2048", root_->path()).exitCode);
        ASSERT_EQ(0u, zt::RunService(L"create rsa3072 --bits 3072", root_->path()).exitCode);
        service_ = new zt::ServiceProcess();
        ASSERT_TRUE(service_->Start(root_->path())) << service_->Output();
    }
    static void TearDownTestSuite()
    {
        if (service_ != nullptr) {
            EXPECT_TRUE(service_->Stop()) << service_->Output();
        }
        delete service_;
        delete root_;
        service_ = nullptr;
        root_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(nullptr, service_);
        ASSERT_TRUE(service_->Running()) << service_->Output();
        root_->SetVariable(root_->path());
    }

    static std::vector<BYTE> PublicBlob(const wchar_t* name)
    {
        std::vector<BYTE> blob;
        EXPECT_EQ(0, ExchangeWithService(kRequestPublicKey, NameBytes(name), &blob));
        return blob;
    }

    static zt::TempDataRoot* root_;
    static zt::ServiceProcess* service_;
};
zt::TempDataRoot* ServiceExchange::root_ = nullptr;
zt::ServiceProcess* ServiceExchange::service_ = nullptr;

TEST_F(ServiceExchange, PublicKeyIsAnRsaPublicBlobOfTheKeysSize)
{
    for (const TestKey& k : kKeys) {
        std::vector<BYTE> blob = PublicBlob(k.name);
        ASSERT_GE(blob.size(), sizeof(BCRYPT_RSAKEY_BLOB));
        BCRYPT_RSAKEY_BLOB header;
        memcpy(&header, blob.data(), sizeof(header));
        EXPECT_EQ(static_cast<ULONG>(BCRYPT_RSAPUBLIC_MAGIC), header.Magic);
        EXPECT_EQ(k.bits, header.BitLength);
        EXPECT_EQ(0u, header.cbPrime1);  // nothing private travels
        EXPECT_EQ(sizeof(header) + header.cbPublicExp + header.cbModulus, blob.size());
        BCRYPT_KEY_HANDLE key = ImportPublicKey(blob);
        EXPECT_NE(nullptr, key);
        if (key != nullptr) {
            BCryptDestroyKey(key);
        }
    }
}

TEST_F(ServiceExchange, SignaturesVerifyForEveryHashLengthAndPadding)
{
    const struct {
        ULONG length;
        const wchar_t* alg;
    } kHashes[] = {{20, BCRYPT_SHA1_ALGORITHM},
                   {32, BCRYPT_SHA256_ALGORITHM},
                   {48, BCRYPT_SHA384_ALGORITHM},
                   {64, BCRYPT_SHA512_ALGORITHM}};
    for (const TestKey& k : kKeys) {
        std::vector<BYTE> blob = PublicBlob(k.name);
        for (const auto& h : kHashes) {
            for (uint32_t flags : {kPadPkcs1, kPadPss, kPadPkcs1 | kSilent}) {
                SCOPED_TRACE(testing::Message() << "bits " << k.bits << " hash " << h.length << " flags " << flags);
                std::vector<BYTE> hash = RandomBytes(h.length);
                std::vector<BYTE> sig;
                if ((flags & kPadPss) != 0 && !PlatformSignsPss(h.alg, h.length)) {
                    // Answered with a failure, and the key stays usable.
                    EXPECT_EQ(NTE_INTERNAL_ERROR,
                              ExchangeWithService(kRequestSignHash, OperationPayload(hash, k.name, flags), &sig));
                    continue;
                }
                ASSERT_EQ(0, ExchangeWithService(kRequestSignHash, OperationPayload(hash, k.name, flags), &sig));
                ASSERT_EQ(k.bits / 8, sig.size());
                // A fresh public key per check: Wine misbehaves on reuse after PSS.
                BCRYPT_KEY_HANDLE key = ImportPublicKey(blob);
                ASSERT_NE(nullptr, key);
                BCRYPT_PKCS1_PADDING_INFO pkcs1{h.alg};
                BCRYPT_PSS_PADDING_INFO pss{h.alg, h.length};
                bool isPss = (flags & kPadPss) != 0;
                void* info = isPss ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
                ULONG padding = isPss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
                EXPECT_EQ(0, BCryptVerifySignature(key, info, hash.data(), h.length, sig.data(),
                                                   static_cast<ULONG>(sig.size()), padding));
                sig[sig.size() / 2] ^= 0x01;
                EXPECT_NE(0, BCryptVerifySignature(key, info, hash.data(), h.length, sig.data(),
                                                   static_cast<ULONG>(sig.size()), padding));
                BCryptDestroyKey(key);
            }
        }
    }
}

TEST_F(ServiceExchange, DecryptsWhatThePublicKeyEncrypted)
{
    for (const TestKey& k : kKeys) {
        SCOPED_TRACE(k.bits);
        std::vector<BYTE> blob = PublicBlob(k.name);
        BCRYPT_KEY_HANDLE key = ImportPublicKey(blob);
        ASSERT_NE(nullptr, key);
        const ULONG modulus = k.bits / 8;

        std::vector<BYTE> message = RandomBytes(37);
        std::vector<BYTE> cipher(modulus);
        ULONG written = 0;
        ASSERT_EQ(0, BCryptEncrypt(key, message.data(), static_cast<ULONG>(message.size()), nullptr, nullptr, 0,
                                   cipher.data(), modulus, &written, BCRYPT_PAD_PKCS1));
        std::vector<BYTE> plain;
        ASSERT_EQ(0, ExchangeWithService(kRequestDecrypt, OperationPayload(cipher, k.name, kPadPkcs1), &plain));
        EXPECT_EQ(message, plain);

        // Without padding the whole encryption block comes back: 00 02, at
        // least 8 non-zero bytes, 00, then the message.
        ASSERT_EQ(0, BCryptEncrypt(key, message.data(), static_cast<ULONG>(message.size()), nullptr, nullptr, 0,
                                   cipher.data(), modulus, &written, BCRYPT_PAD_PKCS1));
        ASSERT_EQ(0, ExchangeWithService(kRequestDecrypt, OperationPayload(cipher, k.name, kPadNone), &plain));
        ASSERT_EQ(modulus, plain.size());
        EXPECT_EQ(0x00, plain[0]);
        EXPECT_EQ(0x02, plain[1]);
        size_t separator = modulus - message.size() - 1;
        EXPECT_EQ(0x00, plain[separator]);
        EXPECT_TRUE(std::all_of(plain.begin() + 2, plain.begin() + separator, [](BYTE b) { return b != 0; }));
        EXPECT_TRUE(std::equal(message.begin(), message.end(), plain.begin() + separator + 1));
        BCryptDestroyKey(key);
    }
}

TEST_F(ServiceExchange, OaepWhereThePlatformHasIt)
{
    std::vector<BYTE> blob = PublicBlob(L"rsa2048");
    BCRYPT_KEY_HANDLE key = ImportPublicKey(blob);
    ASSERT_NE(nullptr, key);
    std::vector<BYTE> message = RandomBytes(20);
    std::vector<BYTE> cipher(256);
    ULONG written = 0;
    BCRYPT_OAEP_PADDING_INFO oaep{BCRYPT_SHA1_ALGORITHM, nullptr, 0};
    LONG local = BCryptEncrypt(key, message.data(), 20, &oaep, nullptr, 0, cipher.data(), 256, &written,
                               BCRYPT_PAD_OAEP);
    BCryptDestroyKey(key);
    if (local == 0) {
        std::vector<BYTE> plain;
        ASSERT_EQ(0, ExchangeWithService(kRequestDecrypt, OperationPayload(cipher, L"rsa2048", kPadOaep), &plain));
        EXPECT_EQ(message, plain);
    } else {
        // Without OAEP in the platform the service reports a failed operation.
        RawReply reply = RawExchange(zt::RequestPlaintext(kRequestDecrypt, OperationPayload(cipher, L"rsa2048", kPadOaep)));
        ASSERT_TRUE(reply.received);
        EXPECT_EQ(3u, reply.status);
        EXPECT_TRUE(reply.payload.empty());
    }
}

TEST_F(ServiceExchange, FailuresCarryTheirStatusWord)
{
    const std::vector<BYTE> hash = RandomBytes(32);
    const std::vector<BYTE> modulusBytes = RandomBytes(256);
    std::vector<BYTE> truncated = zt::RequestPlaintext(kRequestSignHash, OperationPayload(hash, L"rsa2048", kPadPkcs1));
    truncated.pop_back();
    std::vector<BYTE> oddName = OperationPayload(hash, L"rsa2048", kPadPkcs1);
    oddName[4 + 32] = 13;  // L odd, and no longer matching n
    const struct {
        const char* what;
        std::vector<BYTE> request;
        uint32_t status;
    } kCases[] = {
        {"unknown key, public key", zt::RequestPlaintext(kRequestPublicKey, NameBytes(L"no-such-key")), 1},
        {"unknown key, sign", zt::RequestPlaintext(kRequestSignHash, OperationPayload(hash, L"no-such-key", kPadPkcs1)), 1},
        {"empty key name", zt::RequestPlaintext(kRequestPublicKey, {}), 1},
        {"unknown request code", zt::RequestPlaintext(9, NameBytes(L"rsa2048")), 2},
        {"hash of 31 bytes", zt::RequestPlaintext(kRequestSignHash, OperationPayload(RandomBytes(31), L"rsa2048", kPadPkcs1)), 2},
        {"empty hash", zt::RequestPlaintext(kRequestSignHash, OperationPayload({}, L"rsa2048", kPadPkcs1)), 2},
        {"sign with OAEP", zt::RequestPlaintext(kRequestSignHash, OperationPayload(hash, L"rsa2048", kPadOaep)), 2},
        {"sign with PKCS1 and PSS", zt::RequestPlaintext(kRequestSignHash, OperationPayload(hash, L"rsa2048", kPadPkcs1 | kPadPss)), 2},
        {"decrypt with PSS", zt::RequestPlaintext(kRequestDecrypt, OperationPayload(modulusBytes, L"rsa2048", kPadPss)), 2},
        {"decrypt of 255 bytes", zt::RequestPlaintext(kRequestDecrypt, OperationPayload(RandomBytes(255), L"rsa2048", kPadPkcs1)), 2},
        {"payload length off by one", truncated, 2},
        {"odd key name length", zt::RequestPlaintext(kRequestSignHash, oddName), 2},
        {"odd name, public key", zt::RequestPlaintext(kRequestPublicKey, {'a', 0, 'b'}), 2},
        {"raw input above the modulus", zt::RequestPlaintext(kRequestDecrypt, OperationPayload(std::vector<BYTE>(256, 0xFF), L"rsa2048", kPadNone)), 3},
        {"random bytes are no PKCS1 block", zt::RequestPlaintext(kRequestDecrypt, OperationPayload(modulusBytes, L"rsa2048", kPadPkcs1)), 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        RawReply reply = RawExchange(c.request);
        ASSERT_TRUE(reply.received);
        EXPECT_EQ(c.status, reply.status);
        EXPECT_TRUE(reply.payload.empty());
    }
    RawReply good = RawExchange(zt::RequestPlaintext(kRequestPublicKey, NameBytes(L"rsa2048")));
    ASSERT_TRUE(good.received);
    EXPECT_EQ(0u, good.status);
    EXPECT_FALSE(good.payload.empty());
    // Through the provider's channel every non-zero word is a failure.
    std::vector<BYTE> reply;
    EXPECT_EQ(NTE_INTERNAL_ERROR, ExchangeWithService(kRequestPublicKey, NameBytes(L"no-such-key"), &reply));
    EXPECT_TRUE(service_->WaitForOutput("key=\"no-such-key\" outcome=unknown-key", 2000));
    EXPECT_TRUE(service_->WaitForOutput("code=9 key=- outcome=bad-request", 2000));
}

// Bytes sent after the request are skipped in the close wait, each counted
// once: up to the bound the reply arrives whole and the line says how the
// request went; past it the connection is dropped and the line says so.
TEST_F(ServiceExchange, StrayBytesAfterTheRequestAreCountedOnce)
{
    const std::vector<BYTE> blob = PublicBlob(L"rsa2048");
    ASSERT_FALSE(blob.empty());
    struct Case {
        const wchar_t* key;
        size_t stray;
        bool replied;  // checked only where the reply must come
        const char* line;
    };
    const Case cases[] = {
        {L"rsa2048", 3000, true, nullptr},
        {L"stray-2049", 2049, true, "key=\"stray-2049\" outcome=unknown-key"},
        {L"stray-3000", 3000, true, "key=\"stray-3000\" outcome=unknown-key"},
        {L"stray-4096", 4096, true, "key=\"stray-4096\" outcome=unknown-key"},
        {L"stray-4097", 4097, false, "key=\"stray-4097\" outcome=reply-unconfirmed"},
        {L"stray-9000", 9000, false, "key=\"stray-9000\" outcome=reply-unconfirmed"},
    };
    for (const Case& c : cases) {
        const RawReply reply =
            zt::RawExchangeWithStray(zt::RequestPlaintext(kRequestPublicKey, NameBytes(c.key)), c.stray);
        if (c.replied) {
            EXPECT_TRUE(reply.received) << c.stray << " stray bytes";
        }
        if (c.line == nullptr) {
            EXPECT_EQ(0u, reply.status);
            EXPECT_EQ(blob, reply.payload) << c.stray << " stray bytes";
        } else {
            EXPECT_TRUE(service_->WaitForOutput(c.line, 7000)) << c.line;
        }
    }
}

TEST_F(ServiceExchange, ClientsWithoutTheSecretAreDropped)
{
    RawReply reply = RawExchange(zt::RequestPlaintext(kRequestPublicKey, NameBytes(L"rsa2048")), true);
    EXPECT_FALSE(reply.received);
    EXPECT_TRUE(service_->WaitForOutput("outcome=proof-rejected", 2000));
    {
        zt::TempDataRoot stranger;  // LOCALAPPDATA now names a store with another secret
        std::vector<BYTE> blob;
        EXPECT_EQ(NTE_INTERNAL_ERROR, ExchangeWithService(kRequestPublicKey, NameBytes(L"rsa2048"), &blob));
    }
    root_->SetVariable(root_->path());
    EXPECT_FALSE(PublicBlob(L"rsa2048").empty());
}

TEST_F(ServiceExchange, PipeAdmitsOnlyTheCurrentUser)
{
    HANDLE pipe = CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &sd));
    CloseHandle(pipe);
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1u, dacl->AceCount);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE user[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof(user), &size));
    CloseHandle(token);
    EXPECT_TRUE(EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &allowed->SidStart));
    LocalFree(sd);
}

// Whether the service still holds this client's connection: what it sent
// (its hello) is read off first, so that only a connection that is really
// there answers.
bool StillConnected(HANDLE pipe)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        std::vector<BYTE> sent(available);
        DWORD got = 0;
        if (!ReadFile(pipe, sent.data(), available, &got, nullptr)) {
            return false;
        }
    }
}

TEST_F(ServiceExchange, StalledClientDoesNotHoldUpOthers)
{
    // One client connects and goes silent: its instance waits out its 5 s
    // read. Twelve others at once must all be served meanwhile (a few of the
    // 16 instances are left spare: one just used may not listen again yet,
    // and a client that finds no listening instance fails at once).
    HANDLE stalled = CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, stalled);
    std::vector<BYTE> blob2048 = PublicBlob(L"rsa2048");
    const int kClients = 12;
    std::atomic<int> ready{0};
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            const TestKey& k = kKeys[i % 2];
            std::vector<BYTE> hash = RandomBytes(32);
            ++ready;
            while (ready.load() < kClients) {
                Sleep(0);
            }
            std::vector<BYTE> sig;
            if (ExchangeWithService(kRequestSignHash, OperationPayload(hash, k.name, kPadPkcs1), &sig) == 0 &&
                sig.size() == k.bits / 8) {
                ++served;
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    // They were served during the stall, not after it: the service has not
    // dropped the stalled client yet.
    EXPECT_TRUE(StillConnected(stalled)) << "the stalled client was dropped before the others were done";
    EXPECT_EQ(kClients, served.load()) << service_->Output();
    EXPECT_FALSE(blob2048.empty());
    // And it does drop it once the read's bound runs out. Hang guard only:
    // 600 looks 100 ms apart stand far beyond the 5 s bound.
    bool dropped = false;
    for (int look = 0; look < 600 && !dropped; ++look) {
        dropped = !StillConnected(stalled);
        if (!dropped) {
            Sleep(100);
        }
    }
    EXPECT_TRUE(dropped) << "the service never dropped the stalled client";
    CloseHandle(stalled);
}

TEST_F(ServiceExchange, ManyClientsManyExchanges)
{
    // In flight plus just released stays below the 16 instances.
    const int kThreads = 6;
    const int kEach = 6;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const TestKey& k = kKeys[(t + i) % 2];
                std::vector<BYTE> out;
                uint32_t code = i % 2 == 0 ? kRequestPublicKey : kRequestSignHash;
                std::vector<BYTE> payload = code == kRequestPublicKey
                                                ? NameBytes(k.name)
                                                : OperationPayload(RandomBytes(48), k.name, kPadPss);
                if (ExchangeWithService(code, payload, &out) == 0 && !out.empty()) {
                    ++ok;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(kThreads * kEach, ok.load());
}

TEST_F(ServiceExchange, DeletedAndRecreatedKeysAreSeenAtOnce)
{
    ASSERT_EQ(0u, zt::RunService(L"create rotating", root_->path()).exitCode);
    std::vector<BYTE> first = PublicBlob(L"rotating");
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(0u, zt::RunService(L"delete rotating", root_->path()).exitCode);
    RawReply gone = RawExchange(zt::RequestPlaintext(kRequestPublicKey, NameBytes(L"rotating")));
    ASSERT_TRUE(gone.received);
    EXPECT_EQ(1u, gone.status);
    ASSERT_EQ(0u, zt::RunService(L"create rotating", root_->path()).exitCode);
    std::vector<BYTE> second = PublicBlob(L"rotating");
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
}

TEST_F(ServiceExchange, DamagedKeyFileIsReportedAndLeftAlone)
{
    ASSERT_EQ(0u, zt::RunService(L"create fragile", root_->path()).exitCode);
    ASSERT_FALSE(PublicBlob(L"fragile").empty());  // now cached
    std::wstring file = FindKeyFile(root_->path(), L"fragile");
    ASSERT_FALSE(file.empty());
    std::vector<BYTE> content = ReadAll(file);
    content.resize(content.size() - 40);
    ASSERT_TRUE(WriteAll(file, content));

    RawReply reply = RawExchange(zt::RequestPlaintext(kRequestPublicKey, NameBytes(L"fragile")));
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(3u, reply.status);
    EXPECT_TRUE(service_->WaitForOutput("key=\"fragile\" outcome=key-file-damaged", 2000));

    zt::ToolResult list = zt::RunService(L"list", root_->path());
    EXPECT_EQ(4u, list.exitCode);
    EXPECT_NE(std::string::npos, list.output.find("fragile\tdamaged")) << list.output;
    zt::ToolResult create = zt::RunService(L"create fragile", root_->path());
    EXPECT_EQ(4u, create.exitCode) << create.output;
    EXPECT_EQ(content, ReadAll(file));
    // The other keys still work.
    EXPECT_FALSE(PublicBlob(L"rsa2048").empty());
    EXPECT_EQ(0u, zt::RunService(L"delete fragile", root_->path()).exitCode);
}

TEST_F(ServiceExchange, LogHasOneLinePerExchangeAndNoSecrets)
{
    // A recognizable plaintext that must never reach the log.
    std::string marker = "PLAINTEXT-MARKER-7f3a";
    std::vector<BYTE> message(marker.begin(), marker.end());
    BCRYPT_KEY_HANDLE key = ImportPublicKey(PublicBlob(L"rsa2048"));
    ASSERT_NE(nullptr, key);
    std::vector<BYTE> cipher(256);
    ULONG written = 0;
    ASSERT_EQ(0, BCryptEncrypt(key, message.data(), static_cast<ULONG>(message.size()), nullptr, nullptr, 0,
                               cipher.data(), 256, &written, BCRYPT_PAD_PKCS1));
    BCryptDestroyKey(key);
    std::vector<BYTE> plain;
    ASSERT_EQ(0, ExchangeWithService(kRequestDecrypt, OperationPayload(cipher, L"rsa2048", kPadPkcs1), &plain));
    ASSERT_TRUE(service_->WaitForOutput("code=3 key=\"rsa2048\" outcome=ok", 2000));

    std::string output = service_->Output();
    EXPECT_EQ(std::string::npos, output.find(marker));
    BYTE* secret = nullptr;
    uint32_t secretLength = 0;
    ASSERT_EQ(0, LoadPipeSecret(&secret, &secretLength));
    char hex[3];
    std::string secretHex;
    for (uint32_t i = 0; i < secretLength; ++i) {
        snprintf(hex, sizeof(hex), "%02x", secret[i]);
        secretHex += hex;
    }
    EXPECT_EQ(std::string::npos, output.find(std::string(reinterpret_cast<char*>(secret), 8)));
    EXPECT_EQ(std::string::npos, output.find(secretHex.substr(0, 16)));
    SecureZeroMemory(secret, secretLength);
    HeapFree(GetProcessHeap(), 0, secret);

    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z code=(\d+|-) key=("[^"]*"|-) outcome=[a-z-]+ ms=\d+\r?)");
    std::istringstream lines(output);
    std::string text;
    int exchanges = 0;
    while (std::getline(lines, text)) {
        if (text.rfind("serving ", 0) == 0) {
            continue;
        }
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++exchanges;
    }
    EXPECT_GT(exchanges, 10);
}

TEST(ServiceLifecycle, SecondServiceRefusesAndStopCommandEndsTheFirst)
{
    zt::TempDataRoot root;
    zt::ServiceProcess service;
    ASSERT_TRUE(service.Start(root.path(), L"--instances 3")) << service.Output();
    EXPECT_NE(std::string::npos, service.Output().find("with 3 instances"));
    zt::ToolResult second = zt::RunService(L"serve", root.path());
    EXPECT_EQ(6u, second.exitCode) << second.output;
    EXPECT_TRUE(service.Running());
    EXPECT_TRUE(service.Stop());
    EXPECT_NE(std::string::npos, service.Output().find("stopped"));
    EXPECT_EQ(7u, zt::RunService(L"stop").exitCode);
    // The name is free again.
    zt::ServiceProcess again;
    EXPECT_TRUE(again.Start(root.path())) << again.Output();
    EXPECT_TRUE(again.Stop());
}

// A profile folder whose name the ANSI code page cannot hold: the service
// creates the key and the secret, serves, and the provider DLL in this
// process (same LOCALAPPDATA) opens, signs and decrypts with it.
TEST(ServiceDataRoot, WorksWithTheProviderOutsideTheAnsiCodePage)
{
    zt::TempDataRoot root(0, L"data\u0416\u4e2d");
    ASSERT_TRUE(root.ok());
    const zt::ToolResult created = zt::RunService(L"create wide", root.widePath(), 60000);
    ASSERT_EQ(0u, created.exitCode) << created.output;
    const zt::ToolResult listed = zt::RunService(L"list", root.widePath());
    EXPECT_EQ(0u, listed.exitCode);
    EXPECT_NE(std::string::npos, listed.output.find("wide\t2048")) << listed.output;
    zt::ServiceProcess service;
    ASSERT_TRUE(service.Start(root.widePath())) << service.Output();
    {
        zt::LoadedProvider provider;
        ASSERT_TRUE(provider.ok());
        NCRYPT_PROV_HANDLE prov = 0;
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
        NCRYPT_KEY_HANDLE key = 0;
        ASSERT_EQ(0, provider->OpenKey(prov, &key, L"wide", 0, 0));
        std::vector<BYTE> blob(1024);
        DWORD size = 0;
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob.data(), 1024, &size, 0));
        blob.resize(size);
        std::vector<BYTE> hash(32, 0x3C);
        BCRYPT_PKCS1_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM};
        std::vector<BYTE> sig(256);
        ASSERT_EQ(0, provider->SignHash(prov, key, &sha256, hash.data(), 32, sig.data(), 256, &size, kPadPkcs1));
        EXPECT_TRUE(zt::BCryptVerifies(blob, &sha256, hash, sig, BCRYPT_PAD_PKCS1));
        BYTE message[] = "outside the code page";
        std::vector<BYTE> cipher(256);
        ASSERT_EQ(0, provider->Encrypt(prov, key, message, sizeof message, nullptr, cipher.data(), 256, &size,
                                       kPadPkcs1));
        std::vector<BYTE> plain(256);
        ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), 256, nullptr, plain.data(), 256, &size, kPadPkcs1));
        EXPECT_EQ(std::vector<BYTE>(message, message + sizeof message), std::vector<BYTE>(plain.begin(), plain.begin() + size));
        EXPECT_EQ(0, provider->FreeKey(prov, key));
        EXPECT_EQ(0, provider->FreeProvider(prov));
    }
    EXPECT_TRUE(service.Stop()) << service.Output();
    bool ok = false;
    EXPECT_EQ(32u, zt::Unprotect(root.ReadSecretFile(), &ok).size());
    EXPECT_TRUE(ok);
}

}  // namespace
