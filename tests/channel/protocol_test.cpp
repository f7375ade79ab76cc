// The shared protocol library: keyed hash, key derivation, AES-CBC,
// envelopes and timed pipe I/O, on the static library with this
// executable's own imports interposed.
#include "aes_cbc.h"
#include "envelope.h"
#include "hmac_sha256.h"
#include "interposer.h"
#include "ksp_status.h"
#include "protocol.h"
#include "session_keys.h"
#include "timed_pipe_io.h"
#include "user_pipe_name.h"
#include "wide_key_name.h"

#include "pipe_pair.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

HMODULE Self()
{
    return GetModuleHandleW(nullptr);
}

std::string Hex(const BYTE* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

void ExpectClean(const zt::Interposer& spy)
{
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
}

// A Windows name's bytes in memory are its wire bytes.
TEST(WideKeyName, PublicKeyPayloadIsTheNamesBytes)
{
    const wchar_t* name = L"ab";
    EXPECT_EQ((std::vector<BYTE>{'a', 0, 'b', 0}),
              std::vector<BYTE>(PublicKeyPayload(name), PublicKeyPayload(name) + KeyNameWireLength(2)));
}

// Both ends derive the user's pipe name, so it must be the platform's SID
// string form exactly (parsed back by the platform here).
TEST(UserPipeName, IsTheMachineWideNameAndThePlatformsSidString)
{
    for (const char* text : {"S-1-5-21-0-0-0-1000", "S-1-5-18", "S-1-0-0", "S-1-16-12288",
                             "S-1-5-21-4294967295-1-2-3-4-5-6-7-8-9-10-11-12-13"}) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(text, &sid)) << GetLastError();
        UserPipeName name;
        EXPECT_TRUE(FormatUserPipeName(sid, &name));
        EXPECT_EQ(std::string(kPipeName) + "." + text, name.text);
        // No room for the terminator fails rather than cutting the name short.
        char exact[128];
        EXPECT_FALSE(FormatSidString(sid, exact, std::strlen(text)));
        LocalFree(sid);
    }
    // The authority beyond 32 bits in hex, as the platform documents.
    SID_IDENTIFIER_AUTHORITY wide = {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&wide, 1, 7, 0, 0, 0, 0, 0, 0, 0, &sid));
    char text[64];
    EXPECT_TRUE(FormatSidString(sid, text, sizeof text));
    EXPECT_STREQ("S-1-0x010203040506-7", text);
    FreeSid(sid);
    BYTE bad[16] = {9, 1};
    UserPipeName name;
    EXPECT_FALSE(FormatUserPipeName(bad, &name));
}

TEST(HmacSha256, KnownAnswers)
{
    BYTE out[32];
    const BYTE key1[20] = {0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b,
                           0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b};
    ASSERT_EQ(0, HmacSha256(key1, 20, reinterpret_cast<const BYTE*>("Hi There"), 8, out));
    EXPECT_EQ("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", Hex(out, 32));
    const char* jefe = "Jefe";
    const char* what = "what do ya want for nothing?";
    ASSERT_EQ(0, HmacSha256(reinterpret_cast<const BYTE*>(jefe), 4, reinterpret_cast<const BYTE*>(what), 28, out));
    EXPECT_EQ("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", Hex(out, 32));
    // Empty data is allowed.
    ASSERT_EQ(0, HmacSha256(reinterpret_cast<const BYTE*>("key"), 3, reinterpret_cast<const BYTE*>(""), 0, out));
    EXPECT_EQ("5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0", Hex(out, 32));
}

TEST(HmacSha256, RefusesMissingArguments)
{
    BYTE out[32];
    const BYTE k[1] = {1};
    EXPECT_EQ(NTE_INVALID_PARAMETER, HmacSha256(nullptr, 1, k, 1, out));
    EXPECT_EQ(NTE_INVALID_PARAMETER, HmacSha256(k, 0, k, 1, out));
    EXPECT_EQ(NTE_INVALID_PARAMETER, HmacSha256(k, 1, nullptr, 0, out));
    EXPECT_EQ(NTE_INVALID_PARAMETER, HmacSha256(k, 1, k, 1, nullptr));
}

