// The provider against a hostile signing service: the scripted service sends
// seeded random replies — valid MACs over random plaintexts, random lengths
// within and beyond every bound, truncated and tampered fields, disconnects
// at every byte — to OpenKey, SignHash and Decrypt through the real DLL.
// Each case predicts from what it sends whether the reply is well formed; the
// operation may succeed only then, and then only with exactly the payload
// sent (for SignHash, only if that payload is the key's signature). No case may crash, leak a block, free a block unwiped or leave a
// handle open.
//
// ZK_FUZZ_SEED (decimal or 0x-hex) and ZK_FUZZ_CASES override the seed and
// the number of exchanges; the seed is printed.
#include "data_root.h"
#include "interposer.h"
#include "ksp_status.h"
#include "protocol.h"
#include "provider_loader.h"
#include "robust_support.h"
#include "scripted_service.h"
#include "test_key.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr DWORD kKeyBytes = 256;
constexpr DWORD kOutputSize = 4096;

uint64_t EnvNumber(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 0);
}

enum class Op { OpenKey, Sign, Decrypt };

struct Case {
    std::string kind;
    Op op = Op::Sign;
    zt::ServiceScript script;
    bool wellFormed = false;         // the exchange must succeed
    std::vector<BYTE> payload;       // what it then hands out
};

void PutU32(std::vector<BYTE>& v, size_t at, uint32_t x)
{
    ::PutU32(v.data() + at, x);
}

class Fuzzer {
public:
    Fuzzer(uint64_t seed, const std::vector<BYTE>& blob, const std::vector<BYTE>& signature)
        : rng_(seed), blob_(blob), signature_(signature)
    {
    }

    uint32_t Below(uint64_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(uint64_t{hi} - lo + 1); }
    std::vector<BYTE> Bytes(size_t n)
    {
        std::vector<BYTE> v(n);
        for (BYTE& b : v) {
            b = static_cast<BYTE>(rng_());
        }
        return v;
    }

    // A payload length: mostly small, sometimes large, rarely at the bound.
    size_t PayloadLength()
    {
        const uint32_t r = Below(100);
        if (r < 60) return Below(301);
        if (r < 90) return Range(301, 5000);
        if (r < 98) return Range(5001, 65536);
        // A plaintext whose ciphertext is exactly 1,048,576 bytes, or just below.
        return 1048575 - 8 - Below(64);
    }

