// The signing service's command line, any arguments at all: the input is
// UTF-16LE units, arguments separated by a NUL unit. Accepted, every number
// is within its stated bounds, every text comes from the arguments, and the
// record rendered back into a command line parses to the same record;
// refused, it says why.
#include "fuzz_check.h"
#include "key_name_rules.h"
#include "service_args.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool SameArguments(const ServiceArguments& a, const ServiceArguments& b)
{
    return a.command == b.command && a.keyName == b.keyName && a.keyFile == b.keyFile &&
           a.passwordFile == b.passwordFile && a.certOut == b.certOut && a.bits == b.bits &&
           a.reserve == b.reserve && a.workers == b.workers && a.perClientLimit == b.perClientLimit &&
           a.logFile == b.logFile && a.dataRoot == b.dataRoot;
}

bool Given(const std::vector<std::u16string>& args, const std::u16string& text)
{
    for (const std::u16string& arg : args) {
        if (arg == text) {
            return true;
        }
    }
    return false;
}

std::u16string Decimal(std::uint32_t v)
{
    const std::string digits = std::to_string(v);
    return std::u16string(digits.begin(), digits.end());
}

const char16_t* CommandWord(Command c)
{
    switch (c) {
    case Command::Create: return u"create";
    case Command::List: return u"list";
    case Command::Delete: return u"delete";
    case Command::Import: return u"import";
    case Command::Serve: return u"serve";
    case Command::Stop: return u"stop";
    case Command::Help: return u"help";
    }
    return u"help";
}

// Options last, the way a user writes them.
std::vector<std::u16string> Render(const ServiceArguments& a)
{
    std::vector<std::u16string> out{CommandWord(a.command)};
    const auto option = [&out](const char16_t* name, const std::u16string& value) {
        if (!value.empty()) {
            out.push_back(name);
            out.push_back(value);
        }
    };
    if (!a.keyName.empty()) {
        out.push_back(a.keyName);
    }
    if (a.command == Command::Import) {
        out.push_back(a.keyFile);
    }
    if (a.command == Command::Create) {
        option(u"--bits", Decimal(a.bits));
    }
    option(u"--instances", a.reserve != 0 ? Decimal(a.reserve) : u"");
    option(u"--workers", a.workers != 0 ? Decimal(a.workers) : u"");
    option(u"--per-client", a.perClientLimit != 0 ? Decimal(a.perClientLimit) : u"");
    option(u"--log-file", a.logFile);
    option(u"--password-file", a.passwordFile);
    option(u"--cert-out", a.certOut);
    option(u"--data-root", a.dataRoot);
    return out;
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
    const ParsedServiceArguments parsed = ParseServiceArguments(args);
    FUZZ_CHECK(parsed.ok ? parsed.error.empty() : !parsed.error.empty());
    if (!parsed.ok) {
        return 0;
    }
    const ServiceArguments& a = parsed.arguments;
    FUZZ_CHECK(IsSupportedKeyBits(a.bits));
    FUZZ_CHECK(a.reserve <= kMaxServeReserve && a.workers <= kMaxServeWorkers &&
               a.perClientLimit <= kMaxServePerClient);
    const bool serve = a.command == Command::Serve;
    FUZZ_CHECK(serve || (a.reserve == 0 && a.workers == 0 && a.perClientLimit == 0 && a.logFile.empty()));
    FUZZ_CHECK(a.command == Command::Create || a.bits == kDefaultKeyBits);
    const bool named = a.command == Command::Create || a.command == Command::Delete || a.command == Command::Import;
    FUZZ_CHECK(named ? IsValidKeyName(a.keyName) && Given(args, a.keyName) : a.keyName.empty());
    FUZZ_CHECK(a.command == Command::Import ? Given(args, a.keyFile)
                                            : a.keyFile.empty() && a.passwordFile.empty() && a.certOut.empty());
    for (const std::u16string* text : {&a.passwordFile, &a.certOut, &a.logFile, &a.dataRoot}) {
        FUZZ_CHECK(text->empty() || Given(args, *text));
    }

    const std::vector<std::u16string> rendered = Render(a);
    const ParsedServiceArguments again = ParseServiceArguments(rendered);
    FUZZ_CHECK(again.ok && SameArguments(a, again.arguments));
    return 0;
}
