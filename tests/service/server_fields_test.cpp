// The service's buffered field reads and gathered writes on an in-process
// pipe pair, read back by the client's own one-read-per-field code.
#include "channel/envelope.h"
#include "channel/protocol.h"
#include "channel/timed_pipe_io.h"
#include "import_patch.h"
#include "pipe_pair.h"
#include "server_fields.h"
#include "byte_pattern.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<BYTE> Pattern(size_t n, BYTE seed)
{
    return zt::BytePattern(n, seed, 31);
}

std::vector<BYTE> U32(uint32_t v)
{
    std::vector<BYTE> b(4);
    PutU32(b.data(), v);
    return b;
}

bool WriteAll(HANDLE pipe, const std::vector<BYTE>& bytes)
{
    return TimedPipeWrite(pipe, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
}

// Counts the WriteFile calls of this executable (the service's code is
// linked into it) made on the calling thread.
thread_local int t_writes = 0;
zt::ImportPatch* g_writePatch = nullptr;

BOOL WINAPI CountingWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov)
{
    ++t_writes;
    return g_writePatch->original_as<decltype(&WriteFile)>()(h, buffer, length, written, ov);
}

TEST(ServerFields, FieldsComeOutAsSentHoweverTheBytesWereCut)
{
    zt::PipePair pair(L"\\\\.\\pipe\\zk_server_fields_cuts");
    ASSERT_TRUE(pair.ok());
    const std::vector<BYTE> nonce = Pattern(32, 1);
    const std::vector<BYTE> big = Pattern(9000, 7);  // longer than the reader's buffer
    const std::vector<BYTE> tail = Pattern(5, 9);

    std::thread client([&] {
        // Two fields and the start of a third in one write ...
        std::vector<BYTE> first = U32(32);
        first.insert(first.end(), nonce.begin(), nonce.end());
        const std::vector<BYTE> bigLength = U32(static_cast<uint32_t>(big.size()));
        first.insert(first.end(), bigLength.begin(), bigLength.begin() + 2);
        EXPECT_TRUE(WriteAll(pair.client, first));
        Sleep(20);
        // ... the rest of it, then the long field in uneven pieces ...
        EXPECT_TRUE(WriteAll(pair.client, {bigLength[2], bigLength[3], big[0]}));
        for (size_t at = 1; at < big.size();) {
            const size_t n = std::min<size_t>(big.size() - at, at % 3 == 0 ? 1500 : 2500);
            EXPECT_TRUE(WriteAll(pair.client, std::vector<BYTE>(big.begin() + at, big.begin() + at + n)));
            at += n;
        }
        // ... and a last field one byte at a time, then the end of the pipe.
        std::vector<BYTE> last = U32(static_cast<uint32_t>(tail.size()));
        last.insert(last.end(), tail.begin(), tail.end());
        for (BYTE b : last) {
            Sleep(2);
            EXPECT_TRUE(WriteAll(pair.client, {b}));
        }
        CloseHandle(pair.client);
        pair.client = INVALID_HANDLE_VALUE;
    });

    FieldReader reader(pair.server, nullptr);
    uint32_t n = 0;
    std::vector<BYTE> got(32);
    ASSERT_TRUE(ReadFieldU32(&reader, &n));
    EXPECT_EQ(32u, n);
    ASSERT_TRUE(ReadField(&reader, got.data(), 32));
    EXPECT_EQ(nonce, got);
    ASSERT_TRUE(ReadFieldU32(&reader, &n));
    ASSERT_EQ(big.size(), n);
    got.assign(n, 0);
    ASSERT_TRUE(ReadField(&reader, got.data(), n));
    EXPECT_EQ(big, got);
    ASSERT_TRUE(ReadFieldU32(&reader, &n));
    ASSERT_EQ(tail.size(), n);
    got.assign(n, 0);
    ASSERT_TRUE(ReadField(&reader, got.data(), n));
    EXPECT_EQ(tail, got);
    client.join();

    // Nothing more will come: the next field fails at once, not at the timeout.
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(ReadFieldU32(&reader, &n));
    EXPECT_LT(GetTickCount64() - start, 2000u);
}

