// The provider's side of an exchange, against the scripted service on the
// real pipe name. Each case also checks, with this executable's imports
// interposed, that nothing leaked, nothing stayed open and every freed block
// was zero (so none still held the secret, a key, a nonce, the request or
// the reply).
#include "data_root.h"
#include "folder_security.h"
#include "import_patch.h"
#include "interposer.h"
#include "ksp_status.h"
#include "pipe_exchange.h"
#include "protocol.h"
#include "scripted_service.h"
#include "byte_pattern.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

HMODULE Self()
{
    return GetModuleHandleW(nullptr);
}

std::vector<BYTE> Bytes(size_t n, BYTE first)
{
    return zt::BytePattern(n, first, 13);
}

std::vector<BYTE> KeyName(const wchar_t* name)
{
    const size_t n = std::wcslen(name) * 2;
    std::vector<BYTE> v(n);
    std::memcpy(v.data(), name, n);
    return v;
}

BYTE* const kUntouched = reinterpret_cast<BYTE*>(static_cast<uintptr_t>(0x5A5A));

struct Result {
    SECURITY_STATUS status = -1;
    std::vector<BYTE> reply;
    bool gotBlock = false;
    DWORD lastError = 0;
};

class Exchange : public ::testing::Test {
protected:
    zt::TempDataRoot root;
    zt::ScriptedService service;
    const std::vector<BYTE> secret = Bytes(32, 0x41);
    const std::vector<BYTE> nonce = Bytes(32, 0x90);
    const std::vector<BYTE> replyPayload = Bytes(40, 0x07);

    void SetUp() override
    {
        ASSERT_TRUE(root.ok());
        root.WriteSecretFile(secret);  // plain form, so the test knows it
        {
            SCOPED_TRACE("warm-up");  // gtest's helper thread starts before any spy
        }
        ASSERT_TRUE(service.Start());
        service.SetScript(Script());
    }

    // The correct service with a known nonce and reply.
    zt::ServiceScript Script() const
    {
        zt::ServiceScript s;
        s.serverNonce = nonce;
        s.replyPayload = replyPayload;
        return s;
    }

    // One exchange, checked for hygiene whatever its outcome.
    Result Run(zt::Interposer& spy, const std::vector<BYTE>& payload, uint32_t code = kRequestPublicKey)
    {
        spy.WatchSecret("pipe secret", secret.data(), secret.size());
        spy.WatchSecret("server nonce", nonce.data(), nonce.size());
        if (payload.size() >= 8) {
            spy.WatchSecret("request payload", payload.data(), payload.size());
        }
        spy.WatchSecret("reply payload", replyPayload.data(), replyPayload.size());
        const size_t before = service.ExchangeCount();
        Result r;
        BYTE* out = kUntouched;
        uint32_t length = 0xABCD;
        r.status = PipeExchange(code, payload.empty() ? nullptr : payload.data(),
                                static_cast<uint32_t>(payload.size()), &out, &length);
        r.lastError = GetLastError();
        if (r.status == 0) {
            EXPECT_NE(kUntouched, out);
            EXPECT_NE(nullptr, out);
            if (out != kUntouched && out != nullptr) {
                r.gotBlock = true;
                r.reply.assign(out, out + length);
                EXPECT_EQ(1u, spy.LiveBlocks());  // only the reply block is left
                SecureZeroMemory(out, length);
                HeapFree(GetProcessHeap(), 0, out);
            }
        } else {
            EXPECT_EQ(kUntouched, out);
            EXPECT_EQ(0xABCDu, length);
        }
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_EQ(0u, spy.OpenHandlesTotal());
        EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
        EXPECT_TRUE(spy.SecretHits().empty());
        // Keep in step with the service: wait until it has recorded this
        // connection (there is none if opening the pipe failed).
        bool connected = false;
        for (const zt::CallRecord& call : spy.Calls()) {
            if (call.fn == zt::Fn::CreateFileA) {
                // The user's own name (none here), then the machine-wide one: the last open decides.
                connected = !call.failed;
            }
        }
        if (connected) {
            EXPECT_TRUE(service.WaitForExchanges(before + 1, 10000));
        }
        return r;
    }

