#include "tool_args.h"


namespace zkt {
namespace {

// Option groups a command accepts.
enum OptionGroup : unsigned {
    kHashOptions = 1,       // --hash, --pss
    kFormatOption = 2,      // --format
    kNameOptions = 4,       // --subject, --dns
    kCertificateOptions = 8,  // --days, --code-signing, --client-auth, --server-auth
    kStoreOption = 16,      // --store
};

struct CommandEntry {
    const char16_t* name;
    Command command;
    size_t positionals;
    const char16_t* positionalNames;  // for the error message
    unsigned options;                // OptionGroup bits
};

constexpr CommandEntry kCommands[] = {
    {u"help", Command::Help, 0, u"", 0},
    {u"provider", Command::Provider, 0, u"", 0},
    {u"key", Command::Key, 1, u"<key-name>", 0},
    {u"sign", Command::Sign, 3, u"<key-name> <input-file> <signature-file>", kHashOptions},
    {u"verify", Command::Verify, 3, u"<key-name> <input-file> <signature-file>", kHashOptions},
    {u"encrypt", Command::Encrypt, 3, u"<key-name> <input-file> <output-file>", 0},
    {u"decrypt", Command::Decrypt, 3, u"<key-name> <input-file> <output-file>", 0},
    {u"export", Command::Export, 2, u"<key-name> <output-file>", kFormatOption},
    {u"csr", Command::Request, 2, u"<key-name> <output-file>", kHashOptions | kFormatOption | kNameOptions},
    {u"selfsign", Command::SelfSign, 2, u"<key-name> <output-file>",
     kHashOptions | kFormatOption | kNameOptions | kCertificateOptions},
    {u"link-cert", Command::LinkCert, 2, u"<key-name> <certificate-file>", kStoreOption},
    {u"unlink-cert", Command::UnlinkCert, 2, u"<key-name> <certificate-file|thumbprint>", kStoreOption},
    {u"certs", Command::Certs, 0, u"", kStoreOption},
};

// Options that take a value, and the group each belongs to (0: any command).
struct OptionEntry {
    const char16_t* name;
    bool takesValue;
    unsigned group;
};

constexpr OptionEntry kOptions[] = {
    {u"--help", false, 0},          {u"-h", false, 0},
    {u"--ncrypt", false, 0},        {u"--dll", true, 0},
    {u"--use-context", true, 0},    {u"--hash", true, kHashOptions},
    {u"--pss", false, kHashOptions}, {u"--format", true, kFormatOption},
    {u"--subject", true, kNameOptions}, {u"--dns", true, kNameOptions},
    {u"--days", true, kCertificateOptions}, {u"--code-signing", false, kCertificateOptions},
    {u"--client-auth", false, kCertificateOptions}, {u"--server-auth", false, kCertificateOptions},
    {u"--store", true, kStoreOption},
};

constexpr std::uint32_t kMaxDays = 36500;

// ASCII letters only: the names compared are ASCII, and no other letter may
// turn into one of theirs.
std::u16string Upper(std::u16string s)
{
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return s;
}

bool IsHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool ParseHash(const std::u16string& text, HashAlgorithm& hash)
{
    std::u16string name = Upper(text);
    if (name.size() > 4 && name.compare(0, 4, u"SHA-") == 0) {
        name.erase(3, 1);
    }
    if (name == u"SHA1") { hash = HashAlgorithm::Sha1; return true; }
    if (name == u"SHA256") { hash = HashAlgorithm::Sha256; return true; }
    if (name == u"SHA384") { hash = HashAlgorithm::Sha384; return true; }
    if (name == u"SHA512") { hash = HashAlgorithm::Sha512; return true; }
    return false;
}

bool ParseDays(const std::u16string& text, std::uint32_t& days)
{
    if (text.empty() || text.size() > 5) {
        return false;
    }
    std::uint32_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - u'0');
    }
    if (value < 1 || value > kMaxDays) {
        return false;
    }
    days = value;
    return true;
}

