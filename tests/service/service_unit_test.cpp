// The service's internals without a process: key file layout, raw RSA,
// log lines and the command line.
#include "command_line.h"
#include "exchange_log.h"
#include "key_cache.h"
#include "key_file.h"
#include "key_name.h"
#include "raw_rsa.h"
#include "server_exchange.h"
#include "data_root.h"
#include "pipe_secret.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

namespace {

TEST(KeyFile, RoundTripsAndRefusesEveryMalformedVariant)
{
    const BYTE blob[] = {1, 2, 3, 4, 5};
    std::vector<BYTE> file = BuildKeyFile(L"name", 3072, blob, sizeof(blob));
    ASSERT_EQ(20u + 8u + sizeof(blob), file.size());
    ParsedKeyFile parsed;
    ASSERT_TRUE(ParseKeyFile(file.data(), file.size(), &parsed));
    EXPECT_EQ(kKeyFileVersion, parsed.version);
    EXPECT_EQ(L"name", parsed.name);
    EXPECT_EQ(3072u, parsed.bits);
    ASSERT_EQ(sizeof(blob), parsed.blobLength);
    EXPECT_TRUE(std::equal(blob, blob + sizeof(blob), parsed.blob));

    // Every truncation and every extension is damage.
    for (size_t n = 0; n < file.size(); ++n) {
        EXPECT_FALSE(ParseKeyFile(file.data(), n, &parsed)) << n;
    }
    std::vector<BYTE> longer = file;
    longer.push_back(0);
    EXPECT_FALSE(ParseKeyFile(longer.data(), longer.size(), &parsed));
    const struct {
        size_t offset;
        BYTE value;
    } edits[] = {
        {0, 'X'},   // magic
        {4, 3},     // version
        {4, 0},     // version
        {8, 7},     // odd name length
        {8, 0},     // empty name
        {8, 200},   // name longer than the file
        {21, 0},    // 3072 bits becomes 0
        {24, 6},    // blob length
    };
    for (const auto& e : edits) {
        std::vector<BYTE> bad = file;
        bad[e.offset] = e.value;
        if (e.offset == 21) {
            bad[20] = 0;
        }
        EXPECT_FALSE(ParseKeyFile(bad.data(), bad.size(), &parsed)) << e.offset;
    }
    // A damaged blob still lets the name be reported.
    std::wstring name;
    EXPECT_TRUE(ReadKeyFileName(file.data(), file.size() - 2, &name));
    EXPECT_EQ(L"name", name);
    EXPECT_FALSE(ReadKeyFileName(file.data(), 14, &name));
}

// Files written before the size was kept in clear: no bits field.
TEST(KeyFile, FormatOneFilesStillParse)
{
    const std::vector<BYTE> file = {'Z', 'K', 'E', 'Y', 1, 0, 0, 0, 4, 0, 0, 0, 'k', 0, '1', 0,
                                    3, 0, 0, 0, 0xA1, 0xA2, 0xA3};
    ParsedKeyFile parsed;
    ASSERT_TRUE(ParseKeyFile(file.data(), file.size(), &parsed));
    EXPECT_EQ(kKeyFileVersionWithoutBits, parsed.version);
    EXPECT_EQ(L"k1", parsed.name);
    EXPECT_EQ(0u, parsed.bits);
    ASSERT_EQ(3u, parsed.blobLength);
    EXPECT_EQ(0xA1, parsed.blob[0]);
    for (size_t n = 0; n < file.size(); ++n) {
        EXPECT_FALSE(ParseKeyFile(file.data(), n, &parsed)) << n;
    }
}

// Every prefix of a key file, its last byte against a page that cannot be
// read: a parser that reads past the end faults here instead of passing.
TEST(KeyFile, NoPrefixIsReadPastItsEnd)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    BYTE* pages = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, pages);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));
    const BYTE blob[] = {9, 8, 7};
    std::vector<std::vector<BYTE>> files;
    for (const wchar_t* name : {L"k", L"ab", L"name"}) {
        files.push_back(BuildKeyFile(name, 2048, blob, sizeof(blob)));
        std::vector<BYTE> v1 = files.back();  // the same without the bits field
        v1[4] = static_cast<BYTE>(kKeyFileVersionWithoutBits);
        v1.erase(v1.begin() + 12 + 2 * static_cast<long>(wcslen(name)), v1.begin() + 16 + 2 * static_cast<long>(wcslen(name)));
        files.push_back(v1);
    }
    for (const std::vector<BYTE>& file : files) {
        for (size_t n = 0; n <= file.size(); ++n) {
            BYTE* at = pages + page - n;
            std::copy(file.begin(), file.begin() + static_cast<long>(n), at);
            ParsedKeyFile parsed;
            std::wstring name;
            EXPECT_EQ(n == file.size(), ParseKeyFile(at, n, &parsed)) << file[4] << " " << file.size() << " " << n;
            ReadKeyFileName(at, n, &name);
        }
    }
    VirtualFree(pages, 0, MEM_RELEASE);
}

