// Keys brought from elsewhere, in this process: the legacy blob conversion
// against the numbers OpenSSL prints for its own keys, and that an import
// leaves no private byte in a block it freed.
#include "data_root.h"
#include "import_result.h"
#include "interposer.h"
#include "key_import.h"
#include "key_store.h"
#include "legacy_rsa_blob.h"
#include "private_key_decode.h"
#include "temp_folder.h"
#include "unix_shell.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

std::string Hex(const BYTE* p, size_t n)
{
    static const char kHex[] = "0123456789ABCDEF";
    size_t skip = 0;
    while (skip + 1 < n && p[skip] == 0) {
        ++skip;
    }
    std::string out;
    for (size_t i = skip; i < n; ++i) {
        out += kHex[p[i] >> 4];
        out += kHex[p[i] & 0xF];
    }
    return out;
}

// A scratch folder both Windows and Linux paths name.
class Scratch {
public:
    Scratch() : root_(), windows_(root_.path().begin(), root_.path().end()) { unix_ = zt::UnixPath(windows_); }
    std::wstring Windows(const char* name) const { return windows_ + L"\\" + std::wstring(name, name + strlen(name)); }
    std::string Unix(const char* name) const { return zt::ShellQuote(unix_ + "/" + name); }

private:
    zt::TempDataRoot root_;
    std::wstring windows_;
    std::string unix_;
};

// The INTEGERs of an RSAPrivateKey as OpenSSL's own parser prints them:
// version, n, e, d, p, q, dp, dq, qinv.
std::vector<std::string> OpenSslNumbers(const std::string& unixKey)
{
    const zt::ShellRun r = zt::RunShell("openssl asn1parse -in " + unixKey);
    EXPECT_EQ(0, r.exitCode) << r.output;
    std::vector<std::string> numbers;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("INTEGER") != std::string::npos) {
            numbers.push_back(line.substr(line.rfind(':') + 1));
        }
    }
    return numbers;
}

class LegacyBlobAgainstOpenSsl : public ::testing::TestWithParam<int> {};

// 2050 bits: the primes' length (bits + 15) / 16 is not half the modulus's.
TEST_P(LegacyBlobAgainstOpenSsl, EveryNumberLandsInItsField)
{
    ASSERT_TRUE(zt::OpenSslAvailable()) << "openssl is missing; scripts/setup.sh installs it";
    Scratch dir;
    const std::string bits = std::to_string(GetParam());
    const zt::ShellRun made = zt::RunShell("openssl genrsa -traditional -out " + dir.Unix("k.pem") + " " + bits +
                                           " && openssl rsa -in " + dir.Unix("k.pem") + " -traditional -outform DER -out " +
                                           dir.Unix("k.der"));
    ASSERT_EQ(0, made.exitCode) << made.output;
    const std::vector<std::string> expected = OpenSslNumbers(dir.Unix("k.pem"));
    ASSERT_EQ(9u, expected.size());

    const Bytes der = zt::ReadFileBytes(dir.Windows("k.der"));
    HeapBlock full;
    ULONG keyBits = 0;
    const ImportOutcome decoded = DecodePkcs1(der.data(), der.size(), &full, &keyBits);
    ASSERT_EQ(ImportResult::Ok, decoded.result) << decoded.detail;
    EXPECT_EQ(static_cast<ULONG>(GetParam()), keyBits);

    BCRYPT_RSAKEY_BLOB header;
    ASSERT_GE(full.size(), sizeof header);
    memcpy(&header, full.get(), sizeof header);
    EXPECT_EQ(static_cast<ULONG>(BCRYPT_RSAFULLPRIVATE_MAGIC), header.Magic);
    EXPECT_EQ(keyBits, header.BitLength);
    const size_t m = (keyBits + 7) / 8, h = (keyBits + 15) / 16;
    EXPECT_EQ(m, header.cbModulus);
    EXPECT_EQ(h, header.cbPrime1);
    EXPECT_EQ(h, header.cbPrime2);
    ASSERT_EQ(sizeof header + header.cbPublicExp + 2 * m + 5 * h, full.size());
    // BCrypt order: e, n, p, q, dp, dq, qinv, d; OpenSSL's: n, e, d, p, q, dp, dq, qinv.
    const BYTE* at = full.get() + sizeof header;
    const struct {
        size_t length;
        size_t openSslIndex;
        const char* name;
    } fields[] = {{header.cbPublicExp, 2, "e"}, {m, 1, "n"},  {h, 4, "p"},    {h, 5, "q"},
                  {h, 6, "dp"},                 {h, 7, "dq"}, {h, 8, "qinv"}, {m, 3, "d"}};
    for (const auto& f : fields) {
        EXPECT_EQ(expected[f.openSslIndex], Hex(at, f.length)) << f.name;
        at += f.length;
    }

    // And BCrypt takes it as a working key.
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0));
    EXPECT_EQ(0, BCryptImportKeyPair(alg, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, &key, full.get(),
                                     static_cast<ULONG>(full.size()), 0));
    if (key != nullptr) {
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LegacyBlobAgainstOpenSsl, ::testing::Values(2048, 2050, 3072));