    // An exchange under a script, expected to fail with NTE_INTERNAL_ERROR.
    void ExpectRefused(const zt::ServiceScript& script, const char* what, size_t* reads = nullptr,
                       size_t* allocs = nullptr)
    {
        SCOPED_TRACE(what);
        service.SetScript(script);
        zt::Interposer spy(Self());
        const Result r = Run(spy, KeyName(L"key"));
        EXPECT_EQ(NTE_INTERNAL_ERROR, r.status);
        if (reads != nullptr) {
            *reads = spy.CallCount(zt::Fn::ReadFile);
        }
        if (allocs != nullptr) {
            *allocs = spy.CallCount(zt::Fn::HeapAlloc);
        }
    }
};

TEST_F(Exchange, RequestLayoutAndReply)
{
    struct Case {
        std::vector<BYTE> payload;
        size_t ciphertext;
    };
    const Case cases[] = {{KeyName(L"ab"), 16}, {Bytes(8, 1), 32}, {{}, 16}, {Bytes(300, 2), 320}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload.size());
        zt::Interposer spy(Self());
        const Result r = Run(spy, c.payload, kRequestSignHash);
        ASSERT_EQ(0, r.status);
        EXPECT_EQ(replyPayload, r.reply);
        const zt::ObservedExchange seen = service.Last();
        EXPECT_EQ("", seen.stoppedAt);
        EXPECT_EQ(32u, seen.clientNonceLengthField);
        EXPECT_EQ(32u, seen.clientNonce.size());
        EXPECT_EQ(secret, seen.secret);
        EXPECT_EQ(32u, seen.proofLengthField);
        EXPECT_TRUE(seen.proofValid);
        EXPECT_EQ(16u, seen.requestIvLength);
        EXPECT_EQ(c.ciphertext, seen.requestCiphertext.size());
        EXPECT_EQ(32u, seen.requestMac.size());
        EXPECT_TRUE(seen.requestValid);
        EXPECT_EQ(8 + c.payload.size(), seen.requestPlaintext.size());
        EXPECT_EQ(kRequestSignHash, seen.requestCode);
        EXPECT_EQ(c.payload.size(), seen.payloadLengthField);
        EXPECT_EQ(c.payload, seen.payload);
        // The secret is read once, and only after the nonces were exchanged.
        EXPECT_EQ(1u, spy.CallCount(zt::Fn::GetEnvironmentVariableW));
    }
}

// What the pipe is opened with; Wine grants impersonation whatever the
// client asks, so the request itself is what can be checked here.
DWORD g_openFlags = 0;
DWORD g_openAccess = 0;
decltype(&CreateFileA) g_realCreateFileA = nullptr;

HANDLE WINAPI RecordingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                   DWORD disposition, DWORD flags, HANDLE tmpl)
{
    if (std::strcmp(name, kPipeName) == 0) {
        g_openFlags = flags;
        g_openAccess = access;
    }
    return g_realCreateFileA(name, access, share, sa, disposition, flags, tmpl);
}

TEST_F(Exchange, PipeIsOpenedForIdentificationOnly)
{
    zt::Interposer spy(Self());
    zt::ImportPatch patch(Self(), "kernel32.dll", "CreateFileA", zt::Replacement(&CreateFileA, &RecordingCreateFileA));
    ASSERT_TRUE(patch.active());
    g_realCreateFileA = patch.original_as<decltype(&CreateFileA)>();
    ASSERT_EQ(0, Run(spy, KeyName(L"k")).status);
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION),
              g_openFlags);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), g_openAccess);
}

TEST_F(Exchange, EveryExchangeIsFresh)
{
    for (int i = 0; i < 2; ++i) {
        zt::Interposer spy(Self());
        ASSERT_EQ(0, Run(spy, KeyName(L"same")).status);
    }
    const auto seen = service.Exchanges();
    ASSERT_EQ(2u, seen.size());
    EXPECT_NE(seen[0].clientNonce, seen[1].clientNonce);
    EXPECT_NE(seen[0].macKey, seen[1].macKey);
    EXPECT_NE(seen[0].encryptionKey, seen[1].encryptionKey);
    EXPECT_NE(seen[0].requestIv, seen[1].requestIv);
    EXPECT_NE(seen[0].requestCiphertext, seen[1].requestCiphertext);
    EXPECT_NE(seen[0].requestMac, seen[1].requestMac);
    EXPECT_EQ(seen[0].payload, seen[1].payload);
}