// Leases only lock copies; the handles may stay empty here.
TEST(KeyLease, ConcurrentUsesGetSeparateCopiesAndTheNextOneWaits)
{
    CachedKey key;
    std::vector<std::unique_ptr<KeyLease>> held;
    std::set<const KeyHandles*> copies;
    for (size_t i = 0; i < kKeyCopies; ++i) {
        held.push_back(std::make_unique<KeyLease>(&key));
        copies.insert(&held.back()->handles());
    }
    EXPECT_EQ(kKeyCopies, copies.size());

    std::atomic<const KeyHandles*> got{nullptr};
    std::thread waiter([&] {
        KeyLease lease(&key);
        got = &lease.handles();
    });
    Sleep(100);
    EXPECT_EQ(nullptr, got.load());  // every copy is in use
    const KeyHandles* freed = &held[1]->handles();
    held[1].reset();
    waiter.join();
    EXPECT_EQ(freed, got.load());

    // Once all are given back, all can be taken again at once.
    held.clear();
    copies.clear();
    for (size_t i = 0; i < kKeyCopies; ++i) {
        held.push_back(std::make_unique<KeyLease>(&key));
        copies.insert(&held.back()->handles());
    }
    EXPECT_EQ(kKeyCopies, copies.size());
}

TEST(KeyName, FileNamesAreDistinctPerExactName)
{
    EXPECT_EQ(KeyFileName(L"Key").size(), 68u);
    EXPECT_NE(KeyFileName(L"Key"), KeyFileName(L"key"));
    EXPECT_EQ(KeyFileName(L"Key"), KeyFileName(L"Key"));
    EXPECT_TRUE(KeyFileName(L"").empty());
    EXPECT_TRUE(KeyFileName(std::wstring(130, L'x')).empty());
    EXPECT_TRUE(KeyFileName(std::wstring(L"a\0b", 3)).empty());
    EXPECT_FALSE(KeyFileName(std::wstring(129, L'x')).empty());
}