// Every block of ours that held the key is wiped before it is freed, and
// none still holds the private exponent or a prime.
TEST(KeyImport, NoFreedBlockHoldsThePrivateKey)
{
    ASSERT_TRUE(zt::OpenSslAvailable()) << "openssl is missing; scripts/setup.sh installs it";
    Scratch dir;
    ASSERT_EQ(0, zt::RunShell("openssl genrsa -traditional -out " + dir.Unix("k1.pem") + " 2048 && openssl pkcs8 -topk8 -nocrypt -in " +
                              dir.Unix("k1.pem") + " -out " + dir.Unix("k8.pem") + " && openssl rsa -in " +
                              dir.Unix("k1.pem") + " -traditional -outform DER -out " + dir.Unix("k1.der"))
                     .exitCode);
    const Bytes der = zt::ReadFileBytes(dir.Windows("k1.der"));
    HeapBlock full;
    ULONG bits = 0;
    ASSERT_EQ(ImportResult::Ok, DecodePkcs1(der.data(), der.size(), &full, &bits).result);
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, full.get(), sizeof header);
    const BYTE* prime1 = full.get() + sizeof header + header.cbPublicExp + header.cbModulus;
    const BYTE* privateExponent = prime1 + 5 * header.cbPrime1;
    const Bytes d(privateExponent, privateExponent + header.cbModulus);
    const Bytes p(prime1, prime1 + header.cbPrime1);
    const Bytes dReversed(d.rbegin(), d.rend());

    zt::TempDataRoot store;
    ImportReport report;
    ImportOutcome outcome;
    std::vector<zt::SecretHit> hits;
    std::vector<zt::FreedBlock> unwiped;
    {
        zt::Interposer spy(GetModuleHandleW(nullptr));
        spy.WatchSecret("private exponent", d.data(), 32);
        spy.WatchSecret("private exponent, little-endian", dReversed.data(), 32);
        spy.WatchSecret("prime", p.data(), 32);
        for (const char* file : {"k8.pem", "k1.pem"}) {
            ImportRequest request{std::wstring(file, file + strlen(file)), dir.Windows(file), L"", L""};
            outcome = ImportKey(request, &report);
            EXPECT_EQ(ImportResult::Ok, outcome.result) << file << ": " << outcome.detail;
        }
        hits = spy.SecretHits();
        unwiped = spy.UnwipedFrees();
    }
    EXPECT_TRUE(hits.empty()) << hits.size() << " freed blocks held " << (hits.empty() ? "" : hits[0].label);
    EXPECT_TRUE(unwiped.empty()) << zt::DescribeUnwiped(unwiped);
    std::vector<KeyListEntry> keys;
    ASSERT_EQ(StoreResult::Ok, ListKeys(&keys));
    EXPECT_EQ(2u, keys.size());
}

}  // namespace