TEST_F(Exchange, ServerNonceLengths)
{
    for (size_t n : {1u, 32u}) {
        SCOPED_TRACE(n);
        zt::ServiceScript s = Script();
        s.serverNonce = Bytes(n, 0xC0);
        service.SetScript(s);
        zt::Interposer spy(Self());
        ASSERT_EQ(0, Run(spy, KeyName(L"k")).status);
        const zt::ObservedExchange seen = service.Last();
        EXPECT_EQ(n, seen.serverNonce.size());
        EXPECT_TRUE(seen.proofValid);  // keys and proof used exactly the N bytes
    }
    for (uint32_t n : {0u, 33u}) {
        SCOPED_TRACE(n);
        zt::ServiceScript s = Script();
        s.nonceLengthField = n;
        service.SetScript(s);
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INTERNAL_ERROR, Run(spy, KeyName(L"k")).status);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW));  // secret untouched
    }
}

TEST_F(Exchange, WrongHelloEndsBeforeAnythingIsWritten)
{
    zt::ServiceScript s = Script();
    s.hello = 2;
    service.SetScript(s);
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, Run(spy, KeyName(L"k")).status);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::ReadFile));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW));
}

TEST_F(Exchange, SilentServiceTimesOutAfterFiveSeconds)
{
    zt::ServiceScript s = Script();
    s.silent = true;
    service.SetScript(s);
    zt::Interposer spy(Self());
    const Result r = Run(spy, KeyName(L"k"));
    EXPECT_EQ(NTE_INTERNAL_ERROR, r.status);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), r.lastError);
    // It was the hello read's bound that ran out: five seconds, waited out.
    const std::vector<zt::WaitRecord> waits = spy.Waits();
    ASSERT_EQ(1u, waits.size());
    EXPECT_EQ(5000u, waits[0].timeoutMs);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waits[0].result);
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::CancelIo));
    // The cancelled read was waited for before its record went away.
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::GetOverlappedResult));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW));
}

TEST_F(Exchange, ServiceDropsAfterTheProof)
{
    zt::ServiceScript wrongSecret = Script();
    wrongSecret.secret = Bytes(32, 0x99);
    ExpectRefused(wrongSecret, "proof under another secret");
    EXPECT_FALSE(service.Last().proofValid);
    EXPECT_EQ("dropped after proof", service.Last().stoppedAt);

    zt::ServiceScript drop = Script();
    drop.dropAfterProof = true;
    ExpectRefused(drop, "dropped although the proof was right");
    EXPECT_TRUE(service.Last().proofValid);
}

TEST_F(Exchange, ReplyIv)
{
    size_t reads = 0;
    for (uint32_t n : {0u, 17u}) {
        zt::ServiceScript s = Script();
        s.ivLengthField = n;
        ExpectRefused(s, "IV length out of bounds", &reads);
        // hello, N, nonce, secret file, IV length: the IV is never read.
        EXPECT_EQ(5u, reads);
    }
    zt::ServiceScript eight = Script();
    eight.ivLengthField = 8;
    ExpectRefused(eight, "IV of 8 bytes cannot decrypt");
    EXPECT_TRUE(service.Last().replySent);

    // The MAC does not cover the IV: a changed IV alters the first block.
    zt::ServiceScript statusHit = Script();
    statusHit.replyIvXor = std::vector<BYTE>{0x01};
    ExpectRefused(statusHit, "IV change turning the status word non-zero");

    zt::ServiceScript payloadHit = Script();
    payloadHit.replyIvXor = std::vector<BYTE>(13, 0);
    payloadHit.replyIvXor[12] = 0x20;  // plaintext byte 12 = payload byte 4
    service.SetScript(payloadHit);
    zt::Interposer spy(Self());
    const Result r = Run(spy, KeyName(L"k"));
    ASSERT_EQ(0, r.status);
    std::vector<BYTE> expected = replyPayload;
    expected[4] ^= 0x20;
    EXPECT_EQ(expected, r.reply);
}