    Case Next()
    {
        Case c;
        const uint32_t o = Below(100);
        c.op = o < 15 ? Op::OpenKey : (o < 60 ? Op::Sign : Op::Decrypt);

        // The reply plaintext: status word, m, payload, ignored tail.
        // Half the payloads for OpenKey and SignHash are the right answer.
        std::vector<BYTE> payload = Bytes(PayloadLength());
        if (c.op != Op::Decrypt && Below(2) == 0) {
            payload = c.op == Op::OpenKey ? blob_ : signature_;
        }
        if (payload.size() > 1048575 - 8) {
            payload.resize(1048575 - 8);
        }
        std::vector<BYTE> plain(8);
        PutU32(plain, 0, 0);
        PutU32(plain, 4, static_cast<uint32_t>(payload.size()));
        plain.insert(plain.end(), payload.begin(), payload.end());
        const size_t room = 1048575 - plain.size();
        const std::vector<BYTE> tail = Bytes(std::min<size_t>(room, Below(4) == 0 ? Below(48) : 0));
        plain.insert(plain.end(), tail.begin(), tail.end());

        const uint32_t nonceLength = Range(1, 32);
        c.script.serverNonce = Bytes(nonceLength);
        c.script.splitFields = Below(40) == 0;
        bool malformed = false;

        switch (Below(16)) {
        case 0:
        case 1:
        case 2:
            c.kind = "well formed";
            break;
        case 3: {
            // m anywhere up to the bytes there are, or beyond them.
            const uint32_t avail = static_cast<uint32_t>(plain.size() - 8);
            const uint32_t m = Below(2) == 0 ? Below(uint64_t{avail} + 1)
                                             : avail + 1 + Below(Below(2) == 0 ? 16 : 0xFFFFFFFFull - avail - 1);
            PutU32(plain, 4, m);
            c.kind = m <= avail ? "m within the plaintext" : "m beyond the plaintext";
            break;
        }
        case 4: {
            // A random plaintext under a valid MAC.
            plain = Bytes(Below(4) == 0 ? Below(8) : Below(400));
            if (plain.size() >= 8 && Below(2) == 0) {
                PutU32(plain, 0, 0);
                if (Below(2) == 0) {
                    PutU32(plain, 4, Below(uint64_t{static_cast<uint32_t>(plain.size()) - 8} + 1));
                }
            }
            c.kind = "random plaintext";
            break;
        }
        case 5:
            PutU32(plain, 0, Below(2) == 0 ? 0xFFFFFFFF : Range(1, 0xFFFFFFFE));
            c.kind = "status word";
            break;
        case 6: {
            // The IV changed: the first block decrypts differently, unseen by the MAC.
            const size_t span = std::min<size_t>(16, plain.size());
            c.script.replyIvXor = Bytes(span);
            c.kind = "IV tampered";
            break;
        }
        case 7:
            c.script.hello = Below(2) == 0 ? 0 : Range(2, 0xFFFFFFFF);
            malformed = true;
            c.kind = "hello";
            break;
        case 8:
            c.script.nonceLengthField = Below(2) == 0 ? 0 : Range(33, Below(2) == 0 ? 64 : 0xFFFFFFFF);
            malformed = true;
            c.kind = "nonce length";
            break;
        case 9: {
            const uint32_t r = Below(3);
            c.script.ivLengthField = r == 0 ? 0 : (r == 1 ? Range(1, 15) : Range(17, 0xFFFFFFFF));
            malformed = true;
            c.kind = "IV length";
            break;
        }
        case 10:
            c.script.ciphertextLengthField = Below(3) == 0 ? 0 : Range(0x100001, Below(2) == 0 ? 0x100010 : 0xFFFFFFFF);
            malformed = true;
            c.kind = "ciphertext length";
            break;
        case 11: {
            const uint32_t r = Below(3);
            c.script.macLength = r == 0 ? Range(1, 31) : (r == 1 ? Range(33, 128) : (Below(2) == 0 ? 0 : Range(129, 0xFFFFFFFF)));
            malformed = true;
            c.kind = "MAC length";
            break;
        }
        case 12:
            if (Below(2) == 0) {
                c.script.flipCiphertextBit = true;
                c.kind = "flipped ciphertext bit";
            } else {
                const uint32_t b = Below(240);
                c.script.badPaddingByte = static_cast<BYTE>(b == 0 ? 0 : b + 16);
                c.kind = "bad padding";
            }
            malformed = true;
            break;
        case 13: {
            // Any length that is not whole blocks, MAC'd correctly.
            size_t n = Range(1, 600);
            if (n % 16 == 0) {
                ++n;
            }
            c.script.rawCiphertext = Bytes(n);
            malformed = true;
            c.kind = "ciphertext not whole blocks";
            break;
        }
        case 14:
            c.script.dropAfterProof = true;
            malformed = true;
            c.kind = "disconnect after proof";
            break;
        default: {
            // Disconnect after any byte the service writes, hello to MAC.
            const uint32_t cipher = static_cast<uint32_t>(16 * (plain.size() / 16 + 1));
            const uint32_t total = 4 + 4 + nonceLength + 4 + 16 + 4 + cipher + 4 + 32;
            c.script.cutAfterBytes = Below(total);
            malformed = true;
            c.kind = "disconnect mid-stream";
            break;
        }
        }
        c.script.replyPlaintext = plain;

        // What the provider decrypts: the first block shifted by any IV change.
        std::vector<BYTE> seen = plain;
        for (size_t i = 0; i < c.script.replyIvXor.size(); ++i) {
            seen[i] ^= c.script.replyIvXor[i];
        }
        // Well formed: the plaintext says success and holds m bytes.
        if (!malformed && seen.size() >= 8) {
            const uint32_t status = GetU32(seen.data());
            const uint32_t m = GetU32(seen.data() + 4);
            if (status == 0 && uint64_t{m} + 8 <= seen.size()) {
                c.wellFormed = true;
                c.payload.assign(seen.begin() + 8, seen.begin() + 8 + m);
            }
        }
        return c;
    }

private:
    std::mt19937_64 rng_;
    std::vector<BYTE> blob_;
    std::vector<BYTE> signature_;
};