TEST(HmacSha256, EveryFailingCallIsMappedAndReleasesAll)
{
    const BYTE k[4] = {1, 2, 3, 4};
    BYTE out[32];
    size_t calls = 0;
    {
        zt::Interposer spy(Self());
        ASSERT_EQ(0, HmacSha256(k, 4, k, 4, out));
        calls = spy.Calls().size();
        ExpectClean(spy);
    }
    ASSERT_GT(calls, 5u);
    for (uint64_t n = 1; n <= calls; ++n) {
        zt::Interposer spy(Self());
        spy.FailNthCall(n);
        spy.SetFailureStatus(static_cast<LONG>(0xC0000017L));  // STATUS_NO_MEMORY
        const SECURITY_STATUS st = HmacSha256(k, 4, k, 4, out);
        const zt::Fn failed = spy.Calls()[n - 1].fn;
        if (failed == zt::Fn::HeapFree || failed == zt::Fn::BCryptCloseAlgorithmProvider) {
            // Release calls only report failure; the work was done.
            EXPECT_EQ(0, st) << "call " << n;
        } else {
            EXPECT_EQ(NTE_NO_MEMORY, st) << "call " << n << " " << zt::FnName(failed);
        }
        ExpectClean(spy);
    }
    // Other BCrypt statuses go through the same mapping.
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::BCryptHashData, 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC0000008L));  // STATUS_INVALID_HANDLE
    EXPECT_EQ(NTE_INVALID_HANDLE, HmacSha256(k, 4, k, 4, out));
    ExpectClean(spy);
}

TEST(SessionKeys, DerivedFromBothNoncesAndLabel)
{
    BYTE secret[32];
    BYTE server[5];
    BYTE client[32];
    for (int i = 0; i < 32; ++i) {
        secret[i] = static_cast<BYTE>(i);
        client[i] = static_cast<BYTE>(0x50 + i);
    }
    for (int i = 0; i < 5; ++i) {
        server[i] = static_cast<BYTE>(0xA0 + i);
    }
    zt::Interposer spy(Self());
    SessionKeys keys;
    ASSERT_EQ(0, DeriveSessionKeys(secret, 32, server, 5, client, 32, &keys));
    EXPECT_EQ("815496b7876d538cfcc783f212ce40ef0fd4e9bad5f8d832a1f958df688aaf6a", Hex(keys.macKey, 32));
    EXPECT_EQ("6d0c882623e454a9e2d018f4e02cfac3089796637377b3de41b24d465838634e", Hex(keys.encryptionKey, 32));
    ExpectClean(spy);

    // An allocation failure leaves no key material behind.
    spy.Reset();
    spy.FailNthCallOf(zt::Fn::HeapAlloc, 2);
    EXPECT_EQ(NTE_NO_MEMORY, DeriveSessionKeys(secret, 32, server, 5, client, 32, &keys));
    EXPECT_EQ(std::string(64, '0'), Hex(keys.macKey, 32));
    EXPECT_EQ(std::string(64, '0'), Hex(keys.encryptionKey, 32));
    ExpectClean(spy);
}

TEST(ConstantTimeEqual, ComparesEveryByte)
{
    BYTE a[32] = {};
    BYTE b[32] = {};
    EXPECT_TRUE(ConstantTimeEqual(a, b, 32));
    b[31] = 1;
    EXPECT_FALSE(ConstantTimeEqual(a, b, 32));
    EXPECT_TRUE(ConstantTimeEqual(a, b, 31));
    b[31] = 0;
    b[0] = 0x80;
    EXPECT_FALSE(ConstantTimeEqual(a, b, 32));
}