// What BCrypt's PKCS#1 encryption made, raw RSA must open into the whole
// encryption block: 00 02, non-zero padding, 00, message.
TEST(RawRsa, OpensWhatBCryptEncryptedIntoTheWholeBlock)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0));
    for (ULONG bits : {2048u, 4096u}) {
        SCOPED_TRACE(bits);
        BCRYPT_KEY_HANDLE key = nullptr;
        ASSERT_EQ(0, BCryptGenerateKeyPair(alg, &key, bits, 0));
        ASSERT_EQ(0, BCryptFinalizeKeyPair(key, 0));
        ULONG size = 0;
        ASSERT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &size, 0));
        std::vector<BYTE> blob(size);
        ASSERT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, blob.data(), size, &size, 0));
        const ULONG modulus = bits / 8;
        const BYTE message[] = {'m', 'e', 's', 's', 'a', 'g', 'e'};
        std::vector<BYTE> cipher(modulus);
        ULONG written = 0;
        ASSERT_EQ(0, BCryptEncrypt(key, const_cast<BYTE*>(message), sizeof(message), nullptr, nullptr, 0,
                                   cipher.data(), modulus, &written, BCRYPT_PAD_PKCS1));
        HeapBlock plain;
        ASSERT_TRUE(RawRsaPrivate(blob.data(), blob.size(), cipher.data(), cipher.size(), &plain));
        ASSERT_EQ(modulus, plain.size());
        const BYTE* p = plain.get();
        size_t separator = modulus - sizeof(message) - 1;
        EXPECT_EQ(0, p[0]);
        EXPECT_EQ(2, p[1]);
        EXPECT_EQ(0, p[separator]);
        EXPECT_TRUE(std::all_of(p + 2, p + separator, [](BYTE b) { return b != 0; }));
        EXPECT_TRUE(std::equal(message, message + sizeof(message), p + separator + 1));

        // Not a number below the modulus, a wrong length, a public blob: refused.
        std::vector<BYTE> ones(modulus, 0xFF);
        EXPECT_FALSE(RawRsaPrivate(blob.data(), blob.size(), ones.data(), ones.size(), &plain));
        EXPECT_FALSE(RawRsaPrivate(blob.data(), blob.size(), cipher.data(), cipher.size() - 1, &plain));
        EXPECT_FALSE(RawRsaPrivate(blob.data(), blob.size() - 1, cipher.data(), cipher.size(), &plain));
        blob[0] ^= 1;  // magic
        EXPECT_FALSE(RawRsaPrivate(blob.data(), blob.size(), cipher.data(), cipher.size(), &plain));
        SecureZeroMemory(blob.data(), blob.size());
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
}

TEST(ExchangeLog, LineShapeAndEscapedNames)
{
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 8;
    t.wHour = 2;
    t.wMinute = 3;
    t.wSecond = 4;
    t.wMilliseconds = 5;
    ExchangeRecord r;
    r.hasCode = true;
    r.code = 2;
    r.hasKeyName = true;
    r.keyName = L"a\"b\\c\nd\x00e9";
    r.outcome = "ok";
    r.milliseconds = 17;
    EXPECT_EQ("2026-12-08T02:03:04.005Z code=2 key=\"a\\x22b\\x5cc\\x0ad\\u00e9\" outcome=ok ms=17",
              FormatExchangeLine(t, r));
    ExchangeRecord early;
    early.outcome = "proof-rejected";
    EXPECT_EQ("2026-12-08T02:03:04.005Z code=- key=- outcome=proof-rejected ms=0", FormatExchangeLine(t, early));
}

TEST(CommandLine, ParsesCommandsAndOptionsInAnyOrder)
{
    CommandLine c;
    std::string error;
    const wchar_t* create[] = {L"exe", L"--bits", L"3072", L"create", L"k", L"--data-root", L"C:\\d"};
    ASSERT_TRUE(ParseCommandLine(7, create, &c, &error)) << error;
    EXPECT_EQ(Command::Create, c.command);
    EXPECT_EQ(L"k", c.keyName);
    EXPECT_EQ(3072u, c.bits);
    EXPECT_EQ(L"C:\\d", c.dataRoot);

    const wchar_t* serve[] = {L"exe", L"serve"};
    ASSERT_TRUE(ParseCommandLine(2, serve, &c, &error));
    EXPECT_EQ(Command::Serve, c.command);
    EXPECT_EQ(2048u, c.serve.reserve);  // the documented defaults
    EXPECT_EQ(0u, c.serve.workers);  // one per processor
    EXPECT_EQ(1024u, c.serve.perClientLimit);
    EXPECT_EQ(2048u, c.bits);

    // A key may be named like a command.
    const wchar_t* named[] = {L"exe", L"delete", L"list"};
    ASSERT_TRUE(ParseCommandLine(3, named, &c, &error));
    EXPECT_EQ(Command::Delete, c.command);
    EXPECT_EQ(L"list", c.keyName);

    const wchar_t* options[] = {L"exe", L"serve", L"--workers", L"3", L"--instances", L"200", L"--per-client", L"9"};
    ASSERT_TRUE(ParseCommandLine(8, options, &c, &error)) << error;
    EXPECT_EQ(200u, c.serve.reserve);
    EXPECT_EQ(3u, c.serve.workers);
    EXPECT_EQ(9u, c.serve.perClientLimit);

    const wchar_t* bad[] = {L"exe", L"serve", L"--instances", L"16x"};
    EXPECT_FALSE(ParseCommandLine(4, bad, &c, &error));
    const wchar_t* tooMany[] = {L"exe", L"serve", L"--workers", L"65"};
    EXPECT_FALSE(ParseCommandLine(4, tooMany, &c, &error));

    const wchar_t* import[] = {L"exe", L"--cert-out", L"c.pem", L"import", L"k", L"key.pfx", L"--password-file", L"pw"};
    ASSERT_TRUE(ParseCommandLine(8, import, &c, &error)) << error;
    EXPECT_EQ(Command::Import, c.command);
    EXPECT_EQ(L"k", c.keyName);
    EXPECT_EQ(L"key.pfx", c.keyFile);
    EXPECT_EQ(L"pw", c.passwordFile);
    EXPECT_EQ(L"c.pem", c.certOut);
}

