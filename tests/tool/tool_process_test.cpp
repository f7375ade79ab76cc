// The real ZentravaKSPTool.exe run as its own process against the real DLL.
#include "child_process.h"
#include "provider_loader.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

zt::ProgramRun Tool(const std::vector<std::wstring>& args)
{
    return zt::RunProgram(zt::BesideExe(L"ZentravaKSPTool.exe"), args);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(ToolProcess, HelpDescribesEveryCommandAndExitsZero)
{
    const zt::ProgramRun run = Tool({L"--help"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    for (const char* command : {"provider", "key <key-name>", "sign <key-name>", "verify <key-name>",
                                "encrypt <key-name>", "decrypt <key-name>", "export <key-name>", "csr <key-name>",
                                "selfsign <key-name>", "link-cert <key-name>", "unlink-cert <key-name>", "certs",
                                "--ncrypt"}) {
        EXPECT_TRUE(Contains(run.out, command)) << command;
    }
    EXPECT_EQ("", run.err);
}

// The runner's file mode (the benchmark's service log): output and errors
// both land in the file, appended, and Output() reads them from there.
TEST(ToolProcess, OutputFileTakesOutputAndErrorsAppended)
{
    zt::TempFolder dir;
    ASSERT_TRUE(dir.ok());
    const std::wstring log = dir.File(L"run.log");
    ASSERT_TRUE(zt::WriteFileBytes(log, std::string("before\n")));
    zt::ChildOptions options;
    options.outputFile = log;
    zt::ChildProcess child;
    ASSERT_TRUE(child.Start(zt::QuoteArgument(zt::BesideExe(L"ZentravaKSPTool.exe")) + L" frobnicate", options));
    ASSERT_TRUE(child.Wait(60000)) << "hang guard";
    EXPECT_EQ(2u, child.ExitCode());
    const std::string seen = child.Output();
    EXPECT_EQ(0u, seen.rfind("before\n", 0)) << seen;
    EXPECT_TRUE(Contains(seen, "unknown command 'frobnicate'")) << seen;  // the tool's standard error
    EXPECT_EQ("", child.Errors());
    std::string onDisk;
    ASSERT_TRUE(zt::ReadFileBytes(log, onDisk));
    EXPECT_EQ(seen, onDisk);
}

TEST(ToolProcess, CommandLineErrorsExitTwoWithAHint)
{
    zt::ProgramRun run = Tool({L"frobnicate"});
    EXPECT_EQ(2u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "unknown command 'frobnicate'")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--help")) << run.err;

    run = Tool({});
    EXPECT_EQ(2u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "no command given")) << run.err;
    EXPECT_EQ("", run.out);
}

TEST(ToolProcess, ProviderThatCannotBeLoadedIsReportedByName)
{
    zt::ProgramRun run = Tool({L"--dll", L"C:\\no\\such\\ZentravaKSP.dll", L"provider"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "LoadLibrary(C:\\no\\such\\ZentravaKSP.dll) failed: Win32 error 126 "
                                  "ERROR_MOD_NOT_FOUND"))
        << run.err;

    // A DLL that is no provider: no GetKeyStorageInterface export.
    run = Tool({L"--dll", L"kernel32.dll", L"provider"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "GetProcAddress(GetKeyStorageInterface) failed: Win32 error 127 "
                                  "ERROR_PROC_NOT_FOUND"))
        << run.err;
}

TEST(ToolProcess, ProviderCommandShowsEveryPropertyAndTheAlgorithm)
{
    zt::ProgramRun run = Tool({L"provider"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode) << run.err;
    for (const char* line : {"Name                     Zentrava Key Storage Provider\n",
                             "Version                  1.0 (0x00010000)\n",
                             "Impl Type                0x00000002 software\n",
                             "Max Name Length          260\n",
                             "Security Descr Support   1\n",
                             "Use Context              (not set)\n",
                             "RSA supported            yes\n",
                             "Algorithms               1\n",
                             "RSA                    asymmetric encryption, operations 0x00000014"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << "\n" << run.out;
    }

    // A context set through the tool reads back through the provider.
    run = Tool({L"--use-context", L"nightly build 42", L"provider"});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, "Use Context              \"nightly build 42\"\n")) << run.out;
}

// Nobody serves the pipe in this suite (it holds the pipe lock).
TEST(ToolProcess, KeyWithoutTheServiceFailsWithBadKeyset)
{
    const zt::ProgramRun run = Tool({L"key", L"demo"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "OpenKey(\"demo\") failed: 0x80090016 NTE_BAD_KEYSET")) << run.err;
}

TEST(ToolProcess, MissingInputFileIsReportedBeforeTheProviderIsUsed)
{
    zt::TempFolder dir;
    const zt::ProgramRun run =
        Tool({L"--dll", L"C:\\no\\such.dll", L"sign", L"k", dir.File(L"absent.txt"), dir.File(L"out.sig")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "absent.txt failed: Win32 error 2 ERROR_FILE_NOT_FOUND")) << run.err;
    EXPECT_FALSE(Contains(run.err, "LoadLibrary")) << run.err;
}

// Wine's NCrypt router does not load third-party providers, so the NCrypt
// path cannot reach ours here; it must still fail cleanly and say where.
TEST(ToolProcess, NcryptPathReportsTheRouterFailure)
{
    const zt::ProgramRun run = Tool({L"--ncrypt", L"provider"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "NCrypt")) << run.err;
    EXPECT_TRUE(Contains(run.err, " failed: 0x")) << run.err;
}

}  // namespace