// A host name as a subject alternative name carries it: ASCII labels of
// letters, digits and '-', an optional leading "*." for a wildcard.
bool IsDnsName(const std::u16string& name)
{
    std::u16string rest = name;
    if (rest.size() > 2 && rest.compare(0, 2, u"*.") == 0) {
        rest.erase(0, 2);
    }
    if (rest.empty() || rest.size() > 253 || rest.front() == u'.' || rest.back() == u'.') {
        return false;
    }
    size_t label = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        const char16_t c = rest[i];
        if (c == u'.') {
            if (label == 0 || rest[i - 1] == u'-') {
                return false;
            }
            label = 0;
            continue;
        }
        const bool letterOrDigit = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (!letterOrDigit && !(c == u'-' && label > 0)) {
            return false;
        }
        if (++label > 63) {
            return false;
        }
    }
    return rest.back() != u'-';
}

bool ParseFormat(const std::u16string& value, Command command, ExportFormat& format, std::u16string& error)
{
    const std::u16string upper = Upper(value);
    if (command == Command::Export) {
        if (upper == u"PEM" || upper == u"BLOB") {
            format = upper == u"PEM" ? ExportFormat::Pem : ExportFormat::Blob;
            return true;
        }
        error = u"unknown export format '" + value + u"' (use pem or blob)";
        return false;
    }
    if (upper == u"PEM" || upper == u"DER") {
        format = upper == u"PEM" ? ExportFormat::Pem : ExportFormat::Der;
        return true;
    }
    error = u"unknown output format '" + value + u"' (use pem or der)";
    return false;
}

ParsedArguments Fail(std::u16string message)
{
    ParsedArguments result;
    result.error = std::move(message);
    return result;
}

