// Keys brought from elsewhere, in this process: the legacy blob conversion
// against the numbers OpenSSL prints for its own keys, and that an import
// leaves no private byte in a block it freed.
#include "child_process.h"
#include "data_root.h"
#include "import_result.h"
#include "interposer.h"
#include "key_import.h"
#include "key_store.h"
#include "legacy_rsa_blob.h"
#include "pfx_key.h"
#include "import_patch.h"
#include "private_key_decode.h"
#include "temp_folder.h"
#include "unix_shell.h"

#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>
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

TEST(LegacyBlob, AnythingButExactlyOneBlobIsRefusedAndNothingWritten)
{
    // A well-formed 32-bit key: header, then n (4), p q dp dq qinv (2 each), d (4).
    Bytes good = {0x07, 0x02, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '2', 32, 0, 0, 0, 0x01, 0x00, 0x01, 0x00};
    const Bytes n = {0x11, 0x22, 0x33, 0xC4};
    good.insert(good.end(), n.begin(), n.end());
    for (int i = 0; i < 5; ++i) {
        good.push_back(static_cast<BYTE>(0x10 + i));
        good.push_back(static_cast<BYTE>(0x80 + i));
    }
    good.insert(good.end(), {0x55, 0x66, 0x77, 0x08});
    HeapBlock out;
    ULONG bits = 0;
    ASSERT_TRUE(LegacyRsaToFullPrivateBlob(good.data(), good.size(), &out, &bits));
    EXPECT_EQ(32u, bits);
    // e = 65537 as three big-endian bytes, then n reversed.
    const Bytes start(out.get() + 24, out.get() + 31);
    EXPECT_EQ((Bytes{0x01, 0x00, 0x01, 0xC4, 0x33, 0x22, 0x11}), start);

    struct {
        const char* what;
        size_t offset;
        BYTE value;
    } edits[] = {{"blob type", 0, 0x06}, {"version", 1, 0x03}, {"magic", 8, 'X'},
                 {"bit length", 12, 40},  {"exponent 0", 16, 0}, {"modulus zero", 23, 0x00}};
    for (const auto& e : edits) {
        Bytes bad = good;
        bad[e.offset] = e.value;
        if (e.offset == 16) {
            bad[18] = 0;
        }
        if (e.offset == 23) {
            std::fill(bad.begin() + 20, bad.begin() + 24, BYTE{0});
        }
        HeapBlock untouched;
        EXPECT_FALSE(LegacyRsaToFullPrivateBlob(bad.data(), bad.size(), &untouched, &bits)) << e.what;
        EXPECT_FALSE(static_cast<bool>(untouched)) << e.what;
    }
    for (size_t cut : {size_t{0}, size_t{19}, good.size() - 1}) {
        HeapBlock untouched;
        EXPECT_FALSE(LegacyRsaToFullPrivateBlob(good.data(), cut, &untouched, &bits)) << cut;
    }
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(LegacyRsaToFullPrivateBlob(longer.data(), longer.size(), &out, &bits));

    // A header bitlen above the real size is taken at the real size when the
    // bytes above it are zero, and refused when they are not.
    Bytes padded = good;
    padded[23] = 0x00;  // n = 0x00332211: 22 bits in a 32-bit field
    padded[37] = 0x00;  // and d's top byte, which the 3-byte field drops
    ASSERT_TRUE(LegacyRsaToFullPrivateBlob(padded.data(), padded.size(), &out, &bits));
    EXPECT_EQ(22u, bits);
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, out.get(), sizeof header);
    EXPECT_EQ(3u, header.cbModulus);
    EXPECT_EQ(2u, header.cbPrime1);
    padded[37] = 0x01;  // d's top byte no longer zero
    HeapBlock refused;
    EXPECT_FALSE(LegacyRsaToFullPrivateBlob(padded.data(), padded.size(), &refused, &bits));
}

// Every block of ours that held the key is wiped before it is freed, and
// none still holds the private exponent or a prime.
// The user's key containers of the provider a PFX import fills.
std::vector<std::string> KeyContainers()
{
    std::vector<std::string> names;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return names;
    }
    char name[1024];
    DWORD size = sizeof name;
    for (DWORD flag = CRYPT_FIRST; CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flag);
         flag = 0, size = sizeof name) {
        names.push_back(name);
    }
    CryptReleaseContext(prov, 0);
    return names;
}

// A PFX of a fresh 2048-bit key with password "pw", and that key as PKCS#8.
void MakePfx(const Scratch& dir)
{
    ASSERT_TRUE(zt::OpenSslAvailable()) << "openssl is missing; scripts/setup.sh installs it";
    ASSERT_EQ(0, zt::RunShell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + dir.Unix("k8.pem") + " -out " +
                              dir.Unix("c.pem") + " -subj /CN=pfx -days 1 && openssl pkcs12 -export -inkey " +
                              dir.Unix("k8.pem") + " -in " + dir.Unix("c.pem") + " -out " + dir.Unix("k.pfx") +
                              " -passout pass:pw")
                     .exitCode);
}

HeapBlock FileBlock(const std::wstring& path)
{
    const Bytes bytes = zt::ReadFileBytes(path);
    HeapBlock block(bytes.size());
    if (block) {
        memcpy(block.get(), bytes.data(), bytes.size());
    }
    return block;
}

