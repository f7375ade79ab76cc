// ZentravaKSPTool: drives the provider from the command line.
#include "commands.h"
#include "report.h"
#include "tool_args.h"
#include "utf16_text.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    // Plain "\n" line ends, also for PEM written to standard output.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(ToUtf16(argv[i]));
    }
    const zkt::ParsedArguments parsed = zkt::ParseToolArguments(args);
    if (!parsed.ok) {
        zkt::ReportProblem(zkt::ToUtf8(parsed.error));
        fprintf(stderr, "Run 'ZentravaKSPTool --help' for the commands and options.\n");
        return 2;
    }
    const zkt::ToolOptions& o = parsed.options;
    int status = 0;
    switch (o.command) {
    case zkt::Command::Help: fputs(zkt::UsageText(), stdout); break;
    case zkt::Command::Provider: status = zkt::RunProviderCommand(o); break;
    case zkt::Command::Key: status = zkt::RunKeyCommand(o); break;
    case zkt::Command::Sign: status = zkt::RunSignCommand(o); break;
    case zkt::Command::Verify: status = zkt::RunVerifyCommand(o); break;
    case zkt::Command::Encrypt: status = zkt::RunEncryptCommand(o); break;
    case zkt::Command::Decrypt: status = zkt::RunDecryptCommand(o); break;
    case zkt::Command::Export: status = zkt::RunExportCommand(o); break;
    case zkt::Command::Request: status = zkt::RunRequestCommand(o); break;
    case zkt::Command::SelfSign: status = zkt::RunSelfSignCommand(o); break;
    case zkt::Command::LinkCert: status = zkt::RunLinkCertCommand(o); break;
    case zkt::Command::UnlinkCert: status = zkt::RunUnlinkCertCommand(o); break;
    case zkt::Command::Certs: status = zkt::RunCertsCommand(o); break;
    }
    fflush(stdout);
    return status;
}