TEST(AesCbc, KnownAnswerAndRoundTrip)
{
    BYTE key[32];
    BYTE iv[16];
    for (int i = 0; i < 32; ++i) {
        key[i] = static_cast<BYTE>(i);
    }
    for (int i = 0; i < 16; ++i) {
        iv[i] = static_cast<BYTE>(16 + i);
    }
    const BYTE ivBefore0 = iv[0];
    zt::Interposer spy(Self());
    HeapBlock cipher;
    uint32_t n = 0;
    ASSERT_EQ(0, AesCbcTransform(true, key, 32, iv, 16, reinterpret_cast<const BYTE*>("Zentrava channel"), 16, true,
                                 &cipher, &n));
    ASSERT_EQ(32u, n);
    EXPECT_EQ("040cae8315ba68b9b5f039d195d19c88eadeb4dfcd0217d81a242dabb7749141", Hex(cipher.get(), n));
    EXPECT_EQ(ivBefore0, iv[0]);  // the caller's IV is left as it was
    HeapBlock plain;
    uint32_t m = 0;
    ASSERT_EQ(0, AesCbcTransform(false, key, 32, iv, 16, cipher.get(), n, true, &plain, &m));
    ASSERT_EQ(16u, m);
    EXPECT_EQ(0, std::memcmp(plain.get(), "Zentrava channel", 16));
    // An IV that is not one block is refused; so is a ragged ciphertext.
    EXPECT_LT(AesCbcTransform(false, key, 32, iv, 8, cipher.get(), n, true, &plain, &m), 0);
    EXPECT_FALSE(plain);
    EXPECT_LT(AesCbcTransform(false, key, 32, iv, 16, cipher.get(), 17, true, &plain, &m), 0);
    cipher.Reset();
    plain.Reset();
    ExpectClean(spy);
}

SessionKeys SomeKeys()
{
    SessionKeys keys;
    for (int i = 0; i < 32; ++i) {
        keys.macKey[i] = static_cast<BYTE>(0x11 * (i % 7));
        keys.encryptionKey[i] = static_cast<BYTE>(0x33 + i);
    }
    return keys;
}

TEST(Envelope, SealOpenAndTamper)
{
    const SessionKeys keys = SomeKeys();
    const std::string text = "request plaintext of some length";
    zt::Interposer spy(Self());
    {
        Envelope e;
        ASSERT_EQ(0, SealEnvelope(keys, reinterpret_cast<const BYTE*>(text.data()), static_cast<uint32_t>(text.size()),
                                  &e));
        EXPECT_EQ(16u, e.ivLength);
        EXPECT_EQ(PaddedLength(text.size()), e.ciphertextLength);
        EXPECT_EQ(32u, e.macLength);
        HeapBlock plain;
        uint32_t n = 0;
        ASSERT_EQ(0, OpenEnvelope(keys, e, &plain, &n));
        EXPECT_EQ(text, std::string(reinterpret_cast<char*>(plain.get()), n));

        // A flipped ciphertext bit fails the MAC before anything is decrypted.
        e.ciphertext.get()[e.ciphertextLength - 1] ^= 0x01;
        const size_t decryptsBefore = spy.CallCount(zt::Fn::BCryptDecrypt);
        EXPECT_EQ(NTE_INTERNAL_ERROR, OpenEnvelope(keys, e, &plain, &n));
        EXPECT_EQ(decryptsBefore, spy.CallCount(zt::Fn::BCryptDecrypt));
        EXPECT_FALSE(plain);
        e.ciphertext.get()[e.ciphertextLength - 1] ^= 0x01;

        // A MAC of 64 bytes is refused even when it starts with the right one.
        HeapBlock longMac(64);
        std::memcpy(longMac.get(), e.mac.get(), 32);
        std::memset(longMac.get() + 32, 0, 32);
        e.mac = std::move(longMac);
        e.macLength = 64;
        EXPECT_EQ(NTE_INTERNAL_ERROR, OpenEnvelope(keys, e, &plain, &n));
    }
    ExpectClean(spy);
}

using zt::PipePair;

