// The service's command line, portable: also run natively under the sanitizers.
#include "service_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::u16string>;

std::string Narrow(const std::u16string& s)
{
    return std::string(s.begin(), s.end());
}

std::string Show(const Args& args)
{
    std::string out;
    for (const std::u16string& a : args) {
        out += "[" + Narrow(a) + "]";
    }
    return out;
}

}  // namespace

TEST(ServiceArgs, AcceptedLinesGiveTheirRecord)
{
    const std::u16string name129(129, u'n');
    const struct {
        Args args;
        Command command;
        std::u16string keyName, keyFile, dataRoot, logFile;
        std::uint32_t bits, reserve, workers, perClient;
    } cases[] = {
        {{}, Command::Help, u"", u"", u"", u"", 2048, 0, 0, 0},
        {{u"/?"}, Command::Help, u"", u"", u"", u"", 2048, 0, 0, 0},
        {{u"stop", u"--data-root", u"--bits"}, Command::Stop, u"", u"", u"--bits", u"", 2048, 0, 0, 0},
        {{u"--bits", u"04096", u"create", name129}, Command::Create, name129, u"", u"", u"", 4096, 0, 0, 0},
        {{u"delete", u"serve"}, Command::Delete, u"serve", u"", u"", u"", 2048, 0, 0, 0},
        {{u"import", u"k", u"--x"}, Command::Import, u"k", u"--x", u"", u"", 2048, 0, 0, 0},
        {{u"serve", u"--instances", u"1", u"--workers", u"64", u"--per-client", u"65536", u"--log-file", u"l og"},
         Command::Serve, u"", u"", u"", u"l og", 2048, 1, 64, 65536},
        {{u"--log-file", u"serve", u"serve", u"--instances", u"4096"}, Command::Serve, u"", u"", u"", u"serve", 2048,
         4096, 0, 0},
    };
    for (const auto& c : cases) {
        const ParsedServiceArguments r = ParseServiceArguments(c.args);
        ASSERT_TRUE(r.ok) << Show(c.args) << ": " << r.error;
        EXPECT_TRUE(r.error.empty());
        const ServiceArguments& a = r.arguments;
        EXPECT_EQ(c.command, a.command) << Show(c.args);
        EXPECT_EQ(c.keyName, a.keyName) << Show(c.args);
        EXPECT_EQ(c.keyFile, a.keyFile) << Show(c.args);
        EXPECT_EQ(c.dataRoot, a.dataRoot) << Show(c.args);
        EXPECT_EQ(c.logFile, a.logFile) << Show(c.args);
        EXPECT_EQ(c.bits, a.bits) << Show(c.args);
        EXPECT_EQ(c.reserve, a.reserve) << Show(c.args);
        EXPECT_EQ(c.workers, a.workers) << Show(c.args);
        EXPECT_EQ(c.perClient, a.perClientLimit) << Show(c.args);
    }
}

TEST(ServiceArgs, RefusedLinesSayWhy)
{
    const struct {
        Args args;
        const char* mentions;
    } cases[] = {
        {{u"--data-root", u"d"}, "no command given"},
        {{u"create", u"k", u"--bits", u"1024"}, "--bits takes"},
        {{u"create", u"k", u"--bits", u"+2048"}, "--bits takes"},
        {{u"create", u"k", u"--bits"}, "--bits takes"},
        {{u"serve", u"--instances", u"0"}, "from 1 to 4096"},
        {{u"serve", u"--instances", u"4097"}, "from 1 to 4096"},
        {{u"serve", u"--workers", u"65"}, "from 1 to 4096"},
        {{u"serve", u"--per-client", u"65537"}, "from 1 to 4096"},
        {{u"serve", u"--per-client", u"99999999999999999999"}, "from 1 to 4096"},
        {{u"serve", u"--instances", u"16 "}, "from 1 to 4096"},
        {{u"serve", u"--log-file", u""}, "--log-file takes a file"},
        {{u"serve", u"--log-file"}, "--log-file takes a file"},
        {{u"stop", u"--log-file", u"f"}, "does not apply"},
        {{u"create", u"k", u"--workers", u"2"}, "does not apply"},
        {{u"serve", u"--bits", u"2048"}, "does not apply"},
        {{u"serve", u"--cert-out", u"c"}, "does not apply"},
        {{u"list", u"--data-root", u""}, "--data-root takes a folder"},
        {{u"import", u"k", u"f", u"--password-file"}, "--password-file takes a file"},
        {{u"import", u"k"}, "needs the key's file"},
        {{u"create"}, "needs a key name"},
        {{u"create", std::u16string(130, u'n')}, "1 to 129 characters"},
        {{u"create", std::u16string(u"a\0b", 3)}, "1 to 129 characters"},
        {{u"list", u"extra"}, "unexpected argument"},
        {{u"serve", u"stop"}, "unexpected argument"},
    };
    for (const auto& c : cases) {
        const ParsedServiceArguments r = ParseServiceArguments(c.args);
        EXPECT_FALSE(r.ok) << "accepted: " << Show(c.args);
        EXPECT_NE(std::string::npos, r.error.find(c.mentions)) << Show(c.args) << ": " << r.error;
    }
}
