// A process that does not know the pipe secret serves the pipe (anyone may
// create it while the service is down): whatever it answers, OpenKey,
// SignHash and Decrypt give no success and hand nothing out. And a server
// that runs as another user is refused before anything derived from the
// secret is sent, as is one whose user cannot be found out.
#include "import_patch.h"
#include "protocol.h"
#include "remote_fixture.h"

#include <cstring>
#include <string>

namespace {

using zt::RemoteFixture;
using Impostor = zt::ServiceScript::Impostor;

constexpr BYTE kFill = 0xEE;
constexpr DWORD kUntouched = 0xA5A5A5A5;

std::vector<BYTE> U32Le(uint32_t v)
{
    std::vector<BYTE> b(4);
    PutU32(b.data(), v);
    return b;
}

// What the provider got from one operation.
struct Outcome {
    SECURITY_STATUS status = 0;
    bool handedOut = false;  // a key handle, a result length or output bytes
};

class ImpostorOnThePipe : public RemoteFixture {
protected:
    void SetUp() override
    {
        RemoteFixture::SetUp();
        key = OpenTestKey(L"victim");
        ASSERT_NE(0u, key);
        cipher.assign(256, 0x21);
        hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "to be signed");
    }
    void TearDown() override
    {
        EXPECT_EQ(0, provider->FreeKey(prov, key));
        RemoteFixture::TearDown();
    }

    Outcome OpenKey()
    {
        NCRYPT_KEY_HANDLE k = 0x77;
        Outcome o;
        o.status = provider->OpenKey(prov, &k, L"victim", 0, 0);
        o.handedOut = k != 0x77;
        if (o.status == 0) {
            provider->FreeKey(prov, k);
        }
        return o;
    }
    Outcome SignHash()
    {
        std::vector<BYTE> out(512, kFill);
        DWORD result = kUntouched;
        BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
        Outcome o;
        o.status = provider->SignHash(prov, key, &pkcs1, hash.data(), 32, out.data(), 512, &result,
                                      NCRYPT_PAD_PKCS1_FLAG);
        o.handedOut = result != kUntouched || out != std::vector<BYTE>(512, kFill);
        return o;
    }
    Outcome Decrypt()
    {
        std::vector<BYTE> out(512, kFill);
        DWORD result = kUntouched;
        Outcome o;
        o.status = provider->Decrypt(prov, key, cipher.data(), 256, nullptr, out.data(), 512, &result,
                                     NCRYPT_PAD_PKCS1_FLAG);
        o.handedOut = result != kUntouched || out != std::vector<BYTE>(512, kFill);
        return o;
    }

    // The IV change that turns the echoed request's first block (code, n,
    // first 8 payload bytes) into status 0, m, and `chosen`.
    static std::vector<BYTE> EchoIvXor(uint32_t code, uint32_t n, uint32_t m, const std::vector<BYTE>& payload,
                                       const char chosen[8])
    {
        std::vector<BYTE> x = U32Le(code);
        const std::vector<BYTE> lengths = U32Le(n ^ m);
        x.insert(x.end(), lengths.begin(), lengths.end());
        for (size_t i = 0; i < 8 && chosen != nullptr; ++i) {
            x.push_back(static_cast<BYTE>(payload[i] ^ static_cast<BYTE>(chosen[i])));
        }
        return x;
    }

    void ExpectNothingGained(const Outcome& o, SECURITY_STATUS expected, const zt::Interposer& spy)
    {
        EXPECT_EQ(expected, o.status);
        EXPECT_FALSE(o.handedOut);
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
        EXPECT_EQ(0u, spy.OpenHandlesTotal());
    }

    NCRYPT_KEY_HANDLE key = 0;
    std::vector<BYTE> cipher;
    std::vector<BYTE> hash;
};