TEST(CommandLine, ImportNeedsANameAndAFileAndOwnsItsOptions)
{
    CommandLine c;
    std::string error;
    const wchar_t* noFile[] = {L"exe", L"import", L"k"};
    EXPECT_FALSE(ParseCommandLine(3, noFile, &c, &error));
    EXPECT_NE(std::string::npos, error.find("needs the key's file")) << error;
    const wchar_t* extra[] = {L"exe", L"import", L"k", L"f", L"g"};
    EXPECT_FALSE(ParseCommandLine(5, extra, &c, &error));
    const wchar_t* noValue[] = {L"exe", L"import", L"k", L"f", L"--password-file"};
    EXPECT_FALSE(ParseCommandLine(5, noValue, &c, &error));
    EXPECT_NE(std::string::npos, error.find("--password-file takes a file")) << error;
    const wchar_t* elsewhere[] = {L"exe", L"create", L"k", L"--cert-out", L"c.pem"};
    EXPECT_FALSE(ParseCommandLine(5, elsewhere, &c, &error));
    EXPECT_NE(std::string::npos, error.find("does not apply")) << error;
    const wchar_t* badName[] = {L"exe", L"import", L"", L"f"};
    EXPECT_FALSE(ParseCommandLine(4, badName, &c, &error));
}

// A client without the secret must not keep the service reading the secret
// file: after a failed proof it is read again at most once a second, even
// when the file has changed meanwhile.
TEST(SecretReload, AtMostOncePerSecondEvenWhenTheFileChanged)
{
    zt::TempDataRoot root;
    ASSERT_TRUE(root.ok());
    ServerState state;
    ASSERT_EQ(0, LoadServerSecret(&state));
    const std::vector<BYTE> first(state.secret.get(), state.secret.get() + state.secret.size());
    EXPECT_FALSE(ReloadSecretAfterFailedProof(&state)) << "the file still holds the same secret";
    EXPECT_FALSE(SecretReloadDue(&state));
    // Another secret in the file, as a restarted setup would leave it.
    ASSERT_TRUE(DeleteFileW(root.wideSecretFile().c_str()));
    HeapBlock replaced;
    ASSERT_EQ(0, LoadPipeSecret(&replaced));
    ASSERT_FALSE(std::equal(first.begin(), first.end(), replaced.get()));
    EXPECT_FALSE(ReloadSecretAfterFailedProof(&state)) << "read again within the second";
    EXPECT_TRUE(std::equal(first.begin(), first.end(), state.secret.get()));
    Sleep(kSecretReloadIntervalMs + 100);
    EXPECT_TRUE(SecretReloadDue(&state));
    EXPECT_TRUE(ReloadSecretAfterFailedProof(&state));
    EXPECT_TRUE(std::equal(replaced.get(), replaced.get() + replaced.size(), state.secret.get()));
}

}  // namespace