TEST_F(Exchange, ReplyCiphertextLengthBounds)
{
    size_t readsZero = 0;
    size_t allocsZero = 0;
    size_t allocsIv = 0;
    zt::ServiceScript ivOut = Script();
    ivOut.ivLengthField = 0;
    ExpectRefused(ivOut, "IV length 0 (reference)", nullptr, &allocsIv);
    zt::ServiceScript zero = Script();
    zero.ciphertextLengthField = 0;
    ExpectRefused(zero, "ciphertext length 0", &readsZero, &allocsZero);
    EXPECT_EQ(7u, readsZero);  // up to the length, the secret file's read included
    EXPECT_EQ(allocsIv, allocsZero);  // nothing allocated for the ciphertext
    size_t readsHuge = 0;
    size_t allocsHuge = 0;
    zt::ServiceScript huge = Script();
    huge.ciphertextLengthField = 0x100001;
    ExpectRefused(huge, "ciphertext length 1,048,577", &readsHuge, &allocsHuge);
    EXPECT_EQ(7u, readsHuge);
    EXPECT_EQ(allocsIv, allocsHuge);

    // The largest reply: 1,048,552 payload bytes encrypt to 1,048,576.
    zt::ServiceScript largest = Script();
    largest.replyPayload = Bytes(1048552, 3);
    service.SetScript(largest);
    zt::Interposer spy(Self());
    const Result r = Run(spy, KeyName(L"k"));
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(largest.replyPayload, r.reply);
}

TEST_F(Exchange, ReplyMacLength)
{
    size_t reads129 = 0;
    zt::ServiceScript tooLong = Script();
    tooLong.macLength = 129;
    ExpectRefused(tooLong, "MAC length 129", &reads129);
    EXPECT_EQ(9u, reads129);  // refused before the MAC is read

    size_t reads64 = 0;
    zt::ServiceScript sixtyFour = Script();
    sixtyFour.macLength = 64;  // the right MAC followed by 32 zero bytes
    service.SetScript(sixtyFour);
    {
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INTERNAL_ERROR, Run(spy, KeyName(L"k")).status);
        reads64 = spy.CallCount(zt::Fn::ReadFile);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptDecrypt));
    }
    EXPECT_EQ(10u, reads64);

    zt::ServiceScript sixteen = Script();
    sixteen.macLength = 16;
    ExpectRefused(sixteen, "MAC length 16");
}

TEST_F(Exchange, TamperedOrUndecryptableReplies)
{
    zt::ServiceScript flip = Script();
    flip.flipCiphertextBit = true;
    service.SetScript(flip);
    {
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INTERNAL_ERROR, Run(spy, KeyName(L"k")).status);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptDecrypt));  // nothing decrypted
    }
    zt::ServiceScript ragged = Script();
    ragged.rawCiphertext = Bytes(17, 5);  // MAC right, length not whole blocks
    ExpectRefused(ragged, "17-byte ciphertext");
    for (BYTE last : {0, 2, 17}) {
        zt::ServiceScript padding = Script();
        padding.badPaddingByte = last;
        ExpectRefused(padding, "bad padding");
    }
}

TEST_F(Exchange, ReplyPlaintextChecks)
{
    for (uint32_t word : {5u, 0xFFFFFFFFu}) {
        zt::ServiceScript s = Script();
        s.statusWord = word;
        ExpectRefused(s, "non-zero status word");
    }
    for (uint32_t m : {41u, 0xFFFFFFFFu}) {
        zt::ServiceScript s = Script();
        s.replyLengthField = m;  // beyond the 40 payload bytes
        ExpectRefused(s, "m beyond the plaintext");
    }
    zt::ServiceScript seven = Script();
    seven.replyPlaintext = std::vector<BYTE>(7, 0);
    ExpectRefused(seven, "plaintext shorter than 8");

    zt::ServiceScript empty = Script();
    empty.replyPayload.clear();
    service.SetScript(empty);
    {
        zt::Interposer spy(Self());
        const Result r = Run(spy, KeyName(L"k"));
        ASSERT_EQ(0, r.status);
        EXPECT_TRUE(r.gotBlock);  // a block of its own, even for m = 0
        EXPECT_TRUE(r.reply.empty());
    }
    zt::ServiceScript extra = Script();
    extra.trailing = Bytes(21, 0xEE);
    service.SetScript(extra);
    zt::Interposer spy(Self());
    const Result r = Run(spy, KeyName(L"k"));
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(replyPayload, r.reply);
}