TEST_F(ImpostorOnThePipe, EchoOfTheRequestWithAnIvThatReadsStatusZero)
{
    const std::vector<BYTE> name = zt::NameBytes(L"victim");
    const std::vector<BYTE> signPayload = zt::OperationPayload(hash, L"victim", NCRYPT_PAD_PKCS1_FLAG);
    const std::vector<BYTE> decryptPayload = zt::OperationPayload(cipher, L"victim", NCRYPT_PAD_PKCS1_FLAG);
    zt::ServiceScript s;
    s.impostor = Impostor::EchoRequest;

    s.replyIvXor = EchoIvXor(kRequestPublicKey, static_cast<uint32_t>(name.size()),
                             static_cast<uint32_t>(name.size()), name, nullptr);
    service->SetScript(s);
    {
        zt::Interposer spy(provider.module());
        ExpectNothingGained(OpenKey(), NTE_BAD_KEYSET, spy);
    }
    s.replyIvXor = EchoIvXor(kRequestSignHash, static_cast<uint32_t>(signPayload.size()), 8, signPayload, "PWNED!!!");
    service->SetScript(s);
    {
        zt::Interposer spy(provider.module());
        ExpectNothingGained(SignHash(), NTE_INTERNAL_ERROR, spy);
    }
    s.replyIvXor =
        EchoIvXor(kRequestDecrypt, static_cast<uint32_t>(decryptPayload.size()), 8, decryptPayload, "PWNED!!!");
    service->SetScript(s);
    {
        zt::Interposer spy(provider.module());
        ExpectNothingGained(Decrypt(), NTE_INTERNAL_ERROR, spy);
    }
    EXPECT_TRUE(service->Last().replySent);
}

TEST_F(ImpostorOnThePipe, ServerNonceAsCiphertextWithTheProofAsMac)
{
    // 16 bytes with the IV a lucky impostor would guess (status 0, m = 7,
    // "PWNED!!", one padding byte), and 32 bytes.
    const std::vector<BYTE> lucky = {0, 0, 0, 0, 7, 0, 0, 0, 'P', 'W', 'N', 'E', 'D', '!', '!', 1};
    for (size_t nonceLength : {16u, 32u}) {
        SCOPED_TRACE(nonceLength);
        zt::ServiceScript s;
        s.impostor = Impostor::NonceAsCiphertext;
        s.serverNonce = std::vector<BYTE>(nonceLength, 0x5C);
        s.luckyFirstBlock = lucky;
        service->SetScript(s);
        zt::Interposer spy(provider.module());
        ExpectNothingGained(OpenKey(), NTE_BAD_KEYSET, spy);
        ExpectNothingGained(SignHash(), NTE_INTERNAL_ERROR, spy);
        ExpectNothingGained(Decrypt(), NTE_INTERNAL_ERROR, spy);
    }
}

// ---- who serves the pipe ------------------------------------------------

// The server's token is the one opened on a process other than our own (or,
// when the caller impersonates, its thread token); its user is reported once
// with the last sub-authority changed (another user), or, when a level is
// set, its integrity level is reported as that level.
decltype(&OpenProcessToken) g_realOpenProcessToken = nullptr;
decltype(&OpenThreadToken) g_realOpenThreadToken = nullptr;
decltype(&GetTokenInformation) g_realGetTokenInformation = nullptr;
HANDLE g_otherUsersToken = nullptr;
enum class Disguised { Server, Thread };
Disguised g_disguised = Disguised::Server;
constexpr DWORD kLevelAsIs = 0xFFFFFFFF;
DWORD g_serverLevel = kLevelAsIs;

BOOL WINAPI RecordingOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    const BOOL ok = g_realOpenProcessToken(process, access, token);
    if (ok && g_disguised == Disguised::Server && process != GetCurrentProcess()) {
        g_otherUsersToken = *token;
    }
    return ok;
}

