// The client tool's command line, any arguments at all: the input is UTF-16LE
// units, arguments separated by a NUL unit. Whatever is accepted takes its
// text only from the arguments; "--name=value" and "--name value" mean the
// same; a leading "--help" makes it help (or a refusal); a refusal always
// says why.
#include "fuzz_check.h"
#include "tool_args.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool SameOptions(const zkt::ToolOptions& a, const zkt::ToolOptions& b)
{
    return a.command == b.command && a.viaNcrypt == b.viaNcrypt && a.dllPath == b.dllPath &&
           a.setUseContext == b.setUseContext && a.useContext == b.useContext && a.keyName == b.keyName &&
           a.inputPath == b.inputPath && a.outputPath == b.outputPath && a.signaturePath == b.signaturePath &&
           a.hash == b.hash && a.padding == b.padding && a.format == b.format && a.subject == b.subject &&
           a.dnsNames == b.dnsNames && a.days == b.days && a.purposes == b.purposes &&
           a.certificate == b.certificate && a.storeName == b.storeName;
}

bool Given(const std::vector<std::u16string>& args, const std::u16string& text)
{
    for (const std::u16string& arg : args) {
        if (arg.find(text) != std::u16string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::u16string> args(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == u'\0') {
            args.emplace_back();
        } else {
            args.back() += c;
        }
    }
    if (size < 2) {
        args.clear();
    }
    const zkt::ParsedArguments parsed = zkt::ParseToolArguments(args);
    FUZZ_CHECK(parsed.ok == parsed.error.empty());

    // The same with every "--name=value" given as two arguments, except
    // where it follows an option written without "=" (it may be that
    // option's value, taken whole).
    std::vector<std::u16string> split;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        const std::size_t eq = arg.find(u'=');
        const bool mayBeValue = i > 0 && args[i - 1].size() >= 2 && args[i - 1][0] == u'-' &&
                                args[i - 1].find(u'=') == std::u16string::npos;
        if (!mayBeValue && arg.size() >= 2 && arg[0] == u'-' && eq != std::u16string::npos) {
            split.push_back(arg.substr(0, eq));
            split.push_back(arg.substr(eq + 1));
        } else {
            split.push_back(arg);
        }
    }
    // Accepted, each inline value belongs to an option that takes one, which
    // takes the next argument whatever it is.
    if (parsed.ok) {
        const zkt::ParsedArguments again = zkt::ParseToolArguments(split);
        FUZZ_CHECK(again.ok && SameOptions(parsed.options, again.options));
    }

    if (parsed.ok) {
        const zkt::ToolOptions& o = parsed.options;
        for (const std::u16string* text : {&o.dllPath, &o.useContext, &o.keyName, &o.inputPath, &o.outputPath,
                                           &o.signaturePath, &o.subject, &o.certificate}) {
            FUZZ_CHECK(text->empty() || Given(args, *text));
        }
        for (const std::u16string& name : o.dnsNames) {
            FUZZ_CHECK(Given(args, name));
        }
        FUZZ_CHECK(o.days >= 1 && o.days <= 36500);
    }
    // "--help" first can be no option's value.
    std::vector<std::u16string> withHelp = args;
    withHelp.insert(withHelp.begin(), u"--help");
    const zkt::ParsedArguments help = zkt::ParseToolArguments(withHelp);
    FUZZ_CHECK(!help.ok || help.options.command == zkt::Command::Help);
    return 0;
}