// Replies that a process without the secret can make and whose MAC still
// verifies: refused before anything is decrypted.
TEST_F(Exchange, RepliesMadeWithoutTheSecretAreRefused)
{
    const std::vector<BYTE> payload = KeyName(L"key");
    // Our own request sent back, its IV changed so that the first block
    // reads status 0 and m = n: the request code is all that must change.
    zt::ServiceScript echo = Script();
    echo.impostor = zt::ServiceScript::Impostor::EchoRequest;
    echo.replyIvXor = {static_cast<BYTE>(kRequestPublicKey), 0, 0, 0};
    // The server nonce as ciphertext, our proof as its MAC; the IV one that
    // a lucky impostor would have guessed: status 0, m = 4, "PWND", padding.
    std::vector<BYTE> lucky = {0, 0, 0, 0, 4, 0, 0, 0, 'P', 'W', 'N', 'D', 4, 4, 4, 4};
    zt::ServiceScript nonce16 = Script();
    nonce16.serverNonce = Bytes(16, 0x33);
    nonce16.impostor = zt::ServiceScript::Impostor::NonceAsCiphertext;
    nonce16.luckyFirstBlock = lucky;
    zt::ServiceScript nonce32 = Script();
    nonce32.impostor = zt::ServiceScript::Impostor::NonceAsCiphertext;
    nonce32.luckyFirstBlock = lucky;
    const std::pair<const char*, zt::ServiceScript> cases[] = {
        {"echo with status 0", echo}, {"16-byte nonce, lucky IV", nonce16}, {"32-byte nonce", nonce32}};
    for (const auto& [what, script] : cases) {
        SCOPED_TRACE(what);
        service.SetScript(script);
        zt::Interposer spy(Self());
        const Result r = Run(spy, payload);
        EXPECT_EQ(NTE_INTERNAL_ERROR, r.status);
        EXPECT_FALSE(r.gotBlock);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptDecrypt)) << "nothing decrypted";
        EXPECT_TRUE(service.Last().replySent);
    }
}

TEST_F(Exchange, FieldsArrivingInPiecesAreCompleted)
{
    zt::ServiceScript s = Script();
    s.splitFields = true;
    service.SetScript(s);
    zt::Interposer spy(Self());
    const Result r = Run(spy, KeyName(L"k"));
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(replyPayload, r.reply);
    EXPECT_GT(spy.CallCount(zt::Fn::ReadFile), 12u);  // more reads than fields
}

TEST_F(Exchange, ReplyDroppedWithoutOutPointers)
{
    zt::Interposer spy(Self());
    const std::vector<BYTE> payload = KeyName(L"k");
    EXPECT_EQ(0, PipeExchange(kRequestPublicKey, payload.data(), 2, nullptr, nullptr));
    BYTE* out = kUntouched;
    EXPECT_EQ(0, PipeExchange(kRequestPublicKey, payload.data(), 2, &out, nullptr));
    EXPECT_EQ(kUntouched, out);
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
}

TEST_F(Exchange, SecretAndDerivationFailuresKeepTheirStatus)
{
    {
        // The first heap block of an exchange is the secret file's content.
        zt::Interposer spy(Self());
        spy.FailNthCallOf(zt::Fn::HeapAlloc, 1);
        EXPECT_EQ(NTE_NO_MEMORY, Run(spy, KeyName(L"k")).status);
    }
    {
        // The keyed hash of the first key derivation reports through the mapping.
        zt::Interposer spy(Self());
        spy.FailNthCallOf(zt::Fn::BCryptOpenAlgorithmProvider, 1);
        spy.SetFailureStatus(static_cast<LONG>(0xC0000008L));  // STATUS_INVALID_HANDLE
        EXPECT_EQ(NTE_INVALID_HANDLE, Run(spy, KeyName(L"k")).status);
    }
    root.WriteSecretFile(Bytes(31, 1));
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, Run(spy, KeyName(L"k")).status);
    EXPECT_EQ(Bytes(31, 1), root.ReadSecretFile());
}