const OptionEntry* FindOption(const std::u16string& name)
{
    for (const OptionEntry& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

bool IsThumbprint(std::u16string_view text)
{
    if (text.size() != 40) {
        return false;
    }
    for (char16_t c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
    }
    return true;
}

ParsedArguments ParseToolArguments(std::span<const std::u16string> args)
{
    ParsedArguments result;
    ToolOptions& o = result.options;
    const CommandEntry* entry = nullptr;
    std::vector<std::u16string> positionals;
    // Options in the order given, checked once the command is known.
    std::vector<std::pair<const OptionEntry*, std::u16string>> given;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (arg.size() < 2 || arg[0] != u'-' || arg == u"-") {
            if (entry == nullptr) {
                for (const CommandEntry& candidate : kCommands) {
                    if (arg == candidate.name) {
                        entry = &candidate;
                    }
                }
                if (entry == nullptr) {
                    return Fail(u"unknown command '" + arg + u"'");
                }
            } else {
                positionals.push_back(arg);
            }
            continue;
        }
        // "--name value" or "--name=value".
        std::u16string name = arg;
        std::u16string value;
        bool hasInlineValue = false;
        const size_t eq = arg.find(u'=');
        if (eq != std::u16string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasInlineValue = true;
        }
        const OptionEntry* option = FindOption(name);
        if (option == nullptr) {
            return Fail(u"unknown option " + name);
        }
        if (option->takesValue && !hasInlineValue) {
            if (i + 1 >= args.size()) {
                return Fail(u"option " + name + u" needs a value");
            }
            value = args[++i];
        } else if (!option->takesValue && hasInlineValue) {
            return Fail(u"option " + name + u" takes no value");
        }
        given.emplace_back(option, value);
    }

    for (const auto& [option, value] : given) {
        if (option->name == std::u16string(u"--help") || option->name == std::u16string(u"-h")) {
            result.ok = true;
            o.command = Command::Help;
            return result;
        }
    }
    if (entry == nullptr) {
        return Fail(u"no command given");
    }
    o.command = entry->command;
    const std::u16string cmd = entry->name;
    bool dllGiven = false;
    bool subjectGiven = false;
    for (const auto& [option, value] : given) {
        const std::u16string name = option->name;
        if (option->group != 0 && (entry->options & option->group) == 0) {
            return Fail(name + u" does not apply to '" + cmd + u"'");
        }
        if (name == u"--ncrypt") {
            o.viaNcrypt = true;
        } else if (name == u"--dll") {
            if (value.empty()) {
                return Fail(u"option --dll needs a path");
            }
            o.dllPath = value;
            dllGiven = true;
        } else if (name == u"--use-context") {
            o.setUseContext = true;
            o.useContext = value;
        } else if (name == u"--hash") {
            if (!ParseHash(value, o.hash)) {
                return Fail(u"unknown hash algorithm '" + value + u"' (use SHA1, SHA256, SHA384 or SHA512)");
            }
        } else if (name == u"--pss") {
            o.padding = SignaturePadding::Pss;
        } else if (name == u"--format") {
            std::u16string error;
            if (!ParseFormat(value, o.command, o.format, error)) {
                return Fail(error);
            }
        } else if (name == u"--subject") {
            if (value.empty()) {
                return Fail(u"--subject needs a name such as \"CN=build signer,O=Example\"");
            }
            o.subject = value;
            subjectGiven = true;
        } else if (name == u"--dns") {
            if (!IsDnsName(value)) {
                return Fail(u"--dns '" + value + u"' is not a DNS name (ASCII letters, digits, '-' and '.', "
                            u"optionally starting with '*.')");
            }
            o.dnsNames.push_back(value);
        } else if (name == u"--days") {
            if (!ParseDays(value, o.days)) {
                return Fail(u"--days takes a whole number of days from 1 to 36500");
            }
        } else if (name == u"--code-signing") {
            o.purposes |= kPurposeCodeSigning;
        } else if (name == u"--client-auth") {
            o.purposes |= kPurposeClientAuth;
        } else if (name == u"--server-auth") {
            o.purposes |= kPurposeServerAuth;
        } else if (name == u"--store") {
            if (value.empty() || value.find_first_of(u"\\/") != std::u16string::npos) {
                return Fail(u"--store takes the name of a store of the current user, such as My");
            }
            o.storeName = value;
        }
    }
    if (o.viaNcrypt && dllGiven) {
        return Fail(u"--dll and --ncrypt exclude each other");
    }
    if (positionals.size() != entry->positionals) {
        std::u16string usage = u"'" + cmd + u"' takes ";
        usage += entry->positionals == 0 ? std::u16string(u"no arguments") : std::u16string(entry->positionalNames);
        return Fail(usage);
    }
    if (entry->positionals >= 1) {
        o.keyName = positionals[0];
    }
    switch (o.command) {
    case Command::Sign:
    case Command::Encrypt:
    case Command::Decrypt:
        o.inputPath = positionals[1];
        o.outputPath = positionals[2];
        break;
    case Command::Verify:
        o.inputPath = positionals[1];
        o.signaturePath = positionals[2];
        break;
    case Command::Export:
        o.outputPath = positionals[1];
        if (o.outputPath == u"-" && o.format == ExportFormat::Blob) {
            return Fail(u"a raw blob cannot go to standard output; give a file");
        }
        break;
    case Command::Request:
    case Command::SelfSign:
        o.outputPath = positionals[1];
        if (!subjectGiven) {
            return Fail(u"'" + cmd + u"' needs --subject, for example --subject \"CN=build signer,O=Example\"");
        }
        if (o.hash == HashAlgorithm::Sha1) {
            return Fail(u"SHA-1 is not accepted for requests and certificates (use SHA256, SHA384 or SHA512)");
        }
        break;
    case Command::LinkCert:
    case Command::UnlinkCert:
        o.certificate = positionals[1];
        break;
    default:
        break;
    }
    if (o.command != Command::Export) {
        for (const std::u16string* path : {&o.inputPath, &o.outputPath, &o.signaturePath, &o.certificate}) {
            if (*path == u"-") {
                return Fail(u"'-' (standard output) is accepted only by 'export'");
            }
        }
    }
    result.ok = true;
    return result;
}

std::uint32_t HashDigestSize(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return 20;
    case HashAlgorithm::Sha256: return 32;
    case HashAlgorithm::Sha384: return 48;
    case HashAlgorithm::Sha512: return 64;
    }
    return 32;
}

}  // namespace zkt