BOOL WINAPI RecordingOpenThreadToken(HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token)
{
    const BOOL ok = g_realOpenThreadToken(thread, access, asSelf, token);
    if (ok && g_disguised == Disguised::Thread) {
        g_otherUsersToken = *token;
    }
    return ok;
}

BOOL WINAPI OtherUserGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                         PDWORD needed)
{
    const BOOL ok = g_realGetTokenInformation(token, cls, info, size, needed);
    if (!ok || token != g_otherUsersToken) {
        return ok;
    }
    if (cls == TokenUser && g_serverLevel == kLevelAsIs) {
        PSID sid = static_cast<TOKEN_USER*>(info)->User.Sid;
        *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u) += 1;
        g_otherUsersToken = nullptr;  // its handle value may come back for another token
    } else if (cls == TokenIntegrityLevel && g_serverLevel != kLevelAsIs) {
        PSID sid = static_cast<TOKEN_MANDATORY_LABEL*>(info)->Label.Sid;
        *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u) = g_serverLevel;
        g_otherUsersToken = nullptr;
    }
    return ok;
}

class OtherUser {
public:
    OtherUser(HMODULE module, Disguised who, DWORD serverLevel = kLevelAsIs)
        : openProcessToken_(module, "advapi32.dll", "OpenProcessToken",
                            zt::Replacement(&OpenProcessToken, &RecordingOpenProcessToken)),
          openThreadToken_(module, "advapi32.dll", "OpenThreadToken",
                           zt::Replacement(&OpenThreadToken, &RecordingOpenThreadToken)),
          getTokenInformation_(module, "advapi32.dll", "GetTokenInformation",
                               zt::Replacement(&GetTokenInformation, &OtherUserGetTokenInformation))
    {
        g_realOpenProcessToken = openProcessToken_.original_as<decltype(&OpenProcessToken)>();
        g_realOpenThreadToken = openThreadToken_.original_as<decltype(&OpenThreadToken)>();
        g_realGetTokenInformation = getTokenInformation_.original_as<decltype(&GetTokenInformation)>();
        g_disguised = who;
        g_serverLevel = serverLevel;
        g_otherUsersToken = nullptr;
    }
    bool active() const
    {
        return openProcessToken_.active() && openThreadToken_.active() && getTokenInformation_.active();
    }

private:
    zt::ImportPatch openProcessToken_;
    zt::ImportPatch openThreadToken_;
    zt::ImportPatch getTokenInformation_;
};

class PipeServerUser : public ImpostorOnThePipe {
protected:
    // The connection ended before the client wrote anything: no client
    // nonce, no proof; and the secret file was not opened.
    void ExpectRefusedBeforeTheProof(size_t before, const zt::Interposer& spy)
    {
        const zt::ObservedExchange ex = ExchangeAfter(before);
        EXPECT_TRUE(ex.clientNonce.empty());
        EXPECT_TRUE(ex.proof.empty());
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW)) << "the secret file was opened";
    }
};

TEST_F(PipeServerUser, ServerOfAnotherUserIsRefusedBeforeTheProof)
{
    zt::Interposer spy(provider.module());
    OtherUser other(provider.module(), Disguised::Server);
    ASSERT_TRUE(other.active());
    size_t before = service->ExchangeCount();
    ExpectNothingGained(OpenKey(), NTE_BAD_KEYSET, spy);
    ExpectRefusedBeforeTheProof(before, spy);
    before = service->ExchangeCount();
    ExpectNothingGained(SignHash(), NTE_INTERNAL_ERROR, spy);
    ExpectRefusedBeforeTheProof(before, spy);
    before = service->ExchangeCount();
    ExpectNothingGained(Decrypt(), NTE_INTERNAL_ERROR, spy);
    ExpectRefusedBeforeTheProof(before, spy);
}