TEST(TimedPipeIo, ShortTransfersAreCompleted)
{
    PipePair pair(L"\\\\.\\pipe\\zk_timed_io_short");
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.server);
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.client);
    // The field arrives in three pieces with pauses between them.
    std::thread writer([&] {
        const char* parts[] = {"abc", "defgh", "ijklmnop"};
        for (const char* part : parts) {
            Sleep(50);
            EXPECT_TRUE(TimedPipeWrite(pair.server, part, static_cast<uint32_t>(std::strlen(part)), nullptr));
        }
    });
    char buffer[16] = {};
    uint32_t got = 0;
    const bool ok = TimedPipeRead(pair.client, buffer, 16, &got);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(16u, got);
    EXPECT_EQ(0, std::memcmp(buffer, "abcdefghijklmnop", 16));
}

TEST(TimedPipeIo, LentEventServesEveryPieceAndStaysOpen)
{
    PipePair pair(L"\\\\.\\pipe\\zk_timed_io_lent");
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.client);
    HANDLE lent = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // signalled: must be reset by each transfer
    ASSERT_NE(nullptr, lent);
    HANDLE writerEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the writer's calls stay uncounted
    ASSERT_NE(nullptr, writerEvent);
    std::thread writer([&] {
        for (const char* part : {"12", "345", "678"}) {
            Sleep(30);
            TimedPipeWrite(pair.server, part, static_cast<uint32_t>(std::strlen(part)), nullptr, writerEvent);
        }
    });
    char buffer[8] = {};
    uint32_t got = 0;
    {
        zt::Interposer spy(Self());
        EXPECT_TRUE(TimedPipeRead(pair.client, buffer, 8, &got, lent));
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateEventW));
    }
    writer.join();
    EXPECT_EQ(8u, got);
    EXPECT_EQ(0, std::memcmp(buffer, "12345678", 8));
    EXPECT_NE(0, CloseHandle(lent));  // still the caller's
    CloseHandle(writerEvent);
}

TEST(TimedPipeIo, BrokenPipeFailsAndReportsWhatArrived)
{
    PipePair pair(L"\\\\.\\pipe\\zk_timed_io_broken");
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.client);
    ASSERT_TRUE(TimedPipeWrite(pair.server, "xyz", 3, nullptr));
    CloseHandle(pair.server);
    pair.server = INVALID_HANDLE_VALUE;
    zt::Interposer spy(Self());
    char buffer[8] = {};
    uint32_t got = 99;
    EXPECT_FALSE(TimedPipeRead(pair.client, buffer, 8, &got));
    EXPECT_EQ(3u, got);
    EXPECT_FALSE(TimedPipeWrite(pair.client, "x", 1, &got));
    EXPECT_EQ(0u, got);
    // Every event made for an operation was closed again.
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Event));
    EXPECT_EQ(spy.CallCount(zt::Fn::CreateEventW), spy.CallCount(zt::Fn::CloseHandle));
}

TEST(TimedPipeIo, FailedWaitCancelsAndWaitsForTheOperation)
{
    PipePair pair(L"\\\\.\\pipe\\zk_timed_io_cancel");
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.client);
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::WaitForSingleObject, 1);
    char buffer[4] = {};
    EXPECT_FALSE(TimedPipeRead(pair.client, buffer, 4, nullptr));
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::CancelIo));
    // The cancelled read was waited for (bWait) before its record went away.
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::GetOverlappedResult));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Event));
    // The pipe is still usable afterwards: nothing of the cancelled read lingers.
    spy.Reset();
    std::thread writer([&] { TimedPipeWrite(pair.server, "ok!!", 4, nullptr); });
    EXPECT_TRUE(TimedPipeRead(pair.client, buffer, 4, nullptr));
    writer.join();
    EXPECT_EQ(0, std::memcmp(buffer, "ok!!", 4));
}

TEST(TimedPipeIo, NoEventMeansNoTransfer)
{
    PipePair pair(L"\\\\.\\pipe\\zk_timed_io_event");
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.client);
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::CreateEventW, 1);
    EXPECT_FALSE(TimedPipeWrite(pair.client, "abcd", 4, nullptr));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
}

}  // namespace
