// The service's command line as a process: create, list, delete, errors,
// and what lands on disk.
#include "data_root.h"
#include "service_process.h"
#include "service_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(n - 1);
    return out;
}

// The service writes text-mode lines (CRLF); compare without the CRs.
std::string Lf(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::wstring> KeyFiles(const zt::TempDataRoot& root)
{
    std::wstring folder(root.path().begin(), root.path().end());
    folder += L"\\Zentrava\\keys";
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                files.push_back(found.cFileName);
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    return files;
}

TEST(ServiceCommands, CreateListDelete)
{
    zt::TempDataRoot root;
    zt::ToolResult r = zt::RunService(L"list", root.path());
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("", r.output);  // no key folder yet: an empty list

    r = zt::RunService(L"create alpha", root.path());
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_NE(std::string::npos, r.output.find("created \"alpha\" (2048 bits)")) << r.output;
    EXPECT_EQ(0u, zt::RunService(L"create beta --bits 4096", root.path()).exitCode);
    r = zt::RunService(L"list", root.path());
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("alpha\t2048\nbeta\t4096\n", Lf(r.output));

    std::vector<BYTE> before = ReadAll(FindKeyFile(root.path(), L"alpha"));
    r = zt::RunService(L"create alpha --bits 3072", root.path());
    EXPECT_EQ(3u, r.exitCode) << r.output;
    EXPECT_EQ(before, ReadAll(FindKeyFile(root.path(), L"alpha")));

    EXPECT_EQ(0u, zt::RunService(L"delete alpha", root.path()).exitCode);
    EXPECT_EQ("beta\t4096\n", Lf(zt::RunService(L"list", root.path()).output));
    EXPECT_EQ(2u, zt::RunService(L"delete alpha", root.path()).exitCode);
    EXPECT_EQ(1u, KeyFiles(root).size());  // no temporary files left behind
}

TEST(ServiceCommands, AnyNameGetsAFileOfItsOwn)
{
    zt::TempDataRoot root;
    const std::wstring names[] = {
        L"a/b\\c:*?<>|", L"CON", L"Key", L"key", L"..", L"\x043a\x043b\x044e\x0447", std::wstring(129, L'n'),
    };
    for (const std::wstring& name : names) {
        SCOPED_TRACE(Utf8(name));
        EXPECT_EQ(0u, zt::RunService(L"create \"" + name + L"\"", root.path()).exitCode);
    }
    std::vector<std::wstring> files = KeyFiles(root);
    EXPECT_EQ(std::size(names), files.size());
    const std::wregex safe(L"[0-9a-f]{64}\\.key");
    for (const std::wstring& f : files) {
        EXPECT_TRUE(std::regex_match(f, safe)) << Utf8(f);
    }
    std::string listed = Lf(zt::RunService(L"list", root.path()).output);
    for (const std::wstring& name : names) {
        EXPECT_NE(std::string::npos, listed.find(Utf8(name) + "\t2048\n")) << listed;
    }
    EXPECT_EQ(1u, zt::RunService(L"create " + std::wstring(130, L'n'), root.path()).exitCode);
}

TEST(ServiceCommands, CommandLineErrorsAreUsageErrors)
{
    zt::TempDataRoot root;
    const wchar_t* bad[] = {
        L"frobnicate", L"create", L"delete", L"create k --bits 1024", L"create k --bits", L"serve --instances 0",
        L"serve --instances 4097", L"list --bits 2048", L"create k extra", L"create k --data-root",
        L"import", L"import k", L"import k file extra", L"list --password-file pw",
    };
    for (const wchar_t* args : bad) {
        SCOPED_TRACE(Utf8(args));
        zt::ToolResult r = zt::RunService(args);
        EXPECT_EQ(1u, r.exitCode);
        EXPECT_NE(std::string::npos, r.output.find("usage:")) << r.output;
    }
    zt::ToolResult help = zt::RunService(L"help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_NE(std::string::npos, help.output.find("ZentravaSigningService serve")) << help.output;
    EXPECT_EQ(7u, zt::RunService(L"stop").exitCode);
    EXPECT_TRUE(KeyFiles(root).empty());
    // A data root that does not exist is named, whole (as key names are, in
    // UTF-8, also outside the ANSI code page), not reported as a bare system
    // error, and nothing is made in its place.
    const std::wstring missing = root.widePath() + L"\\no-such-data\u0416";
    zt::ToolResult r = zt::RunService(L"create k", missing);
    EXPECT_EQ(1u, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\"" + Utf8(missing) + "\" is not an existing folder")) << r.output;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
}

TEST(ServiceCommands, KeyFileIsProtectedAndDamageIsReportedNotRepaired)
{
    zt::TempDataRoot root;
    ASSERT_EQ(0u, zt::RunService(L"create k", root.path()).exitCode);
    std::wstring path = FindKeyFile(root.path(), L"k");
    ASSERT_FALSE(path.empty());
    const std::vector<BYTE> good = ReadAll(path);
    // Past magic, version, name length, the name "k", its size in bits and
    // the blob length: a DPAPI blob that opens to a full private blob of 2048 bits.
    ASSERT_GT(good.size(), 22u);
    EXPECT_EQ(2u, good[4]);                          // format version
    EXPECT_EQ(2048u, good[14] | (good[15] << 8));    // bits in clear
    bool ok = false;
    std::vector<BYTE> plain = zt::Unprotect(std::vector<BYTE>(good.begin() + 22, good.end()), &ok);
    ASSERT_TRUE(ok);
    ASSERT_GE(plain.size(), sizeof(BCRYPT_RSAKEY_BLOB));
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, plain.data(), sizeof(header));
    EXPECT_EQ(static_cast<ULONG>(BCRYPT_RSAFULLPRIVATE_MAGIC), header.Magic);
    EXPECT_EQ(2048u, header.BitLength);
    SecureZeroMemory(plain.data(), plain.size());

    std::vector<BYTE> flipped = good;
    flipped[good.size() - 20] ^= 0x01;  // inside the protected blob
    std::vector<BYTE> headerOnly(good.begin(), good.begin() + 3);
    // "list" reads only the clear part, so it cannot see a protected blob
    // that no longer opens; create (and serve) do.
    struct {
        const char* what;
        std::vector<BYTE> content;
        const char* listed;
    } cases[] = {
        {"protected blob altered", flipped, "k\t2048\n"},
        {"truncated", std::vector<BYTE>(good.begin(), good.end() - 1), "k\tdamaged\t"},
        {"header cut short", headerOnly, "?\tdamaged\t"},
        {"empty", {}, "?\tdamaged\t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteAll(path, c.content));
        zt::ToolResult list = zt::RunService(L"list", root.path());
        const bool listedAsDamaged = strstr(c.listed, "damaged") != nullptr;
        EXPECT_EQ(listedAsDamaged ? 4u : 0u, list.exitCode);
        EXPECT_EQ(0u, Lf(list.output).find(c.listed)) << list.output;
        zt::ToolResult create = zt::RunService(L"create k", root.path());
        EXPECT_EQ(4u, create.exitCode) << create.output;
        EXPECT_EQ(c.content, ReadAll(path));
    }
    EXPECT_EQ(0u, zt::RunService(L"delete k", root.path()).exitCode);
    EXPECT_EQ(0u, zt::RunService(L"create k", root.path()).exitCode);
}

}  // namespace
