#include "service_args.h"

#include "key_name_rules.h"

#include <string_view>

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  ZentravaSigningService create <name> [--bits 2048|3072|4096] [--data-root <dir>]\n"
    "  ZentravaSigningService list [--data-root <dir>]\n"
    "  ZentravaSigningService delete <name> [--data-root <dir>]\n"
    "  ZentravaSigningService import <name> <key-file> [--password-file <file>] [--cert-out <file>]\n"
    "                                [--data-root <dir>]\n"
    "  ZentravaSigningService serve [--instances <1-4096>] [--workers <1-64>] [--per-client <1-65536>]\n"
    "                               [--log-file <file>] [--data-root <dir>]\n"
    "  ZentravaSigningService stop\n"
    "  ZentravaSigningService help\n"
    "\n"
    "Keys live in %LOCALAPPDATA%\\Zentrava\\keys, protected for the current user;\n"
    "--data-root <dir> uses <dir> in place of %LOCALAPPDATA% (keys and pipe secret).\n"
    "import takes an RSA key of 2048 bits or more: PKCS#8 (PEM or DER, unencrypted),\n"
    "PEM \"RSA PRIVATE KEY\", or PKCS#12/PFX, whose password comes from --password-file\n"
    "or is asked for on the console; --cert-out writes a PFX's certificate (PEM).\n"
    "serve answers on \\\\.\\pipe\\ZentravaPipe until Ctrl+C or \"stop\". --instances: pipe instances kept\n"
    "listening (2048); --workers: threads for private-key work (one per processor); --per-client:\n"
    "connections one client process may hold at once (1024); --log-file: the exchange log is\n"
    "appended to <file> instead of printed.\n";

// Decimal digits only, at most 0xFFFFFF (no sign, no space, no base prefix).
bool ParseNumber(const std::u16string* text, std::uint32_t* out)
{
    if (text == nullptr || text->empty()) {
        return false;
    }
    std::uint32_t v = 0;
    for (char16_t c : *text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
        v = v * 10 + static_cast<std::uint32_t>(c - u'0');
        if (v > 0xFFFFFFu) {
            return false;
        }
    }
    *out = v;
    return true;
}

bool CommandFromWord(std::u16string_view word, Command* out)
{
    static constexpr struct {
        std::u16string_view word;
        Command command;
    } kCommands[] = {{u"create", Command::Create}, {u"list", Command::List},   {u"delete", Command::Delete},
                     {u"import", Command::Import}, {u"serve", Command::Serve}, {u"stop", Command::Stop},
                     {u"help", Command::Help},     {u"--help", Command::Help}, {u"-h", Command::Help},
                     {u"/?", Command::Help}};
    for (const auto& c : kCommands) {
        if (word == c.word) {
            *out = c.command;
            return true;
        }
    }
    return false;
}

bool TakesKeyName(Command c)
{
    return c == Command::Create || c == Command::Delete || c == Command::Import;
}

ParsedServiceArguments Refused(const char* why)
{
    ParsedServiceArguments r;
    r.error = why;
    return r;
}

}  // namespace

bool IsSupportedKeyBits(std::uint32_t bits)
{
    return bits == 2048 || bits == 3072 || bits == 4096;
}

const char* ServiceUsageText()
{
    return kUsage;
}

ParsedServiceArguments ParseServiceArguments(std::span<const std::u16string> args)
{
    ParsedServiceArguments result;
    ServiceArguments& out = result.arguments;
    bool haveCommand = false;
    bool haveName = false;
    bool haveFile = false;
    bool haveBits = false;
    bool haveImportOptions = false;
    bool haveServeOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        const std::u16string* value = i + 1 < args.size() ? &args[i + 1] : nullptr;
        const bool hasValue = value != nullptr && !value->empty();
        std::uint32_t number = 0;
        if (arg == u"--bits") {
            if (!ParseNumber(value, &number) || !IsSupportedKeyBits(number)) {
                return Refused("--bits takes 2048, 3072 or 4096");
            }
            out.bits = number;
            haveBits = true;
            ++i;
        } else if (arg == u"--instances" || arg == u"--workers" || arg == u"--per-client") {
            const bool instances = arg == u"--instances";
            const bool workers = arg == u"--workers";
            const std::uint32_t most = instances ? kMaxServeReserve : workers ? kMaxServeWorkers : kMaxServePerClient;
            if (!ParseNumber(value, &number) || number < 1 || number > most) {
                return Refused("--instances, --workers and --per-client take a count from 1 to 4096, 64 and 65536");
            }
            (instances ? out.reserve : workers ? out.workers : out.perClientLimit) = number;
            haveServeOptions = true;
            ++i;
        } else if (arg == u"--log-file") {
            if (!hasValue) {
                return Refused("--log-file takes a file");
            }
            out.logFile = *value;
            haveServeOptions = true;
            ++i;
        } else if (arg == u"--data-root") {
            if (!hasValue) {
                return Refused("--data-root takes a folder");
            }
            out.dataRoot = *value;
            ++i;
        } else if (arg == u"--password-file" || arg == u"--cert-out") {
            const bool certOut = arg == u"--cert-out";
            if (!hasValue) {
                return Refused(certOut ? "--cert-out takes a file" : "--password-file takes a file");
            }
            (certOut ? out.certOut : out.passwordFile) = *value;
            haveImportOptions = true;
            ++i;
        } else if (!haveCommand && !arg.empty() && CommandFromWord(arg, &out.command)) {
            haveCommand = true;
        } else if (haveCommand && haveName && !haveFile && out.command == Command::Import) {
            out.keyFile = arg;
            haveFile = true;
        } else if (haveCommand && !haveName && TakesKeyName(out.command)) {
            if (!IsValidKeyName(arg)) {
                return Refused("a key name has 1 to 129 characters");
            }
            out.keyName = arg;
            haveName = true;
        } else {
            return Refused("unexpected argument");
        }
    }
    if (!haveCommand) {
        if (!args.empty()) {
            return Refused("no command given");
        }
        result.ok = true;  // no arguments at all: help
        return result;
    }
    if (TakesKeyName(out.command) && !haveName) {
        return Refused("the command needs a key name");
    }
    if (out.command == Command::Import && !haveFile) {
        return Refused("import needs the key's file after its name");
    }
    if ((haveBits && out.command != Command::Create) || (haveServeOptions && out.command != Command::Serve) ||
        (haveImportOptions && out.command != Command::Import)) {
        return Refused("option does not apply to this command");
    }
    result.ok = true;
    return result;
}
