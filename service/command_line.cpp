#include "command_line.h"

#include "utf16_text.h"

#include <vector>

bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine* out, std::string* error)
{
    *out = CommandLine{};
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(ToUtf16(argv[i]));
    }
    const ParsedServiceArguments parsed = ParseServiceArguments(args);
    *error = parsed.error;
    if (!parsed.ok) {
        return false;
    }
    const ServiceArguments& a = parsed.arguments;
    out->command = a.command;
    out->keyName = ToWide(a.keyName);
    out->keyFile = ToWide(a.keyFile);
    out->passwordFile = ToWide(a.passwordFile);
    out->certOut = ToWide(a.certOut);
    out->bits = a.bits;
    if (a.reserve != 0) {
        out->serve.reserve = a.reserve;
    }
    if (a.workers != 0) {
        out->serve.workers = a.workers;
    }
    if (a.perClientLimit != 0) {
        out->serve.perClientLimit = a.perClientLimit;
    }
    out->serve.logFile = ToWide(a.logFile);
    out->dataRoot = ToWide(a.dataRoot);
    return true;
}