TEST(ServerFields, FieldThatStopsHalfwayFailsWithinItsBound)
{
    zt::PipePair pair(L"\\\\.\\pipe\\zk_server_fields_stall");
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(WriteAll(pair.client, {4, 0}));
    FieldReader reader(pair.server, nullptr, 300);
    uint32_t n = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(ReadFieldU32(&reader, &n));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 3000u);

    // The bound is per field: bytes that kept trickling in do not extend it.
    std::thread client([&] {
        for (int i = 0; i < 10; ++i) {
            Sleep(50);
            WriteAll(pair.client, {static_cast<BYTE>(i)});
        }
    });
    std::vector<BYTE> field(64);
    const ULONGLONG trickleStart = GetTickCount64();
    EXPECT_FALSE(ReadField(&reader, field.data(), static_cast<uint32_t>(field.size())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    // A bound restarted by each piece would end after the last one, 500 ms + 300 ms.
    EXPECT_LT(GetTickCount64() - trickleStart, 750u);
    client.join();
}

TEST(ServerFields, HelloAndEnvelopeAreOneWriteEachAndReadFieldByField)
{
    zt::PipePair pair(L"\\\\.\\pipe\\zk_server_fields_writes");
    ASSERT_TRUE(pair.ok());
    zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile",
                          reinterpret_cast<void*>(&CountingWriteFile));
    ASSERT_TRUE(patch.active());
    g_writePatch = &patch;

    const std::vector<BYTE> nonce = Pattern(kMaxServerNonceLength, 3);
    t_writes = 0;
    ASSERT_TRUE(WriteHello(pair.server, nonce.data(), kMaxServerNonceLength, nullptr));
    EXPECT_EQ(1, t_writes);

    Envelope sent;
    const std::vector<BYTE> iv = Pattern(kIvLength, 5);
    const std::vector<BYTE> ciphertext = Pattern(272, 6);
    const std::vector<BYTE> mac = Pattern(kDigestLength, 8);
    memcpy(sent.iv, iv.data(), iv.size());
    sent.ivLength = kIvLength;
    sent.ciphertext = HeapBlock(ciphertext.size());
    ASSERT_TRUE(sent.ciphertext);
    memcpy(sent.ciphertext.get(), ciphertext.data(), ciphertext.size());
    sent.ciphertextLength = static_cast<uint32_t>(ciphertext.size());
    sent.mac = HeapBlock(mac.size());
    ASSERT_TRUE(sent.mac);
    memcpy(sent.mac.get(), mac.data(), mac.size());
    sent.macLength = kDigestLength;
    t_writes = 0;
    ASSERT_TRUE(WriteEnvelopeAtOnce(pair.server, sent, nullptr));
    EXPECT_EQ(1, t_writes);
    g_writePatch = nullptr;

    // The client's side: one read per field, exactly as before.
    uint32_t hello = 0;
    uint32_t nonceLength = 0;
    std::vector<BYTE> gotNonce(kMaxServerNonceLength);
    ASSERT_TRUE(ReadU32(pair.client, &hello));
    ASSERT_TRUE(ReadU32(pair.client, &nonceLength));
    ASSERT_TRUE(TimedPipeRead(pair.client, gotNonce.data(), kMaxServerNonceLength, nullptr));
    EXPECT_EQ(kServerHello, hello);
    EXPECT_EQ(kMaxServerNonceLength, nonceLength);
    EXPECT_EQ(nonce, gotNonce);
    Envelope received;
    ASSERT_TRUE(ReadEnvelope(pair.client, &received));
    EXPECT_EQ(iv, std::vector<BYTE>(received.iv, received.iv + received.ivLength));
    EXPECT_EQ(ciphertext, std::vector<BYTE>(received.ciphertext.get(),
                                            received.ciphertext.get() + received.ciphertextLength));
    EXPECT_EQ(mac, std::vector<BYTE>(received.mac.get(), received.mac.get() + received.macLength));

    // A nonce longer than its field is refused without writing.
    t_writes = 0;
    g_writePatch = &patch;
    const std::vector<BYTE> tooLong(kMaxServerNonceLength + 1, 0);
    EXPECT_FALSE(WriteHello(pair.server, tooLong.data(), static_cast<uint32_t>(tooLong.size()), nullptr));
    EXPECT_EQ(0, t_writes);
    g_writePatch = nullptr;
}

}  // namespace