TEST(HostileService, SeededRandomRepliesToEveryRemoteOperation)
{
    const uint64_t seed = EnvNumber("ZK_FUZZ_SEED", 0x5EEDF00Dull);
    const uint64_t cases = EnvNumber("ZK_FUZZ_CASES", 2000);
    std::printf("[fuzz] seed 0x%llx (set ZK_FUZZ_SEED to repeat), %llu exchanges\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(cases));

    zt::TestRsaKey rsa(2048);
    ASSERT_TRUE(rsa.ok());
    zt::TempDataRoot root;
    ASSERT_TRUE(root.ok());
    zt::ScriptedService service;
    ASSERT_TRUE(service.Start());
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    zt::ServiceScript opening;
    opening.replyPayload = rsa.publicBlob();
    service.SetScript(opening);
    NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(0, provider->OpenKey(prov, &key, L"fuzzed", 0, 0));
    ASSERT_TRUE(service.WaitForExchanges(1, 5000));
    std::vector<BYTE> input(kKeyBytes, 0x42);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    const std::vector<BYTE> signature =
        rsa.Sign(std::vector<BYTE>(input.begin(), input.begin() + 32), &pkcs1, BCRYPT_PAD_PKCS1);
    ASSERT_EQ(kKeyBytes, signature.size());

    Fuzzer fuzz(seed, rsa.publicBlob(), signature);
    std::map<std::string, uint64_t> byKind;
    uint64_t succeeded = 0;
    uint64_t wellFormed = 0;
    int failures = 0;
    zt::Interposer spy(provider.module());
    for (uint64_t i = 0; i < cases && failures < 10; ++i) {
        const Case c = fuzz.Next();
        ++byKind[c.kind];
        wellFormed += c.wellFormed ? 1 : 0;
        spy.Reset();
        const size_t before = service.ExchangeCount();
        service.SetScript(c.script);

        SECURITY_STATUS status = 0;
        SECURITY_STATUS expected = 0;
        bool outputsRight = true;
        std::string problem;
        const size_t m = c.payload.size();
        zt::GuardedBuffer out(kOutputSize);
        DWORD result = zt::kResultSentinel;
        if (c.op == Op::OpenKey) {
            NCRYPT_KEY_HANDLE k = 0x77;
            status = provider->OpenKey(prov, &k, L"fuzzed", 0, 0);
            if (!c.wellFormed) {
                expected = NTE_BAD_KEYSET;
            } else if (m < 24) {
                expected = NTE_BAD_KEY;
            } else if (c.payload != rsa.publicBlob()) {
                // BCrypt refuses the blob; its mapped status, never success.
                expected = status != 0 && status != NTE_BAD_KEYSET && status != NTE_BAD_KEY ? status : NTE_BAD_KEY_STATE;
            }
            if (status == 0) {
                provider->FreeKey(prov, k);
            } else {
                outputsRight = k == 0x77;
            }
        } else {
            if (c.op == Op::Sign) {
                status = provider->SignHash(prov, key, &pkcs1, input.data(), 32, out.data(), kOutputSize, &result,
                                            NCRYPT_PAD_PKCS1_FLAG);
            } else {
                status = provider->Decrypt(prov, key, input.data(), kKeyBytes, nullptr, out.data(), kOutputSize,
                                           &result, NCRYPT_PAD_PKCS1_FLAG);
            }
            if (!c.wellFormed || m == 0 || (c.op == Op::Sign && c.payload != signature)) {
                // A signature is taken only if it is the key's signature of the hash.
                expected = NTE_INTERNAL_ERROR;
            } else if (m > kOutputSize) {
                expected = NTE_BUFFER_TOO_SMALL;
            }
            if (status == 0) {
                outputsRight = result == m && out.GuardsIntact() && out.Contents(m) == c.payload;
            } else if (status == NTE_BUFFER_TOO_SMALL && c.op == Op::Decrypt) {
                outputsRight = out.Untouched() && result == m;  // Decrypt tells the size needed
            } else {
                outputsRight = out.Untouched() && result == zt::kResultSentinel;
            }
        }
        succeeded += status == 0 ? 1 : 0;
        if (status != expected) {
            problem += "status " + std::to_string(status) + ", expected " + std::to_string(expected) + "; ";
        }
        if (!outputsRight) {
            problem += "outputs wrong; ";
        }
        problem += zt::HygieneProblems(spy);
        if (!service.WaitForExchanges(before + 1, 10000)) {
            problem += "the service did not finish the exchange; ";
        }
        if (!problem.empty()) {
            ++failures;
            ADD_FAILURE() << "case " << i << " (" << c.kind << ", op " << static_cast<int>(c.op) << ", m " << m
                          << ", well formed " << c.wellFormed << "): " << problem;
        }
    }
    EXPECT_EQ(0, provider->FreeKey(prov, key));
    EXPECT_EQ(0, provider->FreeProvider(prov));
    std::string kinds;
    for (const auto& [kind, n] : byKind) {
        kinds += "; " + kind + " " + std::to_string(n);
    }
    std::printf("[fuzz] %llu exchanges: %llu well formed, %llu succeeded%s\n", static_cast<unsigned long long>(cases),
                static_cast<unsigned long long>(wellFormed), static_cast<unsigned long long>(succeeded), kinds.c_str());
}

}  // namespace