// Every hooked call of a good exchange fails in turn. Only failures of
// release calls, or ones the exchange can do without, may end in success;
// nothing may leak or stay unwiped either way.
TEST_F(Exchange, FailureSweep)
{
    const std::vector<BYTE> payload = KeyName(L"sweep-key");
    size_t calls = 0;
    {
        zt::Interposer spy(Self());
        ASSERT_EQ(0, Run(spy, payload).status);
        calls = spy.Calls().size() - 1;  // without the test's own HeapFree
    }
    ASSERT_GT(calls, 40u);
    for (uint64_t n = 1; n <= calls; ++n) {
        zt::Interposer spy(Self());
        spy.FailNthCall(n);
        const Result r = Run(spy, payload);
        // Whether an overlapped transfer completes at once or pends varies,
        // so the nth call is found by its mark, not by its index.
        const auto records = spy.Calls();
        size_t index = records.size();
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].failed) {
                index = i;
                break;
            }
        }
        if (index == records.size()) {
            continue;  // this run made fewer calls; hygiene was still checked
        }
        const zt::Fn failed = records[index].fn;
        SCOPED_TRACE(std::string("failing ") + zt::FnName(failed) + " (call " + std::to_string(n) + ")");
        const bool harmless = failed == zt::Fn::HeapFree || failed == zt::Fn::CloseHandle ||
                              failed == zt::Fn::BCryptCloseAlgorithmProvider || failed == zt::Fn::LocalFree ||
                              failed == zt::Fn::CryptUnprotectData || failed == zt::Fn::GetTickCount64 ||
                              failed == zt::Fn::Sleep || zt::ProtectsAnExistingFolder(failed);
        if (harmless) {
            EXPECT_EQ(0, r.status);
        } else {
            EXPECT_NE(0, r.status);
        }
    }
}

TEST_F(Exchange, ConcurrentExchanges)
{
    zt::ServiceScript s = Script();
    s.echoRequest = true;
    service.SetScript(s);
    constexpr int kThreads = 4;
    std::vector<SECURITY_STATUS> status(kThreads, -1);
    std::vector<std::vector<BYTE>> replies(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<BYTE> payload = Bytes(10 + i, static_cast<BYTE>(i));
            BYTE* out = nullptr;
            uint32_t length = 0;
            status[i] = PipeExchange(kRequestDecrypt, payload.data(), static_cast<uint32_t>(payload.size()), &out,
                                     &length);
            if (status[i] == 0) {
                replies[i].assign(out, out + length);
                SecureZeroMemory(out, length);
                HeapFree(GetProcessHeap(), 0, out);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(0, status[i]);
        EXPECT_EQ(Bytes(10 + i, static_cast<BYTE>(i)), replies[i]);
    }
}

TEST(ExchangeWithoutService, FailsWithoutTouchingTheSecret)
{
    zt::TempDataRoot root;
    ASSERT_TRUE(root.ok());
    zt::Interposer spy(Self());
    const std::vector<BYTE> payload = KeyName(L"k");
    BYTE* out = kUntouched;
    uint32_t length = 7;
    EXPECT_EQ(NTE_INTERNAL_ERROR, PipeExchange(kRequestPublicKey, payload.data(), 2, &out, &length));
    EXPECT_EQ(kUntouched, out);
    EXPECT_EQ(7u, length);
    EXPECT_EQ(2u, spy.CallCount(zt::Fn::CreateFileA));  // the user's pipe and the machine-wide one only
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW));
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_FALSE(root.SecretFileExists());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(root.folder().c_str()));
}

TEST(ExchangeWithoutService, OversizedPayloadRefusedBeforeAnything)
{
    BYTE some[4] = {};
    BYTE* out = kUntouched;
    uint32_t length = 7;
    {
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INVALID_PARAMETER, PipeExchange(kRequestDecrypt, some, 0xFFFFFFE8u, &out, &length));
        EXPECT_EQ(NTE_INVALID_PARAMETER, PipeExchange(kRequestDecrypt, some, 0xFFFFFFFFu, &out, &length));
        EXPECT_EQ(NTE_INVALID_PARAMETER, PipeExchange(kRequestDecrypt, nullptr, 4, &out, &length));
        EXPECT_TRUE(spy.Calls().empty());
    }
    // The largest size that fits passes the check and goes on to connect
    // (no service here, so it stops there without reading the payload).
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, PipeExchange(kRequestDecrypt, some, 0xFFFFFFE7u, &out, &length));
    EXPECT_EQ(2u, spy.CallCount(zt::Fn::CreateFileA));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::HeapAlloc));
    EXPECT_EQ(kUntouched, out);
}

}  // namespace