// The import modes asked for; a platform without PKCS12_NO_PERSIST_KEY
// refuses that flag.
std::vector<DWORD> g_importFlags;
bool g_refuseNoPersist = false;
decltype(&PFXImportCertStore) g_realPfxImport = nullptr;

HCERTSTORE WINAPI RecordingPfxImport(CRYPT_DATA_BLOB* pfx, LPCWSTR password, DWORD flags)
{
    g_importFlags.push_back(flags);
    if (g_refuseNoPersist && (flags & PKCS12_NO_PERSIST_KEY) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return g_realPfxImport(pfx, password, flags);
}

TEST(PfxImport, KeyIsNotPersistedWhereThePlatformCanAndNoContainerStays)
{
    Scratch dir;
    MakePfx(dir);
    const HeapBlock pfx = FileBlock(dir.Windows("k.pfx"));
    ASSERT_TRUE(pfx);
    const struct {
        const char* name;
        bool refuseNoPersist;
        const wchar_t* password;
        ImportResult result;
        size_t imports;
    } cases[] = {
        {"as the platform is", false, L"pw", ImportResult::Ok, 1},
        {"a platform without PKCS12_NO_PERSIST_KEY", true, L"pw", ImportResult::Ok, 2},
        {"wrong password", false, L"wrong", ImportResult::PasswordWrong, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zt::TempDataRoot store;
        const std::vector<std::string> before = KeyContainers();
        HeapBlock full;
        ULONG bits = 0;
        std::vector<BYTE> certificate;
        ImportOutcome outcome;
        g_importFlags.clear();
        g_refuseNoPersist = c.refuseNoPersist;
        {
            zt::ImportPatch patch(GetModuleHandleW(nullptr), "crypt32.dll", "PFXImportCertStore",
                                  reinterpret_cast<void*>(&RecordingPfxImport));
            ASSERT_TRUE(patch.active());
            g_realPfxImport = patch.original_as<decltype(&PFXImportCertStore)>();
            outcome = DecodePfx(pfx, c.password, &full, &bits, &certificate);
        }
        EXPECT_EQ(c.result, outcome.result) << outcome.detail;
        EXPECT_EQ(c.result == ImportResult::Ok ? 2048u : 0u, bits);
        ASSERT_EQ(c.imports, g_importFlags.size());
        EXPECT_EQ(DWORD{CRYPT_EXPORTABLE | PKCS12_NO_PERSIST_KEY}, g_importFlags[0]);
        EXPECT_EQ(before, KeyContainers()) << "a key container stayed";
    }
}

constexpr UINT kDiedInTheImport = 77;

UINT WINAPI Die()
{
    TerminateProcess(GetCurrentProcess(), kDiedInTheImport);
    return 0;
}

// Run only as the child of the next test: the process ends the moment the
// import it started reaches the key, as a crash or a kill would.
TEST(PfxImport, DISABLED_DiesWhileImporting)
{
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetEnvironmentVariableW(L"ZK_INTERRUPTED_PFX", path, MAX_PATH));
    zt::ImportPatch capi(GetModuleHandleW(nullptr), "advapi32.dll", "CryptExportKey", reinterpret_cast<void*>(&Die));
    zt::ImportPatch cng(GetModuleHandleW(nullptr), "ncrypt.dll", "NCryptExportKey", reinterpret_cast<void*>(&Die));
    ASSERT_TRUE(capi.active() && cng.active());
    HeapBlock full;
    ULONG bits = 0;
    std::vector<BYTE> certificate;
    DecodePfx(FileBlock(path), L"pw", &full, &bits, &certificate);
    FAIL() << "the import never reached the key";
}

// What an import that was killed left in the user's containers goes with
// the next import, whatever it imports.
TEST(PfxImport, ContainerOfAnInterruptedImportIsRemovedByTheNextImport)
{
    Scratch dir;
    MakePfx(dir);
    zt::TempDataRoot store;
    const std::vector<std::string> before = KeyContainers();
    wchar_t self[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
    ASSERT_TRUE(SetEnvironmentVariableW(L"ZK_INTERRUPTED_PFX", dir.Windows("k.pfx").c_str()));
    const zt::ProgramRun child =
        zt::RunProgram(self, {L"--gtest_also_run_disabled_tests", L"--gtest_filter=PfxImport.DISABLED_DiesWhileImporting"});
    SetEnvironmentVariableW(L"ZK_INTERRUPTED_PFX", nullptr);
    ASSERT_EQ(kDiedInTheImport, child.exitCode) << child.out;
    ASSERT_NE(before, KeyContainers()) << "the interrupted import left nothing to remove";

    ImportReport report;
    const ImportRequest request{L"next", dir.Windows("k8.pem"), L"", L""};
    const ImportOutcome outcome = ImportKey(request, &report);
    EXPECT_EQ(ImportResult::Ok, outcome.result) << outcome.detail;
    EXPECT_EQ(before, KeyContainers()) << "the interrupted import's key container is still there";
    WIN32_FIND_DATAW found;
    HANDLE journals = FindFirstFileW((DataFolder() + L"\\pfx-*.pending").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, journals) << "a journal is left";
    if (journals != INVALID_HANDLE_VALUE) {
        FindClose(journals);
    }
}

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