// An impersonating caller is who its thread token says.
TEST_F(PipeServerUser, ImpersonatingCallerIsComparedByItsThreadToken)
{
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    {
        zt::Interposer spy(provider.module());
        OtherUser other(provider.module(), Disguised::Thread);
        ASSERT_TRUE(other.active());
        const size_t before = service->ExchangeCount();
        ExpectNothingGained(SignHash(), NTE_INTERNAL_ERROR, spy);
        ExpectRefusedBeforeTheProof(before, spy);
    }
    // The same impersonation without the disguise is the service's user.
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    Reply(rsa->Sign(hash, &pkcs1, BCRYPT_PAD_PKCS1));
    std::vector<BYTE> sig(256);
    DWORD size = 0;
    EXPECT_EQ(0, provider->SignHash(prov, key, &pkcs1, hash.data(), 32, sig.data(), 256, &size, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(256u, size);
    RevertToSelf();
}

// A sandboxed process of our own user may serve the pipe while the service
// is down; only medium integrity and above is the service (Wine runs every
// process at high, so each level is reported in its place).
TEST_F(PipeServerUser, ServerBelowMediumIntegrityIsRefusedBeforeTheProof)
{
    const struct {
        DWORD level;
        bool served;
    } levels[] = {{SECURITY_MANDATORY_UNTRUSTED_RID, false}, {SECURITY_MANDATORY_LOW_RID, false},
                  {SECURITY_MANDATORY_MEDIUM_RID - 1, false},  {SECURITY_MANDATORY_MEDIUM_RID, true},
                  {SECURITY_MANDATORY_MEDIUM_RID + 0x100, true}, {SECURITY_MANDATORY_HIGH_RID, true},
                  {SECURITY_MANDATORY_SYSTEM_RID, true}};
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    Reply(rsa->Sign(hash, &pkcs1, BCRYPT_PAD_PKCS1));
    for (const auto& l : levels) {
        SCOPED_TRACE(l.level);
        zt::Interposer spy(provider.module());
        OtherUser server(provider.module(), Disguised::Server, l.level);
        ASSERT_TRUE(server.active());
        const size_t before = service->ExchangeCount();
        const Outcome o = SignHash();
        if (l.served) {
            EXPECT_EQ(0, o.status);
            EXPECT_TRUE(o.handedOut);
            continue;
        }
        ExpectNothingGained(o, NTE_INTERNAL_ERROR, spy);
        ExpectRefusedBeforeTheProof(before, spy);
    }
}

TEST_F(PipeServerUser, QueryThatFailsIsARefusal)
{
    // The caller's user is read first (it names the pipe): failing there
    // connects to nothing. The server's queries come after the connect.
    const struct {
        zt::Fn fn;
        uint64_t nth;
        bool connects;
    } queries[] = {{zt::Fn::OpenThreadToken, 1, false},           {zt::Fn::OpenProcessToken, 1, false},
                   {zt::Fn::GetTokenInformation, 1, false},       {zt::Fn::GetNamedPipeServerProcessId, 1, true},
                   {zt::Fn::OpenProcess, 1, true},                {zt::Fn::OpenProcessToken, 2, true},
                   {zt::Fn::GetTokenInformation, 2, true},        {zt::Fn::GetTokenInformation, 3, true},
                   {zt::Fn::EqualSid, 1, true}};
    for (const auto& q : queries) {
        SCOPED_TRACE(std::string(zt::FnName(q.fn)) + " call " + std::to_string(q.nth));
        zt::Interposer spy(provider.module());
        spy.FailNthCallOf(q.fn, q.nth);
        spy.SetFailureLastError(ERROR_ACCESS_DENIED);
        const size_t before = service->ExchangeCount();
        ExpectNothingGained(SignHash(), NTE_INTERNAL_ERROR, spy);
        EXPECT_EQ(q.nth, spy.CallCount(q.fn));
        if (q.connects) {
            ExpectRefusedBeforeTheProof(before, spy);
        } else {
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileA)) << "connected without knowing the caller";
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW)) << "the secret file was opened";
        }
    }
}

}  // namespace
